#pragma once
// What the timeline holds of a long transcript, and everything kept by it.
//
// The view holds a bounded stretch of the scoped paragraphs, [lo, hi), in
// its document (see TimelineTextViewWindow.cpp for why). Many things must
// agree with that stretch at every moment: the keys of the paragraphs held
// (what each showed), the paragraph in front of them (it sets the space
// above the first), the time column's entries made so far, the text still
// in the last font size, and the user's caret and selection, which live in
// the transcript, not in the document: an end whose paragraph is not held
// is kept here by paragraph id and offset. Kept by each road that changes
// the stretch for itself (a page, a key, new speech, a scope, a search, a
// size, Ctrl+Home, a jump), they fell out of step, and keys landed where
// the user never put the caret. So they live in this one object, the
// stretch and its keys change only through splice(), and problems() says
// what no longer agrees; tests, and debug builds, look after every road
// that spliced (see TimelineTextView::Road).

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "verbolin/ui/GutterEntry.hpp"
#include "verbolin/ui/ParagraphKey.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/PendingSpans.hpp"
#include "verbolin/ui/TimelineBlocks.hpp"

namespace verbolin {

class HeldWindow {
  public:
    // A point in the transcript: a scoped paragraph (or the live one, at
    // the scope's end) and an offset in its text.
    struct Point {
        platform::Uuid id;
        size_t index = 0;
        int offset = 0;
        // The paragraph in front of it where it was last held (none: the
        // scope's first): where the caret goes once its own has left the
        // transcript (an emptied paragraph let go with the view it was
        // emptied in).
        std::optional<platform::Uuid> behind;
    };
    // A selection with an end outside what is held: its ends in the
    // transcript, and where the document shows them (its edges).
    struct Wide {
        Point anchor, position;
        int docAnchor = 0, docPosition = 0;
    };
    // The user's caret and selection where the document cannot show them.
    struct Away {
        std::optional<Wide> wide;
        std::optional<Point> parked;  // a caret in a paragraph not held
        bool userCaret = false;       // the caret is where the user (or an undo) put it
    };

    // One change of what is held: the stretch becomes [lo, hi) of `scoped`
    // paragraphs, and keys [from, to) become `keys` (none: the keys follow
    // on the same road, as a render planned for the new stretch).
    struct Splice {
        size_t lo = 0, hi = 0, scoped = 0;
        size_t from = 0, to = 0;
        std::vector<ParagraphKey> keys;
        // The paragraph now in front of the first held; none leaves it.
        std::optional<std::optional<platform::Uuid>> before;
    };
    void splice(Splice change);

    size_t lo() const { return lo_; }
    size_t hi() const { return hi_; }
    bool toEnd() const { return toEnd_; }  // hi is the end: new speech comes in
    const std::optional<platform::Uuid>& before() const { return before_; }
    const std::vector<ParagraphKey>& keys() const { return keys_; }
    // Time column entries made so far, by scoped paragraph index.
    std::unordered_map<size_t, GutterEntry>& gutter() const { return gutter_; }
    PendingSpans& stale() { return stale_; }
    const PendingSpans& stale() const { return stale_; }
    Away& away() { return away_; }
    const Away& away() const { return away_; }

    // What is checked: the view's own state, as the document shows it.
    struct Facts {
        TimelineBlocks scope;                       // the inputs of now
        const std::vector<ParagraphRange>* ranges;  // of the held text
        int textLength = 0;
        size_t mostParagraphs = 0;  // the bound, the live paragraph aside
        bool withinDepth = true;    // what is held stays above the depth bound
        int docAnchor = 0, docPosition = 0;
    };
    // What does not agree, one line each; none when all is well.
    std::vector<std::string> problems(const Facts& facts) const;

    // Where problems go: tests install one that fails the test; without
    // one, debug builds stop at the first.
    static std::function<void(const std::string&)>& onProblem();
    static bool checking();

  private:
    void place(size_t lo, size_t hi, size_t scoped);
    void dropGutterOutside();

    size_t lo_ = 0, hi_ = 0;
    bool toEnd_ = true;
    std::optional<platform::Uuid> before_;
    std::vector<ParagraphKey> keys_;
    mutable std::unordered_map<size_t, GutterEntry> gutter_;
    PendingSpans stale_;
    Away away_;
};

}  // namespace verbolin
