#include "verbolin/ui/PendingSpans.hpp"

#include <algorithm>
#include <limits>

namespace verbolin {

void PendingSpans::reset(int from, int to) {
    spans_.clear();
    if (from < to) spans_.emplace_back(from, to);
}

void PendingSpans::add(int from, int to) {
    if (from >= to) return;
    std::vector<Span> out;
    out.reserve(spans_.size() + 1);
    bool placed = false;
    for (const Span& s : spans_) {
        if (s.second < from) {
            out.push_back(s);
        } else if (to < s.first) {
            if (!placed) out.emplace_back(from, to), placed = true;
            out.push_back(s);
        } else {  // touching or overlapping: one stretch
            from = std::min(from, s.first);
            to = std::max(to, s.second);
        }
    }
    if (!placed) out.emplace_back(from, to);
    std::sort(out.begin(), out.end());
    spans_ = std::move(out);
}

void PendingSpans::remove(int from, int to) {
    if (from >= to) return;
    std::vector<Span> out;
    out.reserve(spans_.size() + 1);
    for (const Span& s : spans_) {
        if (s.second <= from || to <= s.first) {
            out.push_back(s);
            continue;
        }
        if (s.first < from) out.emplace_back(s.first, from);
        if (to < s.second) out.emplace_back(to, s.second);
    }
    spans_ = std::move(out);
}

void PendingSpans::replace(int at, int removed, int added, bool addedPending) {
    if (spans_.empty()) return;
    remove(at, at + removed);
    const int delta = added - removed;
    for (Span& s : spans_) {
        if (s.first >= at + removed) {
            s.first += delta;
            s.second += delta;
        } else if (s.second > at) {  // an insertion inside it: its end moves on
            s.second += delta;
        }
    }
    // A stretch parted by a change that only removed is one again. The
    // shift kept the spans in order, so one pass joins those that now touch.
    std::vector<Span> joined;
    joined.reserve(spans_.size());
    for (const Span& s : spans_) {
        if (!joined.empty() && s.first <= joined.back().second)
            joined.back().second = std::max(joined.back().second, s.second);
        else
            joined.push_back(s);
    }
    spans_ = std::move(joined);
    if (addedPending) add(at, at + added);
}

std::vector<PendingSpans::Span> PendingSpans::within(int from, int to) const {
    std::vector<Span> out;
    for (const Span& s : spans_)
        if (s.first < to && from < s.second)
            out.emplace_back(std::max(s.first, from), std::min(s.second, to));
    return out;
}

std::optional<PendingSpans::Span> PendingSpans::nearest(int from, int to, int most) const {
    std::optional<Span> best;
    int bestDistance = std::numeric_limits<int>::max();
    for (const Span& s : spans_) {
        const int distance = s.second <= from ? from - s.second : std::max(s.first - to, 0);
        if (distance >= bestDistance) continue;
        bestDistance = distance;
        if (s.second <= from)  // above: its end first
            best = Span{std::max(s.first, s.second - most), s.second};
        else if (s.first >= to)  // below: its start first
            best = Span{s.first, std::min(s.second, s.first + most)};
        else  // across: the part from the band on
            best =
                Span{std::max(s.first, from), std::min(s.second, std::max(s.first, from) + most)};
    }
    return best;
}

}  // namespace verbolin
