#include "verbolin/ui/TimelineEditMapper.hpp"

#include <algorithm>
#include <unordered_map>

#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::TimelineEditMapper {

bool shouldChange(const AttributedText& text, int pos, int len,
                  const std::optional<QString>& liveId) {
    if (liveId && blockIdAt(text, pos) == liveId) return false;
    if (LongParagraph::touchesCut(text, pos, len)) return false;
    if (len <= 0) return true;
    for (const AttributedRun& r : text.runs(pos, len)) {
        if (r.attributes.separator) return false;
        if (liveId && r.attributes.blockId == liveId) return false;
    }
    return true;
}

const char* whyRefused(const AttributedText& text, const std::vector<ParagraphRange>& ranges,
                       int pos, int len, const std::optional<QString>& liveId) {
    if (shouldChange(text, pos, len, liveId)) return nullptr;
    if (len > 0 && selectedIds(ranges, pos, len).size() > 1)
        return "A selection across paragraphs cannot be changed: edit one paragraph at a time.";
    if (LongParagraph::touchesCut(text, pos, len)) return LongParagraph::kRefusal;
    const auto runs = text.runs(pos, len);
    if (liveId && (blockIdAt(text, pos) == liveId ||
                   std::any_of(runs.begin(), runs.end(), [&](const AttributedRun& r) {
                       return r.attributes.blockId == liveId;
                   })))
        return "The words being heard cannot be edited until they are written down.";
    // Backspace at a paragraph's start, Delete at its end.
    return "Paragraphs cannot be joined: each keeps its own time.";
}

std::pair<int, int> commonEnds(const QString& a, const QString& b) {
    int head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    int tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return {head, tail};
}

ChangeSpan changeSpan(const QString& before, const QString& after, std::optional<int> caret) {
    // The text behind the caret is untouched, when the caret ends the change.
    const int tail = caret && *caret >= 0 && *caret <= after.size() &&
                             before.endsWith(QStringView(after).mid(*caret))
                         ? int(after.size()) - *caret
                         : commonEnds(before, after).second;
    int head = 0;
    const int beforeEnd = int(before.size()) - tail, afterEnd = int(after.size()) - tail;
    while (head < beforeEnd && head < afterEnd && before[head] == after[head]) ++head;
    return {head, beforeEnd - head, afterEnd - head};
}

bool sameAsShown(const std::string& a, const std::string& b) {
    return a == b || QString::fromStdString(a) == QString::fromStdString(b);
}

void assignStrayText(AttributedText& text, double fontSize) {
    std::vector<std::pair<AttributedRun, QString>> assigned;
    for (const AttributedRun& r : text.runs()) {
        if (r.attributes.blockId || r.attributes.separator) continue;
        auto id = r.start > 0 ? blockIdAt(text, r.start - 1) : blockIdAt(text, r.end());
        if (id) assigned.push_back({r, *id});
    }
    for (const auto& [r, id] : assigned) text.assignBlock(r.start, r.length, id, fontSize);
}

EditMapping collectEdits(const AttributedText& text, const std::vector<ParagraphRange>& ranges,
                         std::span<const ParagraphKey> shown) {
    EditMapping out;
    std::unordered_map<platform::Uuid, const std::string*> now;
    for (const ParagraphRange& r : ranges) {
        // Ranges carry ids the renderer wrote, or ones assigned from them.
        auto id = platform::Uuid::parse(r.id.toStdString());
        if (!id) continue;
        // What is shown of a long paragraph is not its text: it keeps the one it had.
        if (LongParagraph::isCut(text, r))
            out.keys.push_back(LongParagraph::keyOf(shown, *id));
        else
            out.keys.push_back({*id, paragraphText(text, r).toStdString()});
    }
    now.reserve(out.keys.size());
    for (const ParagraphKey& k : out.keys) now.emplace(k.id, &k.text);
    std::optional<platform::Uuid> previous;
    for (const ParagraphKey& k : shown) {
        auto it = now.find(k.id);
        const std::string after = it == now.end() ? std::string() : *it->second;
        if (!sameAsShown(after, k.text)) out.edits.push_back({k.id, k.text, after, previous});
        previous = k.id;
    }
    return out;
}

}  // namespace verbolin::TimelineEditMapper
