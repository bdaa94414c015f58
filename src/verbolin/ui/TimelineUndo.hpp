#pragma once
// The user's edits of the timeline, one paragraph per step, to undo and redo.
// A step holds its paragraph as the transcript had it before and after, so
// that undoing it puts back exactly what was there (times, edit mark, the
// text before the first edit), in that paragraph and no other, wherever the
// caret is now. Text arriving meanwhile leaves the steps alone.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"

namespace verbolin {

struct UndoStep {
    platform::Uuid paragraph;
    std::string before, after;  // the text shown; empty when not shown
    // The paragraph in the transcript; none when it holds none.
    std::optional<Block> storedBefore, storedAfter;
    // What changed in the paragraph: [at, at + removed) of `before` became
    // [at, at + inserted) of `after` (UTF-16 units). Typing on at its end,
    // or deleting on from its start or end, joins the step, so that one undo
    // takes back a word typed or a run of Backspace.
    int at = 0, removed = 0, inserted = 0;
    bool lineBreak = false;  // typed; typing after it is a step of its own
    // The paragraph shown in front of it: where it comes back when gone.
    std::optional<platform::Uuid> previous;
};

class UndoHistory {
  public:
    static constexpr size_t kLimit = 1000;  // the oldest steps go beyond this

    // A new step, after which nothing undone can be redone.
    void record(UndoStep step);
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
};

}  // namespace verbolin
