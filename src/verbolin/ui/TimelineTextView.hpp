#pragma once
// The timeline's text with its time column, kept in step with the paragraphs
// it is given: only the changed tail is re-rendered where possible, the view
// stays at the end while the user is there, and the visible paragraphs,
// scrolling, selection and edits are reported back through the inputs'
// callbacks. It holds a stretch of the paragraphs near the screen, never the
// whole of a long transcript: years of dictation laid out at once would take
// minutes and pass the depth at which Qt can still place a line. Main thread
// only.

#include <QPointer>
#include <QScopeGuard>
#include <QWidget>
#include <chrono>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/system/MainExecutor.hpp"
#include "verbolin/ui/AttributedText.hpp"
#include "verbolin/ui/GutterEntry.hpp"
#include "verbolin/ui/HeldWindow.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/PendingSpans.hpp"
#include "verbolin/ui/TextDepth.hpp"
#include "verbolin/ui/TimelineEditMapper.hpp"
#include "verbolin/ui/TimelineInputs.hpp"
#include "verbolin/ui/TimelineUpdatePlanner.hpp"

class QMenu;
class QMimeData;
class QTextDocument;

namespace verbolin {

class GutterView;
class TimelineTextEdit;

class TimelineTextView final : public QWidget {
    Q_OBJECT
  public:
    static constexpr double kInsetWidth = 6;
    static constexpr double kInsetHeight = 10;
    static constexpr double kBottomSlack = 40;  // "at the end" when closer than this
    static constexpr double kTopSlack = 60;     // scrolled to the top when above this
    static constexpr std::chrono::milliseconds kFillPause{1};  // between steps of a restyle
    // Qt's text layout places no line deeper than this; what is held is
    // bounded so that it stays above it at the largest size and any width.
    static constexpr double kDepthCeiling = 8'388'607;
    // The part of it the counted depth of what is held may take; the rest
    // is for what shaping among other characters may add.
    static constexpr double kDepthShare = 0.8;
    // The part of what may be held that scrolling to either end brings in.
    static constexpr double kPageShare = 1.0 / 3;
    // A view of paragraphs none of which it held (a search) opens with what
    // fills the screen this many times, and no more than kFirstPageMost of
    // them: what a long search finds costs its first frame what a short one does.
    static constexpr double kFirstPageScreens = 2;
    static constexpr size_t kFirstPageMost = 12;
    // The narrowest its text column (with the insets) gets. Until the view
    // is shown and laid out, the column is counted this wide at least; then
    // as wide as it is.
    static constexpr double kNarrowestText = 240;

    explicit TimelineTextView(platform::MainExecutor& main, QWidget* parent = nullptr);
    ~TimelineTextView() override;

    // Takes new inputs, brings the text in line with them and acts on a new
    // scroll request.
    void setInputs(TimelineInputs inputs);
    const TimelineInputs& inputs() const { return inputs_; }

    TimelineTextEdit* textEdit() const { return edit_; }
    GutterView* gutter() const { return gutter_; }
    const AttributedText& text() const { return text_; }
    // The keys of the paragraphs held, in order.
    const std::vector<ParagraphKey>& renderedKeys() const { return held_.keys(); }
    const std::vector<ParagraphRange>& ranges() const;
    bool loadingMore() const { return loadingMore_; }
    // The scoped paragraphs held, [heldFrom, heldTo): a view opens with its
    // newest, scrolling to the top brings older ones in a page at a time
    // and lets go of those far below, and back. The live paragraph is held
    // with the last one.
    size_t heldFrom() const { return held_.lo(); }
    size_t heldTo() const { return held_.hi(); }
    // What does not agree in what is held (see HeldWindow); none when all is well.
    std::vector<std::string> heldProblems() const;
    // The paragraphs of the selection's anchor and caret where the document
    // does not show them (scrolled away, hidden); none where it does.
    std::optional<std::pair<platform::Uuid, platform::Uuid>> awayParagraphs() const;
    // The caret where the user put it, by paragraph and offset (none before
    // they put one), and the same taken over by the view of another scope:
    // it stays where it is, without moving the view, and a key brings its
    // paragraph in, or is refused where this scope hides it.
    std::optional<HeldWindow::Point> usersCaret() const;
    void takeCaret(const HeldWindow::Point& caret);
    // The most paragraphs held at once: a busy day's, so that years of
    // dictation cost the window what a day's does (a day's is held whole)
    // while a page brought in, a third of it, still fills screens. Their
    // length is bounded too, by the depth they may take.
    size_t windowParagraphs = 150;
    // Text still in the size before a font change: what is on screen takes
    // the new one at once, the rest on later turns.
    bool restyling() const { return !held_.stale().empty(); }
    // Ctrl+Home and Ctrl+End: hold the oldest (newest) paragraphs and go
    // there; `select` extends the selection to it.
    void reachStart(bool select = false);
    void reachEnd(bool select = false);
    // What scrolling to the top (bottom) of what is held does: the page of
    // paragraphs in front of (after) it comes in, those far away go.
    void loadOlder();
    void loadNewer();
    // Whether a view that opened with a screen's worth still brings the
    // rest of what it may hold in front of it, a step a turn.
    bool filling() const { return filling_; }
    // Ctrl+A: the whole view, what is not held included, which the X
    // primary selection then holds too. Paragraphs that join in front of it
    // later (the earlier part of a long transcript, read after the newest)
    // join the selection.
    void selectWhole();

