#include "verbolin/ui/ParagraphRanges.hpp"

#include <algorithm>

namespace verbolin {

QString paragraphText(const AttributedText& text, const ParagraphRange& range) {
    const std::vector<AttributedRun> runs = text.runs(range.location, range.length);
    if (std::none_of(runs.begin(), runs.end(),
                     [](const AttributedRun& r) { return isBreakMark(r.attributes.cut); }))
        return text.string().mid(range.location, range.length);
    QString out;
    for (const AttributedRun& r : runs)
        if (!isBreakMark(r.attributes.cut))
            out += QStringView(text.string()).mid(r.start, r.length);
    return out;
}

int textOffset(const AttributedText& text, const ParagraphRange& range, int position) {
    position = std::clamp(position, range.location, range.end());
    int offset = position - range.location;
    for (const AttributedRun& r : text.runs(range.location, position - range.location))
        if (isBreakMark(r.attributes.cut)) offset -= r.length;
    return offset;
}

int positionOf(const AttributedText& text, const ParagraphRange& range, int offset) {
    int position = range.location;
    for (const AttributedRun& r : text.runs(range.location, range.length)) {
        if (isBreakMark(r.attributes.cut)) {
            // A place right after a mark is the same text offset as before it.
            if (offset > 0) position = r.end();
            continue;
        }
        const int taken = std::min(std::max(offset, 0), r.length);
        position = r.start + taken;
        offset -= taken;
        if (offset <= 0) break;
    }
    return position;
}

void appendBlockRanges(std::vector<ParagraphRange>& out, const AttributedText& tail, int offset) {
    // A separator's paragraph is open until a run of its own follows; one
    // that gets none (another separator, or the end) is empty.
    std::optional<ParagraphRange> open;
    tail.forEachRun([&](int start, int length, const TextAttributes& a) {
        start += offset;
        if (open && a.blockId != open->id) out.push_back(*open);
        open.reset();
        if (a.separator) {
            if (a.opens) open = ParagraphRange{*a.opens, start + length, 0};
            return;
        }
        if (!a.blockId) return;
        if (!out.empty() && out.back().id == *a.blockId && out.back().end() == start)
            out.back().length += length;
        else
            out.push_back({*a.blockId, start, length});
    });
    if (open) out.push_back(*open);
}

std::vector<ParagraphRange> blockRanges(const AttributedText& text) {
    std::vector<ParagraphRange> out;
    appendBlockRanges(out, text, 0);
    return out;
}

std::optional<QString> blockIdAt(const AttributedText& text, int index) {
    if (const TextAttributes* a = text.attributesAt(index); a && a->blockId) return a->blockId;
    if (index >= 1) {
        const TextAttributes* before = text.attributesAt(std::min(index, text.length()) - 1);
        if (before && before->blockId) return before->blockId;
    }
    return std::nullopt;
}

std::vector<platform::Uuid> selectedIds(const std::vector<ParagraphRange>& ranges, int location,
                                        int length) {
    std::vector<platform::Uuid> out;
    for (const ParagraphRange& r : ranges) {
        // An empty paragraph has no character to share: a selection that
        // starts or ends on its line, or runs across it, names it.
        bool hit = length > 0 && r.length > 0
                       ? (r.location < location + length && location < r.end())
                       : (r.location <= location + length && location <= r.end());
        if (!hit) continue;
        if (auto id = platform::Uuid::parse(r.id.toStdString())) out.push_back(*id);
    }
    return out;
}

size_t firstRangeEndingAfter(const std::vector<ParagraphRange>& ranges, int position) {
    auto it = std::partition_point(ranges.begin(), ranges.end(),
                                   [&](const ParagraphRange& r) { return r.end() <= position; });
    return size_t(it - ranges.begin());
}

const ParagraphRange* rangeAt(const std::vector<ParagraphRange>& ranges, int position) {
    const size_t i = firstRangeEndingAfter(ranges, position - 1);
    return i < ranges.size() && ranges[i].location <= position ? &ranges[i] : nullptr;
}

}  // namespace verbolin
