#include "verbolin/ui/ScrubberGeometry.hpp"

#include <algorithm>
#include <cmath>

#include "platform/system/Gallop.hpp"

namespace verbolin {

namespace {
const std::vector<Block>& orNone(const std::shared_ptr<const std::vector<Block>>& blocks) {
    static const std::vector<Block> none;
    return blocks ? *blocks : none;
}
}  // namespace

ScrubberGeometry::ScrubberGeometry(const ScrubberInputs& inputs, double width)
    : ScrubberGeometry(inputs, width, VisibleHint{}) {}

ScrubberGeometry::ScrubberGeometry(const ScrubberInputs& inputs, double width, VisibleHint hint)
    : in_(inputs),
      hint_(hint),
      blocks_(orNone(inputs.blocks)),
      w_(width - kDotSize - 2),
      span_(timeSpan(blocks_)) {}

std::optional<std::pair<platform::Date, platform::Date>> ScrubberGeometry::timeSpan(
    const std::vector<Block>& blocks) {
    // A paragraph without segments has no time; it cannot anchor the span.
    if (blocks.empty() || blocks.front().segments.empty() || blocks.back().segments.empty())
        return std::nullopt;
    const platform::Date start = blocks.front().segments.front().start;
    const platform::Date minEnd = start + std::chrono::seconds(int(kMinSpan));
    return std::pair{start, std::max(blocks.back().segments.back().end, minEnd)};
}

double ScrubberGeometry::x(platform::Date t) const {
    if (!span_) return 0;
    const double total = platform::secondsBetween(span_->first, span_->second);
    if (!(total > 0)) return 0;
    return w_ * platform::secondsBetween(span_->first, t) / total;
}

std::vector<double> ScrubberGeometry::marks() const { return marksAfter({}, 0).xs; }

ScrubberGeometry::Marks ScrubberGeometry::marksAfter(Marks earlier, size_t kept) const {
    // The walk below holds nothing but the paragraph it stands on: resumed
    // at the last mark of a paragraph taken over, it goes on as a walk from
    // the first one would.
    size_t keep = size_t(std::lower_bound(earlier.firsts.begin(), earlier.firsts.end(), kept) -
                         earlier.firsts.begin());
    keep = std::min(keep, earlier.xs.size());
    earlier.xs.resize(keep);
    earlier.firsts.resize(keep);
    marksBy(
        blocks_.size(),
        [&](size_t i) -> std::optional<platform::Date> {
            const Block& b = blocks_[i];
            if (b.segments.empty()) return std::nullopt;
            return b.segments.front().start;
        },
        earlier);
    return earlier;
}

template <class StartOf>
void ScrubberGeometry::marksBy(size_t n, StartOf startOf, Marks& out) const {
    if (!span_ || !hasTrack()) {
        out = {};
        return;
    }
    const double total = platform::secondsBetween(span_->first, span_->second);
    // As x(), without asking for the span again for every paragraph.
    auto xOf = [&](size_t i) -> double {
        const std::optional<platform::Date> start = startOf(i);
        if (!start) return -double(INFINITY);
        return total > 0 ? w_ * platform::secondsBetween(span_->first, *start) / total : 0.0;
    };
    // Paragraphs come oldest first, so their columns never go back: after
    // each mark, the next one is the first paragraph past its column, found
    // by galloping rather than by visiting every paragraph in between.
    size_t i = out.firsts.empty() ? 0 : out.firsts.back();
    if (!out.firsts.empty()) {
        out.xs.pop_back();
        out.firsts.pop_back();
    }
    while (i < n && !startOf(i)) ++i;
    while (i < n) {
        const double at = xOf(i);
        out.xs.push_back(at);
        out.firsts.push_back(i);
        const double next = std::floor(at) + 1;
        auto before = [&](size_t k) { return !(xOf(k) >= next); };
        i = platform::gallop(i + 1, n, before);
    }
}

const Block* ScrubberGeometry::visible(const std::optional<platform::Uuid>& id, size_t hint,
                                       size_t& found) const {
    found = SIZE_MAX;
    if (id) {
        // Ids are unique, so the paragraph found nearest the hint is the
        // first match. The visible paragraphs move little between paints,
        // and without a hint they are most often the last ones.
        const size_t n = blocks_.size();
        const size_t from = std::min(hint, n == 0 ? 0 : n - 1);
        for (size_t d = 0; d <= from || from + d < n; ++d) {
            if (from + d < n && blocks_[from + d].id == *id) return &blocks_[(found = from + d)];
            if (d > 0 && d <= from && blocks_[from - d].id == *id)
                return &blocks_[(found = from - d)];
        }
    }
    return in_.atEnd && !blocks_.empty() ? &blocks_.back() : nullptr;
}

std::optional<ScrubberGeometry::Bar> ScrubberGeometry::bar() const {
    if (!span_ || !hasTrack()) return std::nullopt;
    const Block* first = visible(in_.visibleFirst, hint_.first, found_.first);
    const Block* last = visible(in_.visibleLast, hint_.last, found_.last);
    if (!first || !last || first->segments.empty() || last->segments.empty()) return std::nullopt;
    const double x0 = x(first->segments.front().start);
    const double x1 =
        in_.atEnd && in_.isLiveView ? w_ + kDotSize * 0.5 : x(last->segments.back().end);
    return Bar{x0, std::max(x1 - x0, kMinBarWidth), in_.atEnd ? 0.5 : 0.35};
}

std::optional<platform::Uuid> ScrubberGeometry::target(double locationX) const {
    if (!span_ || blocks_.empty() || !hasTrack() || std::isnan(locationX)) return std::nullopt;
    const double px = std::min(std::max(locationX, 0.0), w_);
    const double total = platform::secondsBetween(span_->first, span_->second);
    const double target = platform::secondsSince1970(span_->first) + px / w_ * total;
    auto distance = [&](const Block& b) {
        return b.segments.empty()
                   ? INFINITY
                   : std::abs(platform::secondsSince1970(b.segments.front().start) - target);
    };
    const Block* best = &blocks_.front();
    double bestDistance = distance(*best);
    for (const Block& b : blocks_) {
        const double d = distance(b);
        if (d < bestDistance) best = &b, bestDistance = d;
    }
    return best->id;
}

}  // namespace verbolin
