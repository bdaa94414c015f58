#pragma once
// Everything the time scrubber draws and where a click lands, computed from
// its inputs and the width it is offered. The strip keeps no state: each
// paint builds this afresh.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/storage/UserCalendar.hpp"

namespace verbolin {

struct ScrubberInputs {
    std::shared_ptr<const std::vector<Block>>
        blocks;  // real paragraphs only, oldest first; null reads as none
    std::optional<platform::Uuid> visibleFirst, visibleLast;
    bool live = false;        // speech is heard now
    bool isLiveView = false;  // the view shows the growing end
    bool atEnd = true;
    std::function<void(const platform::Uuid&)> onJump;
    // Writes the times at the ends; null: the user's own calendar.
    const UserCalendar* calendar = nullptr;
};

class ScrubberGeometry {
  public:
    static constexpr double kDotSize = 8;
    static constexpr double kMinSpan = 60;  // seconds
    static constexpr double kMinBarWidth = 10;

    struct Bar {
        double x, width;
        double opacity;  // of the accent colour
    };

    // Where the visible paragraphs were found last time; looked at first.
    struct VisibleHint {
        size_t first = SIZE_MAX, last = SIZE_MAX;
    };

    ScrubberGeometry(const ScrubberInputs& inputs, double width);
    ScrubberGeometry(const ScrubberInputs& inputs, double width, VisibleHint hint);

    // From the first paragraph's start to the later of the last one's end and start + 60 s.
    static std::optional<std::pair<platform::Date, platform::Date>> timeSpan(
        const std::vector<Block>& blocks);

    // The track runs from 0 to trackWidth(). Below dotSize + 2 the strip has
    // no room for a track, and nothing time-based is drawn or clickable.
    double trackWidth() const { return w_; }
    bool hasTrack() const { return w_ > 0; }
    const std::optional<std::pair<platform::Date, platform::Date>>& span() const { return span_; }
    // Unclamped position of a time on the track.
    double x(platform::Date t) const;
    // Left edges of the paragraph marks, at most one per pixel column: a
    // year of paragraphs would otherwise paint the same pixels thousands of
    // times over.
    std::vector<double> marks() const;
    // The same marks, each with the index of the paragraph it is the left
    // edge of.
    struct Marks {
        std::vector<double> xs;
        std::vector<size_t> firsts;
    };
    // marks() when `earlier` holds the marks of an array whose first `kept`
    // paragraphs these are, over the same span and width: only those past
    // them are looked for again.
    Marks marksAfter(Marks earlier, size_t kept) const;
    std::optional<Bar> bar() const;
    // Where bar() found the visible paragraphs, to be given as the next hint.
    VisibleHint found() const { return found_; }
    double dotX() const { return w_ + 2; }

    // The paragraph a click or drag at `locationX` jumps to; the earlier of
    // two equally near ones.
    std::optional<platform::Uuid> target(double locationX) const;

  private:
    const Block* visible(const std::optional<platform::Uuid>& id, size_t hint, size_t& found) const;
    template <class StartOf>
    void marksBy(size_t n, StartOf startOf, Marks& out) const;

    const ScrubberInputs& in_;
    VisibleHint hint_;
    mutable VisibleHint found_;
    const std::vector<Block>& blocks_;
    double w_;
    std::optional<std::pair<platform::Date, platform::Date>> span_;
};

}  // namespace verbolin
