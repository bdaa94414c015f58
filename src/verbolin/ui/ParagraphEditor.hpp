#pragma once
// The user's edits of the timeline's paragraphs, kept by the window rather
// than by one view of it: each edit goes to the transcript by the segments
// the view showed, so a paragraph shown in part (a session that starts in
// its middle, a day) changes only there; the paragraph being edited is held
// (shown in its place, with its time, even emptied or out of the search)
// until the caret leaves it; and the undo history outlives views, searches,
// the empty window and new speech. Main thread only.

#include <optional>
#include <string>
#include <vector>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/ui/TimelineUndo.hpp"

namespace verbolin {

class TranscriptStore;

class ParagraphEditor {
  public:
    explicit ParagraphEditor(TranscriptStore& store) : store_(store) {}
    ParagraphEditor(const ParagraphEditor&) = delete;
    ParagraphEditor& operator=(const ParagraphEditor&) = delete;

    // The user changed the text of `shown` (the paragraph as the view was
    // given it) from `before` to `after`; `caret` is the caret's offset in
    // it afterwards, when it is there. A text of white space only leaves
    // the transcript, and comes back under the paragraph's id and times
    // when typed into while held.
    void edit(const Block& shown, const std::string& before, const std::string& after,
              std::optional<int> caret);

    // The paragraph being edited: held while the caret is in it.
    struct Held {
        platform::Uuid id;
        std::vector<platform::Uuid> segmentIds;  // its segments in the transcript
        // It as the transcript last held it: its times, and its text before
        // the first edit, for when it holds none now.
        Block last;
        std::string shown;  // its text as the view shows it
    };
    const std::optional<Held>& held() const { return held_; }
    // The held paragraph as the view shows it: its segments as the
    // transcript holds them, or, while it holds none, one that stands in
    // for them with the text shown and the paragraph's times. None when
    // none is held, or when what the view shows of it was deleted by other
    // means than typing.
    std::optional<Block> heldBlock() const;
    // The selection now names these paragraphs: a held one not among them
    // is let go.
    // Returns whether one was.
    bool caretIn(const std::vector<platform::Uuid>& paragraphs);
    // Lets the held paragraph go; the next edit starts an undo step of its
    // own, so that no step spans two paragraphs or two views.
    bool release();

    // What undo or redo did. `applied` false with no `problem`: nothing to do.
    struct Outcome {
        bool applied = false;
        platform::Uuid paragraph;
        platform::Date start;
        int caret = 0;  // where the change was, in the paragraph's text now
        // The segments the step put in (or took out, when it put in none):
        // what a view must show to show the step.
        std::vector<platform::Uuid> segments;
        std::string problem;  // why a step was passed over, for the status bar
    };
    // A step is applied while the segments it left are there as it left
    // them, whether shown or not; otherwise it is passed over, and the
    // outcome says why.
    Outcome undo() { return step(true); }
    Outcome redo() { return step(false); }
    bool canUndo() const { return history_.canUndo(); }
    bool canRedo() const { return history_.canRedo(); }

  private:
    Outcome step(bool back);
    void hold(const Block& shown, const std::string& text);

    TranscriptStore& store_;
    std::optional<Held> held_;
    UndoHistory history_;
};

}  // namespace verbolin