    // The selection as plain text: every character selected as it is, white
    // space at its ends included, paragraphs divided by one blank line; a
    // paragraph shown in part is read whole from the transcript, and one not
    // held from the transcript.
    QString plainSelectedText() const;
    // Puts "Delete Paragraph" and a separator in front of the editor's menu
    // when deletion is offered (disabled unless `atParagraph`), and disables
    // edits the text would refuse.
    void decorateContextMenu(QMenu& menu, bool atParagraph = true);
    // Asks the host to delete the paragraphs of the selection (Ctrl+Backspace
    // with a selection, "Delete Paragraph"), or of the caret when nothing is
    // selected ("Delete Paragraph" only).
    void deleteSelectedParagraphs();
    // Ctrl+Z and Ctrl+Shift+Z: asks the window to take back (put again) the
    // user's last edit of one paragraph; the text then shows what the
    // transcript holds.
    void undo();
    void redo();

    double scrollY() const;
    void scrollTo(double y);
    bool atBottom() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void apply();
    // Rewrites the paragraphs from `common` on but for the last `kept`;
    // the text before and after stays, and a caret or selection in a
    // paragraph that is rewritten stays where it was in its text.
    void applyMiddle(const TimelineBlocks& blocks, size_t common, size_t kept, bool wasAtBottom);
    // Renders everything anew, then keeps the view's place as the plan asks.
    void applyFull(const TimelineBlocks& blocks, const TimelinePlan& plan, bool wasAtBottom);
    // The new document, with the keys, font and editability it was made for.
    void renderAll(const TimelineBlocks& blocks);
    static void configure(QTextDocument& doc);  // margins for the inset and time column
    double layoutAll();                         // returns the document height
    void restoreSelection(int anchor, int position);
    // A position as its paragraph and the offset in it, which a whole
    // redraw keeps; none outside every paragraph, or where it is gone.
    struct Place {
        QString id;
        int offset = 0;
    };
    std::optional<Place> placeOf(int position) const;
    std::optional<int> positionOf(const std::optional<Place>& place) const;
    void reportVisible();
    void scrollToEnd();
    void scrollToEndOnce();
    void handleJump();

