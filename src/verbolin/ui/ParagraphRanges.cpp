#include "verbolin/ui/ParagraphRanges.hpp"

#include <algorithm>

namespace verbolin {

AttributedText standIn(TextAttributes attributes) {
    attributes.standIn = true;
    return AttributedText(QString(QChar(kStandInCharacter)), attributes);
}

QString paragraphText(const AttributedText& text, const ParagraphRange& range) {
    // A paragraph is one run, or a few where its text holds a line break:
    // the stand-in is found among them without copying the rest twice.
    QString shown;
    for (const AttributedRun& r : text.runs(range.location, range.length))
        if (!r.attributes.standIn) shown += QStringView(text.string()).mid(r.start, r.length);
    return shown;
}

void appendBlockRanges(std::vector<ParagraphRange>& out, const AttributedText& tail, int offset) {
    tail.forEachRun([&](int start, int length, const TextAttributes& a) {
        if (!a.blockId) return;
        start += offset;
        if (!out.empty() && out.back().id == *a.blockId && out.back().end() == start)
            out.back().length += length;
        else
            out.push_back({*a.blockId, start, length});
    });
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
        bool hit = length > 0 ? (r.location < location + length && location < r.end())
                              : (r.location <= location && location <= r.end());
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

}  // namespace verbolin
