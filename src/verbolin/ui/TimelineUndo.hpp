#pragma once
// The user's edits of the timeline, one paragraph per step, to undo and redo.
// A step holds the paragraph's own segments as the transcript had them
// before and after, so that undoing it puts back exactly what was there
// (times, edit mark, the text before the first edit), in that paragraph and
// no other, whichever view shows it now. Speech that joins the paragraph
// later adds segments of its own, which a step leaves alone.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Segment.hpp"

namespace verbolin {

struct UndoStep {
    platform::Uuid paragraph;
    platform::Date start;  // the paragraph's time, to name it by
    // The paragraph's segments in the transcript; none while it holds none
    // (emptied, or white space only).
    std::vector<Segment> before, after;
    std::string shownBefore, shownAfter;  // its text as the view showed it
    // What changed in the shown text: [at, at + removed) of `shownBefore`
    // became [at, at + inserted) of `shownAfter` (UTF-16 units). Typing on
    // at its end, or deleting on from its start or end, joins the step, so
    // that one undo takes back a word typed or a run of Backspace.
    int at = 0, removed = 0, inserted = 0;
    bool lineBreak = false;  // typed; typing after it is a step of its own
    // Only keys type on: each put in one character. A paste, a drop, a
    // middle-click or an input method's word comes in whole, and is a step
    // of its own, joining neither the typing before it nor what follows.
    bool typed = false;
};

class UndoHistory {
  public:
    static constexpr size_t kLimit = 1000;  // the oldest steps go beyond this

    // A new step, after which nothing undone can be redone.
    void record(UndoStep step);
    // The next step recorded is one of its own: the caret left the
    // paragraph, or the window shows another view of it.
    void seal() { sealed_ = true; }
    const UndoStep* nextUndo() const { return done_.empty() ? nullptr : &done_.back(); }
    const UndoStep* nextRedo() const { return undone_.empty() ? nullptr : &undone_.back(); }
    // The step of nextUndo (nextRedo) was applied: it can be redone (undone).
    void undone();
    void redone();
    // The step of nextUndo (nextRedo) can no longer be applied.
    void dropUndo() { done_.pop_back(); }
    void dropRedo() { undone_.pop_back(); }
    bool canUndo() const { return !done_.empty(); }
    bool canRedo() const { return !undone_.empty(); }

  private:
    std::vector<UndoStep> done_, undone_;
    bool sealed_ = false;
};

}  // namespace verbolin
