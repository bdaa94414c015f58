#include "verbolin/ui/TimelineUpdatePlanner.hpp"

#include <algorithm>

namespace verbolin::TimelineUpdatePlanner {

QString paragraphKey(const Block& block) {
    return QString::fromStdString(block.id.string()) + QLatin1Char('|') + QString::fromStdString(block.text());
}

std::vector<QString> paragraphKeys(const std::vector<Block>& blocks) {
    std::vector<QString> keys;
    keys.reserve(blocks.size());
    for (const Block& b : blocks) keys.push_back(paragraphKey(b));
    return keys;
}

TimelinePlan plan(const std::vector<QString>& rendered, const std::vector<QString>& keys, double renderedFont,
                  double font, bool renderedEditable, bool editable) {
    TimelinePlan p;
    p.styleChanged = renderedFont != font || renderedEditable != editable;
    if (!p.styleChanged && keys == rendered) return p;
    size_t n = std::min(rendered.size(), keys.size());
    while (p.common < n && rendered[p.common] == keys[p.common]) ++p.common;
    p.prepended = !rendered.empty() && p.common == 0 && keys.size() > rendered.size() &&
                  std::equal(rendered.begin(), rendered.end(), keys.end() - long(rendered.size()));
    p.kind = !p.styleChanged && !rendered.empty() && !p.prepended ? TimelinePlan::Kind::tail
                                                                  : TimelinePlan::Kind::full;
    return p;
}

int tailStart(const std::vector<ParagraphRange>& ranges, int textLength, const std::vector<QString>& keys,
              size_t index) {
    if (index >= keys.size()) return textLength;
    const QString& key = keys[index];
    qsizetype bar = key.indexOf(QLatin1Char('|'));
    const QString id = bar < 0 ? key : key.left(bar);
    for (size_t i = 0; i < ranges.size(); ++i)
        if (ranges[i].id == id) return i == 0 ? ranges[i].location : ranges[i].location - 1;
    return textLength;
}

VisibleParagraphs visibleWalk(const std::vector<ParagraphRange>& ranges, int location, int length) {
    std::optional<platform::Uuid> before, first, last;
    const int end = location + length;
    // Paragraphs wholly above the visible range only matter for the last one.
    size_t i = firstRangeEndingAfter(ranges, location);
    for (size_t k = i; k-- > 0;) {
        if ((before = platform::Uuid::parse(ranges[k].id.toStdString()))) break;
    }
    for (; i < ranges.size(); ++i) {
        const ParagraphRange& r = ranges[i];
        if (r.location >= end) break;
        auto id = platform::Uuid::parse(r.id.toStdString());
        if (!id) continue;
        if (!first) first = id;
        last = id;
    }
    if (!first) first = before;
    if (!last) last = first;
    return {first, last};
}

}  // namespace verbolin::TimelineUpdatePlanner
