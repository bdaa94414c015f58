#pragma once
// Stretches of the timeline's text that still wait for work (their look
// after a font change), kept where they are while the text around them
// changes. Positions are UTF-16 units.

#include <optional>
#include <utility>
#include <vector>

namespace verbolin {

class PendingSpans {
  public:
    using Span = std::pair<int, int>;  // [first, second)

    bool empty() const { return spans_.empty(); }
    const std::vector<Span>& spans() const { return spans_; }
    void clear() { spans_.clear(); }
    // All of [from, to) waits.
    void reset(int from, int to);
    // [at, at + removed) became `added` units: what lay behind moves with
    // it, and the new units wait too when `addedPending`.
    void replace(int at, int removed, int added, bool addedPending);
    // [from, to) is done.
    void remove(int from, int to);
    // What waits within [from, to).
    std::vector<Span> within(int from, int to) const;
    // The next at most `most` units to do: from the waiting stretch nearest
    // to [from, to), its end nearest to it.
    std::optional<Span> nearest(int from, int to, int most) const;

  private:
    void add(int from, int to);
    std::vector<Span> spans_;  // sorted, apart and never empty
};

}  // namespace verbolin
