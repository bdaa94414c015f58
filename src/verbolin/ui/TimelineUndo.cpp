#include "verbolin/ui/TimelineUndo.hpp"

#include <algorithm>
#include <utility>

namespace verbolin {

namespace {

// Whether `next` goes on with what `last` did at the same place.
bool continues(const UndoStep& last, const UndoStep& next) {
    if (last.paragraph != next.paragraph || last.shownAfter != next.shownBefore ||
        last.after != next.before)
        return false;
    if (last.removed == 0 && next.removed == 0)  // typing on at its end
        return last.typed && next.typed && !last.lineBreak && !next.lineBreak &&
               next.at == last.at + last.inserted;
    // Backspace or Delete again
    return last.inserted == 0 && next.inserted == 0 &&
           (next.at + next.removed == last.at || next.at == last.at);
}

}  // namespace

void UndoHistory::record(UndoStep step) {
    undone_.clear();
    if (!std::exchange(sealed_, false) && !done_.empty() && continues(done_.back(), step)) {
        UndoStep& last = done_.back();
        last.shownAfter = std::move(step.shownAfter);
        last.after = std::move(step.after);
        last.at = std::min(last.at, step.at);
        last.removed += step.removed;
        last.inserted += step.inserted;
        return;
    }
    if (done_.size() == kLimit) done_.erase(done_.begin());
    done_.push_back(std::move(step));
}

void UndoHistory::undone() {
    undone_.push_back(std::move(done_.back()));
    done_.pop_back();
}

void UndoHistory::redone() {
    done_.push_back(std::move(undone_.back()));
    undone_.pop_back();
}

}  // namespace verbolin
