#include "verbolin/ui/TimelineSplice.hpp"

#include <algorithm>

namespace verbolin::TimelineSplice {

Point locate(const std::vector<ParagraphRange>& ranges, int start, int end, int position) {
    Point point{position, std::nullopt};
    if (position <= start || position > end) return point;
    if (const ParagraphRange* r = rangeAt(ranges, position))
        point.in = {r->id, position - r->location};
    return point;
}

void replaceRanges(std::vector<ParagraphRange>& ranges, int start, int end,
                   const std::vector<ParagraphRange>& fresh, int delta) {
    // A stretch past the text's start begins with a separator: an empty
    // paragraph right at `start` ends in front of it and stays.
    const auto first =
        std::partition_point(ranges.begin(), ranges.end(), [&](const ParagraphRange& r) {
            return r.location < start || (start > 0 && r.location == start);
        });
    const auto after = std::partition_point(
        first, ranges.end(), [&](const ParagraphRange& r) { return r.location <= end; });
    for (auto it = after; it != ranges.end(); ++it) it->location += delta;
    const auto at = ranges.erase(first, after);
    ranges.insert(at, fresh.begin(), fresh.end());
}

int place(const Point& point, int start, int end, int added,
          const std::vector<ParagraphRange>& fresh) {
    if (point.position <= start) return point.position;
    if (point.position > end) return point.position + added - (end - start);
    if (point.in)
        for (const ParagraphRange& r : fresh)
            if (r.id == point.in->first) return r.location + std::min(point.in->second, r.length);
    return start + std::min(point.position - start, added);
}

}  // namespace verbolin::TimelineSplice