    // The window over the scoped paragraphs; see TimelineTextViewWindow.cpp.
    TimelineBlocks held() const { return inputs_.paragraphs().window(held_.lo(), held_.hi()); }
    size_t scopedCount() const { return inputs_.blocks ? inputs_.blocks->size() : 0; }
    // Finds what was held in new inputs whose first `shared` paragraphs are
    // those rendered last.
    void placeWindow(size_t shared);
    // Whether `paragraphs` paragraphs `depth` deep at the largest size stay
    // above the depth ceiling, with `share` of it.
    bool fits(double depth, size_t paragraphs, double share = 1) const;
    // The depth of text at the largest size in the column as wide as it is now.
    TextDepth& textDepth() const;
    double heldDepth() const;  // of what is held
    // Whether one paragraph's text shown whole would be too deep to hold
    // alone, at the largest size in the narrowest column.
    static bool tooDeepAlone(const QString& text);
    // Where a stretch ending at `end` (starting at `start`) that fits starts (ends).
    size_t startBefore(size_t end, double share = 1) const;
    size_t endAfter(size_t start, double share = 1) const;
    // Where the first page of a view ending at `end` starts (see kFirstPageScreens).
    size_t firstPageBefore(size_t end) const;
    // Puts the scoped paragraphs [from, heldFrom) in front of those held,
    // the text on screen staying where it is.
    void prependOlder(size_t from);
    // One step of bringing in what a view that opened with a screen's worth
    // may hold: a screen's worth or two more in front, then the next step
    // on a later turn, until the bound is reached or another road moved
    // what is held.
    void fillFront();
    void scheduleFill();
    // Holds [lo, hi) anew, the selection kept by paragraph.
    void holdWindow(size_t lo, size_t hi);
    void holdAround(size_t index);
    void letGoFront(size_t count);  // of the held paragraphs
    void letGoBack(size_t count);
    // After the text grew: lets go of what is held beyond the bounds, away
    // from the end the view follows.
    void keepWithinBounds();
    // The held paragraphs (indices among those held) from the caret's to the
    // selection anchor's, or the caret's alone; none where neither is held.
    std::optional<std::pair<size_t, size_t>> workingSpan(bool caretOnly = false) const;
    // Whether the user works in held paragraph `held` with the caret there:
    // they put it there, and it is not scrolled away above the newest text
    // the view follows.
    bool workingAt(size_t held) const;
    // Lets go of what is held beyond the bounds, keeping held [first, second].
    void trimAround(std::optional<std::pair<size_t, size_t>> kept);
    void schedulePage(bool older);
    bool atTextEnd() const;  // at the end of what is held
    std::optional<size_t> indexOf(const platform::Uuid& id, size_t guess) const;
    // A point in the transcript: a scoped paragraph (or the live one, at
    // scopedCount()) and an offset in its text.
    using Logical = HeldWindow::Point;
    std::optional<Logical> logicalOf(int position) const;
    Logical resolved(Logical point) const;  // its index in the inputs of now
    int positionOf(Logical point) const;
    // blocks[from...] (the scoped blocks[from, to)) as text that follows the
    // paragraph in front, at the size and with the sessions of now.
    AttributedText textFrom(const TimelineBlocks& blocks, size_t from) const;
    AttributedText textOf(const TimelineBlocks& blocks, size_t from, size_t to) const;
    QString logicalText(Logical from, Logical to) const;
    // The id of the first paragraph when the selection runs from its start
    // to the end of the last one; none otherwise.
    std::optional<platform::Uuid> wholeSelectedFrom() const;
    // After new inputs: a whole selection of `count` paragraphs from
    // `first` on takes in the paragraphs that came in front of it.
    void keepWhole(const platform::Uuid& first, size_t count);
    void selectAllParagraphs();
    // Makes the X primary selection the whole view's text, from the
    // transcript as it is now, made when it is pasted.
    void offerWhole();
    // Runs `change` of what is held, keeping the selection by its place in
    // the transcript; ends not held any more are kept beside the document.
    void keepingSelection(const std::function<void()>& change);
    void setWide(Logical anchor, Logical position);
    // Where Shift with Ctrl+Home or Ctrl+End extends the selection from; none without `select`.
    std::optional<Logical> selectionAnchor(bool select) const;
    // A new font size over the same text: the formats change in steps,
    // what is on screen first. False where the text itself would change.
    bool restyle(const TimelineBlocks& blocks, bool wasAtBottom);
    void restyleOnScreen(bool wasAtBottom);
    // Gives what waits of [from, to) its new formats, keeping the first
    // line on screen where it is (or the end, `atBottom`).
    void restyleKeepingPlace(int from, int to, bool atBottom);
    void scheduleRestyle();
    // A paste the document would take long to lay out (past the length
    // shown whole, or a long stretch without a break opportunity): stored
    // first, then shown as the transcript holds it. False leaves it to the
    // editor.
    bool pasteLong(const QString& pasted);
    // `textChanged` false: the text is as the gutter last drew it.
    void updateGutter(bool textChanged = true);
    std::optional<GutterEntry> gutterEntry(size_t rangeIndex) const;
    // The inputs show what was rendered last, without comparing paragraphs.
    bool unchangedSinceRendering() const;
    void boundsChanged();
    void userScrolled();
    void frameChanged();
    // A new size of the frame, before its text takes the new width.
    void frameChanging();
    // Bounds what is held anew, and keeps the view at the end where it was.
    void answerResize();

    bool shouldChange(int pos, int len) const;
    std::optional<int> typingTarget(int pos, int len) const;
    // Every change of the document, whatever made it (keys, an input
    // method, a middle-click, the clipboard, the menu), arrives here: it is
    // taken into the text, or taken back at once when the text refuses it.
    void contentsChanged(int pos, int removed, int added);
    void textChanged();
    // What text put at `position` is made of: the paragraph there, as the
    // characters before it (or its first, or its separator) look.
    std::optional<TextAttributes> insertionAttributes(int position) const;
    // Writes the refused change back out of the document and says why.
    void takeBack();
    // Ranges as the text shows them, with an empty first paragraph, which
    // no separator names, added from the keys.
    std::vector<ParagraphRange> rangesOf(const AttributedText& text) const;
    void addEmptyFirst(std::vector<ParagraphRange>& ranges) const;
    void selectionChanged();
    // The edits of the paragraphs the last change touched, their keys updated.
    EditMapping mapEdits();
    void reportSelection();  // onSelection (and onUserInteraction) with the selection now
    void write(int start, int removed, int inserted);
    // Passes a user's edit of one paragraph on; `caret`, its offset in the
    // paragraph's text, is read from the document unless given.
    void reportEdit(const ParagraphEdit& edit, std::optional<int> caret = std::nullopt);
    // Acts on a new caret request of the inputs.
    void handleCaret();
    std::optional<ParagraphRange> rangeOf(const platform::Uuid& id) const;
    void postSelf(std::function<void(TimelineTextView&)> task);
    // Every change of what is held and of its keys goes through here.
    void splice(HeldWindow::Splice change);
    // A caret or selection whose paragraph is not held is brought in, and
    // the document's selection put on it, before a key changes the text
    // there, as an editor scrolls to its caret; false when it cannot be.
    bool bringCaretIn();
    // A caret the user never placed is put at the end of the newest
    // paragraph, which comes in when it is not held.
    void caretToNewestUnlessPlaced();
    // Shift+click from a caret or selection end that is not held.
    bool extendAwayTo(int position);
    // A caret carried by a paragraph the transcript no longer holds goes
    // where that paragraph was; false (and said) where that is not shown.
    bool caretWhereGoneWas(const Logical& gone);
    void refuseHiddenCaret() const;  // says why a key went nowhere
    // Ends kept by offset in paragraphs not held stay within their text.
    void fitAway();
    // Whether the user's caret (selection) is held and the document shows it.
    bool caretHeld() const;
    // A way in from outside (inputs, keys, scrolling, a posted step): at
    // its end, what is held is checked where checking is on.
    class Road {
      public:
        explicit Road(TimelineTextView& view) : view_(view) { ++view_.roads_; }
        ~Road();
        Road(const Road&) = delete;
        Road& operator=(const Road&) = delete;

