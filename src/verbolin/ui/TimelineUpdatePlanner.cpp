#include "verbolin/ui/TimelineUpdatePlanner.hpp"

#include <algorithm>

#include "verbolin/storage/BlockLineage.hpp"

namespace verbolin::TimelineUpdatePlanner {

std::vector<ParagraphKey> paragraphKeys(const TimelineBlocks& blocks, size_t from) {
    std::vector<ParagraphKey> keys;
    keys.reserve(blocks.size() - std::min(from, blocks.size()));
    for (size_t i = from; i < blocks.size(); ++i) keys.push_back(ParagraphKey::of(blocks[i]));
    return keys;
}

size_t sharedPrefix(const std::shared_ptr<const std::vector<Block>>& older,
                    const std::shared_ptr<const std::vector<Block>>& newer) {
    if (!older || !newer) return 0;
    if (older == newer) return older->size();
    // What the store recorded when it extended the older array.
    if (auto taken = BlockLineage::takenOver(older, newer)) return *taken;
    const size_t n = std::min(older->size(), newer->size());
    size_t i = 0;
    while (i < n && (*older)[i].id == (*newer)[i].id &&
           (*older)[i].segments.sharesSegmentsWith((*newer)[i].segments))
        ++i;
    return i;
}

TimelinePlan plan(const std::vector<ParagraphKey>& rendered, const TimelineBlocks& blocks,
                  double renderedFont, double font, bool renderedEditable, bool editable,
                  size_t known) {
    TimelinePlan p;
    p.styleChanged = renderedFont != font || renderedEditable != editable;
    const size_t n = std::min(rendered.size(), blocks.size());
    p.common = std::min(known, n);
    while (p.common < n && rendered[p.common].matches(blocks[p.common])) ++p.common;
    if (!p.styleChanged && p.common == rendered.size() && p.common == blocks.size()) return p;
    p.prepended = !rendered.empty() && p.common == 0 && blocks.size() > rendered.size();
    const size_t shift = blocks.size() - rendered.size();
    for (size_t k = 0; p.prepended && k < rendered.size(); ++k)
        p.prepended = rendered[k].matches(blocks[shift + k]);
    p.kind = !p.styleChanged && !rendered.empty() && !p.prepended ? TimelinePlan::Kind::tail
                                                                  : TimelinePlan::Kind::full;
    if (p.kind != TimelinePlan::Kind::tail) return p;
    // A change in the middle (an edit, an undo, a paragraph shown or let go)
    // leaves the paragraphs after it as they were. New speech changes the
    // last paragraph, which ends the walk at once.
    const size_t limit = n - p.common;
    while (p.kept < limit &&
           rendered[rendered.size() - 1 - p.kept].matches(blocks[blocks.size() - 1 - p.kept]))
        ++p.kept;
    return p;
}

int tailStart(const std::vector<ParagraphRange>& ranges, int textLength,
              const std::vector<ParagraphKey>& keys, size_t index, size_t hidden,
              bool leadingSeparator) {
    if (index >= keys.size() || index < hidden) return textLength;
    const QString id = QString::fromStdString(keys[index].id.string());
    // Only the very first paragraph has no separator in front.
    auto startOf = [&](size_t i) {
        return i == 0 && hidden == 0 && !leadingSeparator ? ranges[i].location
                                                          : ranges[i].location - 1;
    };
    // Ranges follow the keys one for one, an emptied paragraph's included.
    if (const size_t guess = index - hidden; guess < ranges.size() && ranges[guess].id == id)
        return startOf(guess);
    for (size_t i = 0; i < ranges.size(); ++i)
        if (ranges[i].id == id) return startOf(i);
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
