#include "verbolin/ui/TimelineEditMapper.hpp"

#include <unordered_map>

#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin::TimelineEditMapper {

bool shouldChange(const AttributedText& text, int pos, int len,
                  const std::optional<QString>& liveId) {
    if (liveId && blockIdAt(text, pos) == liveId) return false;
    if (len <= 0) return true;
    for (const AttributedRun& r : text.runs(pos, len)) {
        if (r.attributes.separator) return false;
        if (liveId && r.attributes.blockId == liveId) return false;
    }
    return true;
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

EditMapping collectEdits(const AttributedText& text, const TimelineBlocks& blocks) {
    std::unordered_map<QString, const Block*> table;
    for (const Block& b : blocks) table.emplace(QString::fromStdString(b.id.string()), &b);
    EditMapping out;
    for (const ParagraphRange& r : blockRanges(text)) {
        const QString shown = text.string().mid(r.location, r.length);
        std::string utf8 = shown.toStdString();
        // Ranges carry ids the renderer wrote, or ones assigned from them.
        if (auto id = platform::Uuid::parse(r.id.toStdString())) out.keys.push_back({*id, utf8});
        auto it = table.find(r.id);
        if (it == table.end()) continue;
        // Compared as shown: a stored text that is not valid UTF-8 reads back
        // with replacement characters, which is no edit of the user's.
        if (shown != QString::fromStdString(it->second->text()))
            out.edits.push_back({*it->second, std::move(utf8)});
    }
    return out;
}

}  // namespace verbolin::TimelineEditMapper