      private:
        TimelineTextView& view_;
    };
    void checkHeld() const;

    platform::MainExecutor& main_;
    TimelineTextEdit* edit_;
    GutterView* gutter_;
    TimelineInputs inputs_;
    AttributedText text_;
    mutable std::optional<std::vector<ParagraphRange>> ranges_;

    // The paragraph array the held keys were last checked against; none
    // after an edit rewrote the keys from the text.
    std::shared_ptr<const std::vector<Block>> renderedBlocks_;
    SectionTitles sectionKeysOf_;  // the titles sectionKeys_ was made from
    std::unordered_set<platform::Uuid> sectionKeys_;
    double renderedFont_ = 0;
    bool renderedEditable_ = true;
    bool loadingMore_ = false;
    HeldWindow held_;
    bool paging_ = false;  // a page is posted
    // The page step under way, whose own moves ask for no page the other way.
    enum class PageStep { none, older, newer } pageStep_ = PageStep::none;
    // Marks `step` as under way for as long as what it returns lives.
    [[nodiscard]] auto stepping(PageStep step) {
        return qScopeGuard([this, was = std::exchange(pageStep_, step)] { pageStep_ = was; });
    }
    bool settingWide_ = false;
    // The X primary selection that Ctrl+A made, while Qt keeps it.
    QPointer<QMimeData> offeredWhole_;
    int roads_ = 0;         // ways in under way
    bool spliced_ = false;  // what is held changed on this road
    // Where the last user change touched the text, for mapping it.
    std::optional<std::pair<int, int>> touched_;
    bool editing_ = false;
    long lastJumpToken_ = 0;
    long lastCaretToken_ = 0;
    struct Visible {
        std::optional<platform::Uuid> first, last;
        bool atBottom = true;
        friend bool operator==(const Visible&, const Visible&) = default;
    } lastVisible_;

    bool writing_ = false;  // our own writes into the document
    // A resize met on a way in waits for that way to end (see frameChanged).
    bool resizeMet_ = false;
    // A new document is being swapped in: scrolls meanwhile are answered
    // once it has its real width (see renderAll).
    enum class Swap { none, quiet, scrolled } swap_ = Swap::none;
    bool userEdited_ = false;  // a user change waits for mapping
    bool desynced_ = false;    // the document no longer matches the text
    // A change the text refused, still in the document: its [at, at + put)
    // must become the text's [at, at + gone) again.
    struct Refused {
        int at = 0, gone = 0, put = 0;
    };
    std::optional<Refused> refused_;
    // Text taken in since the last look at the document, [first, second):
    // Qt gave it the format of whatever stood before it.
    std::optional<std::pair<int, int>> restyle_;
    bool selectionPosted_ = false;
    bool selectionInteractive_ = false;
    mutable std::optional<TextDepth> depth_;  // at the size and width it was made for
    long restyleRound_ = 0;  // a posted restyle step of an earlier round does nothing
    // Where a restyle step left the first line on screen, for the next.
    struct RestylePlace {
        long round = 0;
        double scroll = 0;
        int length = 0, anchor = 0;
        double below = 0;
    };
    std::optional<RestylePlace> restylePlace_;
    // See filling(); whether a step of it is posted.
    bool filling_ = false, fillPosted_ = false;
    // Whether the text has been drawn since the view was made: the steps of
    // filling wait for its first frame (see scheduleFill).
    bool drawn_ = false;
};

}  // namespace verbolin
