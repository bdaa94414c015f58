#include "verbolin/ui/TimelineTextView.hpp"

#include <QEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QVBoxLayout>
#include <cmath>
#include <utility>

#include "verbolin/storage/BlockLineage.hpp"
#include "verbolin/ui/CaretLines.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/GutterView.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/TimelineDocument.hpp"
#include "verbolin/ui/TimelineEditMapper.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineSplice.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"

namespace verbolin {

namespace {

std::unordered_set<platform::Uuid> keySet(
    const std::unordered_map<platform::Uuid, std::string>& m) {
    std::unordered_set<platform::Uuid> out;
    for (const auto& [id, title] : m) out.insert(id);
    return out;
}

// The paragraph in front of blocks[from]: the one before the stretch for the first.
const Block* previousOf(const TimelineBlocks& blocks, size_t from) {
    return from > 0 ? &blocks[from - 1] : blocks.before();
}

// The characters of `text` but the break marks the view put in.
QString withoutBreakMarks(const AttributedText& text) {
    QString out;
    out.reserve(text.length());
    text.forEachRun([&](int start, int length, const TextAttributes& a) {
        if (!isBreakMark(a.cut)) out += QStringView(text.string()).mid(start, length);
    });
    return out;
}

// blocks[from...] as text that follows blocks[from - 1], when there is one.
AttributedText renderFrom(const TimelineBlocks& blocks, size_t from, double fontSize,
                          const std::unordered_set<platform::Uuid>& sections) {
    AttributedText out =
        TimelineRenderer::render(blocks.scoped(from), previousOf(blocks, from), fontSize, sections);
    if (const Block* live = blocks.live(); live && from < blocks.size()) {
        const Block* before = previousOf(blocks, blocks.size() - 1);
        out.append(TimelineRenderer::render(std::span(live, 1), before, fontSize, sections));
    }
    return out;
}

// The scoped paragraphs blocks[from, to) as text that follows blocks[from - 1].
AttributedText renderRange(const TimelineBlocks& blocks, size_t from, size_t to, double fontSize,
                           const std::unordered_set<platform::Uuid>& sections) {
    const Block* previous = previousOf(blocks, from);
    return TimelineRenderer::render(blocks.scoped(from).first(to - from), previous, fontSize,
                                    sections);
}

// blocks[from, to), the live paragraph among them, as text that follows
// blocks[from - 1].
AttributedText renderSpan(const TimelineBlocks& blocks, size_t from, size_t to, double fontSize,
                          const std::unordered_set<platform::Uuid>& sections) {
    return to <= blocks.scoped().size() ? renderRange(blocks, from, to, fontSize, sections)
                                        : renderFrom(blocks, from, fontSize, sections);
}

}  // namespace

AttributedText TimelineTextView::textFrom(const TimelineBlocks& blocks, size_t from) const {
    return renderFrom(blocks, from, inputs_.fontSize, sectionKeys_);
}

AttributedText TimelineTextView::textOf(const TimelineBlocks& blocks, size_t from,
                                        size_t to) const {
    return renderRange(blocks, from, to, inputs_.fontSize, sectionKeys_);
}

TimelineTextView::TimelineTextView(platform::MainExecutor& main, QWidget* parent)
    : QWidget(parent), main_(main), edit_(new TimelineTextEdit(this)), gutter_(nullptr) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit_);
    gutter_ = new GutterView(edit_, main_);
    gutter_->ranges = [this]() -> const std::vector<ParagraphRange>& { return ranges(); };
    gutter_->entryAt = [this](size_t index) { return gutterEntry(index); };

    LongParagraph::tooDeep = &TimelineTextView::tooDeepAlone;
    configure(*edit_->document());
    edit_->setAcceptDrops(false);
    // The text column is never narrower than the one a paragraph's depth is
    // counted in (see LongParagraph::tooDeep): narrower, one paragraph alone
    // could pass the depth at which Qt can place a line.
    const QScrollBar* bar = edit_->verticalScrollBar();
    const int barWidth =
        std::max(bar->sizeHint().width(),
                 edit_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, bar));
    edit_->setMinimumWidth(int(kNarrowestText + Gutter::kColumnWidth) + 2 * edit_->frameWidth() +
                           barWidth);

    edit_->shouldChange = [this](int pos, int len) { return shouldChange(pos, len); };
    edit_->typingTarget = [this](int pos, int len) { return typingTarget(pos, len); };
    edit_->plainSelectedText = [this] { return plainSelectedText(); };
    edit_->prepareMenu = [this](QMenu& menu, bool atParagraph) {
        decorateContextMenu(menu, atParagraph);
    };
    edit_->pointsAtParagraph = [this](QPoint p) { return gutter_->paragraphAt(p.y()).has_value(); };
    edit_->viewportPress = [this](QPoint p) { return gutter_->press(p); };
    edit_->claimsPoint = [this](QPoint p) { return gutter_->claims(p); };
    edit_->deleteSelectionKey = [this] {
        // With only a caret the key is the desktop's "delete the word before":
        // a user correcting a word must not lose the paragraph, for which
        // there is no undo.
        if (!inputs_.onDeleteSelection || !edit_->textCursor().hasSelection()) return false;
        deleteSelectedParagraphs();
        return true;
    };

    edit_->refused = [this](int pos, int len) {
        std::optional<QString> live;
        if (inputs_.liveId) live = QString::fromStdString(inputs_.liveId->string());
        const auto why =
            held_.away().wide
                ? "A selection across paragraphs cannot be changed: edit one paragraph at a time."
                : TimelineEditMapper::whyRefused(text_, ranges(), pos, len, live);
        if (why && inputs_.onRefused) inputs_.onRefused(why);
    };
    edit_->selectParagraphAt = [this](int position) {
        // The paragraph's text, not its break: typing replaces it, as a
        // double-click's word.
        const ParagraphRange* at = rangeAt(ranges(), position);
        if (!at) return;
        const ParagraphRange r = *at;
        QTextCursor c = edit_->textCursor();
        c.setPosition(r.location);
        c.setPosition(r.end(), QTextCursor::KeepAnchor);
        edit_->setTextCursor(c);
    };
    edit_->pasteLong = [this](const QString& text) { return pasteLong(text); };
    edit_->breakMarkAt = [this](int position) {
        const TextAttributes* a = text_.attributesAt(position);
        return a && a->cut == CutPart::wrapWhole;
    };
    edit_->onUndo = [this] { undo(); };
    edit_->selectWhole = [this] { selectWhole(); };
    edit_->reachEdge = [this](bool end, bool select) {
        if (end)
            reachEnd(select);
        else
            reachStart(select);
    };
    edit_->reachBeyond = [this](bool up) {
        // A line up from the first line held (down from the last) goes on
        // into the paragraphs beyond: they come in first, as scrolling there
        // brings them, or the caret would step onto no paragraph.
        if (desynced_ || (up ? held_.lo() == 0 : held_.toEnd())) return;
        QTextCursor probe = edit_->textCursor();
        probe.clearSelection();
        if (CaretLines::step(probe, up, QTextCursor::MoveAnchor) &&
            rangeAt(ranges(), probe.position()))
            return;
        if (up)
            loadOlder();
        else
            loadNewer();
    };
    edit_->onRedo = [this] { redo(); };
    edit_->bringCaretIn = [this] { return bringCaretIn(); };
    edit_->extendTo = [this](int position) { return extendAwayTo(position); };
    edit_->resizing = [this] { frameChanging(); };
    edit_->resized = [this] { frameChanged(); };

    connect(edit_->document(), &QTextDocument::contentsChange, this,
            &TimelineTextView::contentsChanged);
    connect(edit_, &QTextEdit::textChanged, this, &TimelineTextView::textChanged);
    connect(edit_, &QTextEdit::cursorPositionChanged, this, &TimelineTextView::selectionChanged);
    connect(edit_, &QTextEdit::selectionChanged, this, &TimelineTextView::selectionChanged);
    connect(edit_->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { boundsChanged(); });
    connect(edit_->verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this] { userScrolled(); });
    edit_->installEventFilter(this);
    edit_->viewport()->installEventFilter(this);
}

TimelineTextView::~TimelineTextView() {
    // The document's signals must not reach a half-destroyed coordinator.
    edit_->document()->disconnect(this);
    edit_->disconnect(this);
}

void TimelineTextView::configure(QTextDocument& doc) {
    doc.setDocumentMargin(0);
    QTextFrameFormat root = doc.rootFrame()->frameFormat();
    // The column left of the text belongs to the time labels.
    root.setLeftMargin(Gutter::kColumnWidth + kInsetWidth);
    root.setRightMargin(kInsetWidth);
    root.setTopMargin(kInsetHeight);
    root.setBottomMargin(kInsetHeight);
    doc.rootFrame()->setFrameFormat(root);
}

const std::vector<ParagraphRange>& TimelineTextView::ranges() const {
    if (!ranges_) ranges_ = rangesOf(text_);
    return *ranges_;
}

std::vector<ParagraphRange> TimelineTextView::rangesOf(const AttributedText& text) const {
    std::vector<ParagraphRange> out = blockRanges(text);
    addEmptyFirst(out);
    return out;
}

void TimelineTextView::addEmptyFirst(std::vector<ParagraphRange>& ranges) const {
    // Every paragraph but the timeline's very first has a separator in front
    // that names it; that one, emptied, is known from the keys. Held from
    // a later one on, the text starts with that one's separator.
    if (held_.lo() > 0 || held_.keys().empty()) return;
    if (!ranges.empty() && ranges.front().location == 0) return;
    ranges.insert(ranges.begin(),
                  ParagraphRange{QString::fromStdString(held_.keys().front().id.string()), 0, 0});
}

void TimelineTextView::postSelf(std::function<void(TimelineTextView&)> task) {
    main_.post([self = QPointer<TimelineTextView>(this), task = std::move(task)] {
        if (self) task(*self);
    });
}

void TimelineTextView::setInputs(TimelineInputs inputs) {
    const Road road(*this);
    const std::optional<platform::Uuid> wholeFrom = wholeSelectedFrom();
    const size_t wasCount = inputs_.paragraphs().size();
    inputs_ = std::move(inputs);
    apply();
    fitAway();
    if (wholeFrom) keepWhole(*wholeFrom, wasCount);
    handleJump();
    handleCaret();
    scheduleFill();
}

double TimelineTextView::scrollY() const { return edit_->verticalScrollBar()->value(); }

void TimelineTextView::scrollTo(double y) {
    edit_->verticalScrollBar()->setValue(int(std::lround(y)));
}

double TimelineTextView::layoutAll() {
    // Before the view is shown its width is not yet the real one, and showing
    // lays everything out again at that width: a long timeline is laid out
    // once, then. Nothing is scrolled meanwhile.
    if (!isVisible()) return 0;
    const double height = DocumentGeometry::layoutAll(*edit_->document());
    // Qt finishes a long layout on a timer and only then widens the scroll
    // range; the range must fit the layout now, or scrolls get clamped.
    QScrollBar* bar = edit_->verticalScrollBar();
    const int max = std::max(0, int(std::ceil(height)) - edit_->viewport()->height());
    if (bar->maximum() != max) bar->setRange(0, max);
    bar->setPageStep(edit_->viewport()->height());
    return height;
}

bool TimelineTextView::atBottom() const {
    // Unshown, nothing is laid out or scrolled: the view is where it last was.
    if (!isVisible()) return lastVisible_.atBottom;
    // At the end of a stretch of older paragraphs is not at the newest.
    return held_.toEnd() && atTextEnd();
}

bool TimelineTextView::atTextEnd() const {
    if (!isVisible()) return lastVisible_.atBottom;
    // Rounded up as the scroll range is, so that "40 above the end" is exact.
    const double height = std::ceil(DocumentGeometry::layoutAll(*edit_->document()));
    return height - (scrollY() + edit_->viewport()->height()) < kBottomSlack;
}

void TimelineTextView::write(int start, int removed, int inserted) {
    writing_ = true;
    TimelineDocument::write(*edit_->document(), text_, start, removed, inserted, edit_->palette());
    writing_ = false;
    ranges_.reset();
    held_.stale().replace(start, removed, inserted, false);
    spliced_ = true;
}

void TimelineTextView::restoreSelection(int anchor, int position) {
    // Setting the cursor would scroll it into view; restoring it must not,
    // nor make it the user's.
    // A selection kept by paragraph stays kept: only its edges move. Nor
    // report the place it passes through on the way.
    const double y = scrollY();
    if (auto& wide = held_.away().wide) wide->docAnchor = anchor, wide->docPosition = position;
    const bool wasSetting = std::exchange(settingWide_, true);
    const Swap was = std::exchange(swap_, swap_ == Swap::none ? Swap::quiet : swap_);
    QTextCursor c(edit_->document());
    c.setPosition(anchor);
    c.setPosition(position, QTextCursor::KeepAnchor);
    edit_->setTextCursor(c);
    settingWide_ = wasSetting;
    scrollTo(y);
    swap_ = was;
}

void TimelineTextView::apply() {
    edit_->setReadOnly(!inputs_.editable);
    edit_->setTextInteractionFlags(inputs_.editable
                                       ? Qt::TextEditorInteraction
                                       : Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    if (unchangedSinceRendering()) {
        updateGutter(false);
        return;
    }
    // Paragraphs shared with the array rendered last still match their keys:
    // known by identity or the store's record only, since walking years of
    // paragraphs on every update is what holding a stretch spares.
    size_t shared = 0;
    if (!desynced_ && renderedBlocks_ && inputs_.blocks) {
        if (renderedBlocks_ == inputs_.blocks)
            shared = inputs_.blocks->size();
        else if (const auto taken = BlockLineage::takenOver(renderedBlocks_, inputs_.blocks))
            shared = *taken;
    }
    const size_t wasFrom = held_.lo();
    placeWindow(shared);
    if (desynced_)  // rebuild from nothing
        splice({held_.lo(), held_.hi(), scopedCount(), 0, held_.keys().size(), {}, std::nullopt});
    const TimelineBlocks blocks = held();
    const size_t known =
        held_.lo() == wasFrom && shared > held_.lo()
            ? std::min(shared - held_.lo(), std::min(held_.keys().size(), held_.hi() - held_.lo()))
            : 0;
    TimelinePlan plan =
        TimelineUpdatePlanner::plan(held_.keys(), blocks, renderedFont_, inputs_.fontSize,
                                    renderedEditable_, inputs_.editable, known);
    renderedBlocks_ = inputs_.blocks;
    // Another paragraph in front of those held changes the space above them.
    const Block* before = blocks.before();
    if (!held_.keys().empty() &&
        (before ? std::optional(before->id) : std::nullopt) != held_.before())
        plan.kind = TimelinePlan::Kind::full;
    size_t kept = plan.kept;
    if (!sectionKeysOf_.sharedWith(inputs_.sectionStarts)) {
        sectionKeysOf_ = inputs_.sectionStarts;
        std::unordered_set<platform::Uuid> keys = keySet(inputs_.sectionStarts);
        // Other session starts change the space above paragraphs anywhere,
        // those held among them.
        if (keys != sectionKeys_) {
            kept = 0;
            if (plan.kind == TimelinePlan::Kind::none && !held_.keys().empty())
                plan.kind = TimelinePlan::Kind::full;
        }
        sectionKeys_ = std::move(keys);
    }
    if (plan.kind == TimelinePlan::Kind::none && !desynced_) {
        updateGutter(false);
        return;
    }
    const bool wasAtBottom = atBottom();
    // Only the font size changed: the text stays, and takes the new size in steps.
    const bool sameText = plan.common == held_.keys().size() && plan.common == blocks.size();
    if (plan.kind == TimelinePlan::Kind::full && plan.styleChanged && sameText && !desynced_ &&
        renderedEditable_ == inputs_.editable && restyle(blocks, wasAtBottom))
        return;
    if (plan.kind == TimelinePlan::Kind::tail && !desynced_)
        applyMiddle(blocks, plan.common, kept, wasAtBottom);
    else
        keepingSelection([&] { applyFull(blocks, plan, wasAtBottom); });
    keepWithinBounds();
}

void TimelineTextView::applyMiddle(const TimelineBlocks& blocks, size_t common, size_t kept,
                                   bool wasAtBottom) {
    const size_t oldCount = held_.keys().size(), newCount = blocks.size();
    const int start = TimelineUpdatePlanner::tailStart(ranges(), text_.length(), held_.keys(),
                                                       common, 0, held_.lo() > 0);
    // The first paragraph kept is written again too: the space above it
    // follows the paragraph in front of it.
    int end = text_.length();
    if (kept > 0) {
        const std::optional<ParagraphRange> last = rangeOf(held_.keys()[oldCount - kept].id);
        if (last && last->location >= start)
            end = last->end();
        else
            kept = 0;
    }
    const size_t to = kept > 0 ? newCount - kept + 1 : newCount;
    AttributedText middle = renderSpan(blocks, common, to, inputs_.fontSize, sectionKeys_);

    // Where the selection's ends are, by paragraph where it is rewritten.
    ranges();
    std::vector<ParagraphRange> all = std::move(*ranges_);  // writing drops them
    const TimelineSplice::Point anchor =
        TimelineSplice::locate(all, start, end, edit_->textCursor().anchor());
    const TimelineSplice::Point position =
        TimelineSplice::locate(all, start, end, edit_->textCursor().position());

    const int removed = end - start, added = middle.length();
    text_.replace(start, removed, middle);
    write(start, removed, added);
    std::vector<ParagraphRange> fresh;
    appendBlockRanges(fresh, middle, start);
    TimelineSplice::replaceRanges(all, start, end, fresh, added - removed);
    ranges_ = std::move(all);
    const int newAnchor = TimelineSplice::place(anchor, start, end, added, fresh);
    const int newPosition = TimelineSplice::place(position, start, end, added, fresh);
    const QTextCursor now = edit_->textCursor();
    // The document moved its cursor with the text, but not the edges of a
    // selection kept beside it.
    const auto& wide = held_.away().wide;
    if (now.anchor() != newAnchor || now.position() != newPosition ||
        (wide && (wide->docAnchor != newAnchor || wide->docPosition != newPosition)))
        restoreSelection(newAnchor, newPosition);

    std::vector<ParagraphKey> keys;
    for (size_t i = common; i < newCount - kept; ++i) keys.push_back(ParagraphKey::of(blocks[i]));
    splice({held_.lo(), held_.hi(), scopedCount(), common, oldCount - kept, std::move(keys),
            std::nullopt});
    if (start == 0) addEmptyFirst(*ranges_);
    layoutAll();
    if (wasAtBottom)
        scrollToEnd();
    else
        reportVisible();
    updateGutter();
}

void TimelineTextView::applyFull(const TimelineBlocks& blocks, const TimelinePlan& plan,
                                 bool wasAtBottom) {
    const bool hadAnchor = !held_.keys().empty();
    const std::optional<ParagraphKey> anchor =
        hadAnchor ? std::optional(held_.keys().front()) : std::nullopt;
    const double oldHeight = DocumentGeometry::layoutAll(*edit_->document());
    const double oldTop = scrollY();
    const int savedPos = edit_->textCursor().position(), savedAnchor = edit_->textCursor().anchor();
    // By paragraph too: everything moves when older paragraphs come in above,
    // and a paste whose text is still being fetched goes where the caret is.
    const std::optional<Place> anchorIn = placeOf(savedAnchor), positionIn = placeOf(savedPos);

    renderAll(blocks);
    const std::optional<int> newPos = positionOf(positionIn);
    const bool keptSelection = newPos.has_value();
    if (newPos) restoreSelection(positionOf(anchorIn).value_or(*newPos), *newPos);
    const double newHeight = layoutAll();

    if (plan.prepended && anchor) {
        auto at = std::find(held_.keys().begin(), held_.keys().end(), *anchor);
        if (at != held_.keys().end() && at != held_.keys().begin()) {
            scrollTo(oldTop + (newHeight - oldHeight));
            loadingMore_ = false;
            reportVisible();
            updateGutter();
            return;
        }
    }
    if (plan.styleChanged) {
        if (!keptSelection && std::max(savedAnchor, savedPos) <= text_.length())
            restoreSelection(savedAnchor, savedPos);
        if (wasAtBottom)
            scrollToEnd();
        else
            reportVisible();
    } else if (wasAtBottom || !hadAnchor) {
        scrollToEnd();
    } else {
        reportVisible();
    }
    updateGutter();
}

std::optional<TimelineTextView::Place> TimelineTextView::placeOf(int position) const {
    const ParagraphRange* r = rangeAt(ranges(), position);
    if (!r) return std::nullopt;
    // Counted in the paragraph's own text: break marks may stand elsewhere,
    // or nowhere, once it is drawn anew.
    return Place{r->id, textOffset(text_, *r, position)};
}

std::optional<int> TimelineTextView::positionOf(const std::optional<Place>& place) const {
    if (!place) return std::nullopt;
    const auto r = std::find_if(ranges().begin(), ranges().end(),
                                [&](const ParagraphRange& p) { return p.id == place->id; });
    if (r == ranges().end()) return std::nullopt;
    return std::min(verbolin::positionOf(text_, *r, place->offset), r->end());
}

void TimelineTextView::renderAll(const TimelineBlocks& blocks) {
    text_ = renderFrom(blocks, 0, inputs_.fontSize, sectionKeys_);
    // A fresh document is filled several times faster than one that a text
    // edit watches; the edit deletes the old one, its own child, on the swap.
    auto* fresh = new QTextDocument(edit_);
    configure(*fresh);
    // The document keeps no undo history: the view keeps it by paragraph.
    fresh->setUndoRedoEnabled(false);
    TimelineDocument::writeAll(*fresh, text_, edit_->palette());
    edit_->document()->disconnect(this);
    writing_ = true;
    // Taking a document, the edit scrolls to its caret before giving it the
    // viewport's width, then lays it all out again at that width: a scroll
    // answered in between would lay out every paragraph held twice.
    swap_ = Swap::quiet;
    edit_->setDocument(fresh);
    const bool scrolled = swap_ == Swap::scrolled;
    swap_ = Swap::none;
    writing_ = false;
    if (scrolled) boundsChanged();
    connect(fresh, &QTextDocument::contentsChange, this, &TimelineTextView::contentsChanged);
    ranges_.reset();
    held_.stale().clear();
    ++restyleRound_;
    desynced_ = false;
    splice({held_.lo(), held_.hi(), scopedCount(), 0, held_.keys().size(),
            TimelineUpdatePlanner::paragraphKeys(blocks),
            blocks.before() ? std::optional(blocks.before()->id) : std::nullopt});
    renderedFont_ = inputs_.fontSize;
    renderedEditable_ = inputs_.editable;
}

bool TimelineTextView::restyle(const TimelineBlocks& blocks, bool wasAtBottom) {
    // Unshown, nothing is laid out until it is shown: a new document costs no more.
    if (!isVisible()) return false;
    AttributedText fresh = renderFrom(blocks, 0, inputs_.fontSize, sectionKeys_);
    if (fresh.string() != text_.string()) {
        // Keys typed into a paragraph with break marks leave the marks
        // where they were, and a new rendering puts them elsewhere: the
        // characters held stay as they are and take the new size, rather
        // than the whole text being written and laid out anew at once.
        std::optional<AttributedText> kept =
            TimelineRenderer::resized(text_, renderedFont_, inputs_.fontSize);
        if (!kept || withoutBreakMarks(*kept) != withoutBreakMarks(fresh)) return false;
        fresh = std::move(*kept);
    }
    text_ = std::move(fresh);
    ranges_.reset();
    renderedFont_ = inputs_.fontSize;
    ++restyleRound_;
    held_.stale().reset(0, text_.length());
    restyleOnScreen(wasAtBottom);
    if (!held_.stale().empty()) scheduleRestyle();
    reportVisible();
    updateGutter();
    return true;
}

void TimelineTextView::reportVisible() {
    // Nothing is visible yet; showing the view reports (see frameChanged).
    if (!isVisible()) return;
    const QTextDocument& doc = *edit_->document();
    layoutAll();
    const double top = scrollY();
    auto [loc, len] = DocumentGeometry::visibleRange(doc, top, top + edit_->viewport()->height());
    VisibleParagraphs v = TimelineUpdatePlanner::visibleWalk(ranges(), loc, len);
    Visible now{v.first, v.last, atBottom()};
    if (now == lastVisible_) return;
    lastVisible_ = now;
    auto onVisible = inputs_.onVisible;
    main_.post([onVisible, now] {
        if (onVisible) onVisible(now.first, now.last, now.atBottom);
    });
    gutter_->update();
}

void TimelineTextView::scrollToEndOnce() {
    layoutAll();
    QScrollBar* bar = edit_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TimelineTextView::scrollToEnd() {
    scrollToEndOnce();
    // Layout may still grow before the next turn.
    postSelf([](TimelineTextView& v) {
        const Road road(v);
        v.scrollToEndOnce();
        v.reportVisible();
    });
}

void TimelineTextView::handleJump() {
    if (inputs_.jump.token == lastJumpToken_) return;
    lastJumpToken_ = inputs_.jump.token;
    std::optional<ParagraphRange> target;
    if (inputs_.jump.id) {
        target = rangeOf(*inputs_.jump.id);
        // The target may be among the paragraphs not held: they come in.
        if (!target) {
            if (const auto at = indexOf(*inputs_.jump.id, held_.lo())) {
                holdAround(*at);
                target = rangeOf(*inputs_.jump.id);
            }
        }
    }
    if (!target) {
        if (!held_.toEnd()) holdWindow(startBefore(scopedCount()), scopedCount());
        return scrollToEnd();
    }
    const QTextDocument& doc = *edit_->document();
    layoutAll();
    auto line = DocumentGeometry::lineAt(doc, target->location);
    const TextAttributes* a = text_.attributesAt(target->location);
    const double spacing = a && a->paragraph ? a->paragraph->spacingBefore : 0;
    // Line tops already include the inset: the document carries it as margin.
    const double y = line ? line->rect.top() - spacing - 4 : 0;
    scrollTo(std::max(y, 0.0));
    postSelf([](TimelineTextView& v) { v.reportVisible(); });
}

bool TimelineTextView::unchangedSinceRendering() const {
    // The paragraphs are shared and never changed in place: the same array
    // holds the same paragraphs, and only the live one needs a look.
    if (desynced_ || !renderedBlocks_ || renderedBlocks_ != inputs_.blocks) return false;
    if (renderedFont_ != inputs_.fontSize || renderedEditable_ != inputs_.editable) return false;
    const size_t scoped = held_.hi() - held_.lo();
    if (!inputs_.liveBlock || !held_.toEnd()) return held_.keys().size() == scoped;
    return held_.keys().size() == scoped + 1 && held_.keys().back().matches(*inputs_.liveBlock);
}

std::optional<GutterEntry> TimelineTextView::gutterEntry(size_t rangeIndex) const {
    const std::vector<ParagraphRange>& all = ranges();
    if (rangeIndex >= all.size()) return std::nullopt;
    const auto id = platform::Uuid::parse(all[rangeIndex].id.toStdString());
    if (!id) return std::nullopt;
    const TimelineBlocks blocks = inputs_.paragraphs();
    // Ranges follow the paragraphs held one for one unless an edit emptied
    // one, so the paragraph is looked for outward from there.
    const size_t guess = rangeIndex + held_.lo();
    std::optional<size_t> found;
    for (size_t d = 0; !found && (guess + d < blocks.size() || d <= guess); ++d) {
        if (guess + d < blocks.size() && blocks[guess + d].id == *id)
            found = guess + d;
        else if (d > 0 && d <= guess && guess - d < blocks.size() && blocks[guess - d].id == *id)
            found = guess - d;
    }
    if (!found) return std::nullopt;
    if (auto cached = held_.gutter().find(*found); cached != held_.gutter().end())
        return cached->second;
    GutterEntry e = Gutter::entry(blocks, *found, inputs_.label, inputs_.sectionStarts);
    // Only of paragraphs held: indices name others once the stretch moves.
    if (*found >= held_.lo() && *found <= held_.hi()) held_.gutter().emplace(*found, e);
    return e;
}

void TimelineTextView::updateGutter(bool textChanged) {
    // Entries are made as the gutter draws them, from the inputs of now. Over
    // unchanged text the gutter needs drawing again only if an entry it drew
    // now reads differently.
    bool redraw = textChanged;
    const TimelineBlocks blocks = inputs_.paragraphs();
    for (auto it = held_.gutter().begin(); !redraw && it != held_.gutter().end(); ++it)
        redraw = it->first >= blocks.size() || Gutter::entry(blocks, it->first, inputs_.label,
                                                             inputs_.sectionStarts) != it->second;
    if (redraw) held_.gutter().clear();
    auto onCopyBlock = inputs_.onCopyBlock;
    gutter_->onCopy = [onCopyBlock](const QString& id) {
        if (auto uuid = platform::Uuid::parse(id.toStdString()); uuid && onCopyBlock)
            onCopyBlock(*uuid);
    };
    gutter_->fontSize = inputs_.fontSize;
    gutter_->setGeometry(edit_->viewport()->rect());
    if (redraw) gutter_->update();
}

void TimelineTextView::boundsChanged() {
    if (swap_ != Swap::none) {
        swap_ = Swap::scrolled;
        return;
    }
    // Scrolling the viewport moves its children too; the gutter stays put
    // and draws at the new offset instead.
    gutter_->setGeometry(edit_->viewport()->rect());
    reportVisible();
    gutter_->update();
    // Paragraphs not held come in a page at a time as either end is reached;
    // only past the oldest is the host asked for more.
    if (isVisible() && !paging_ && !desynced_) {
        // While a first page is filled in front, the steps bring what is above.
        // Nor does a page that keeps the text on screen in place ask for one
        // the other way: in a text little taller than the screen, a page in
        // front leaves the view at its end, and one at the end at its top,
        // and pages would come and go turn after turn.
        if (held_.lo() > 0 && scrollY() < kTopSlack && !filling_ && pageStep_ != PageStep::newer)
            return schedulePage(true);
        // Not from the top as well: a short text would go back and forth.
        if (!held_.toEnd() && scrollY() >= kTopSlack && pageStep_ != PageStep::older && atTextEnd())
            return schedulePage(false);
    }
    if (!inputs_.onScrolledToTop || loadingMore_ || held_.lo() > 0) return;
    if (scrollY() < kTopSlack) {
        loadingMore_ = true;
        inputs_.onScrolledToTop();
        main_.postAfter(std::chrono::seconds(1), [self = QPointer<TimelineTextView>(this)] {
            if (self) self->loadingMore_ = false;
        });
    }
}

void TimelineTextView::userScrolled() {
    auto onUserInteraction = inputs_.onUserInteraction;
    main_.post([onUserInteraction] {
        if (onUserInteraction) onUserInteraction();
    });
}

void TimelineTextView::frameChanged() {
    // The editor resizes its viewport while text is written into it, as its
    // scroll bar comes or goes: in the middle of a change of what is held,
    // before the keys have taken it, or of a user's change the text has not
    // taken yet. Letting go of more from there cut the text by stale
    // ranges. The road under way answers it once it has ended (see Road),
    // in the same turn: on a later one the view had moved meanwhile.
    if (roads_ > 0 || writing_ || userEdited_ || refused_) {
        resizeMet_ = true;
        return;
    }
    const Road road(*this);
    answerResize();
}

void TimelineTextView::frameChanging() {
    // Narrower, what is held may no longer fit: what goes is let go of at
    // the width the text is laid out at, which costs a block's layout, and
    // Qt then lays out only what stays at the new one. Let go of after,
    // it was laid out at the new width first, a long paragraph a fifth of
    // a second. Counted at the frame's new width; nothing is laid out at
    // it here. Not on a way in (see frameChanged), nor before the text was
    // first drawn at a width of the window's.
    if (roads_ > 0 || writing_ || userEdited_ || refused_ || !drawn_ || !isVisible()) return;
    const Road road(*this);
    keepWithinBounds();
}

void TimelineTextView::answerResize() {
    // Where the view was before anything is let go, which reports a place
    // off the end while the text above it goes.
    const bool wasAtBottom = lastVisible_.atBottom;
    // Narrower, what is held takes more lines.
    keepWithinBounds();
    if (wasAtBottom)
        scrollToEnd();
    else
        reportVisible();
    scheduleFill();
}

bool TimelineTextView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        if (watched == edit_->viewport()) gutter_->setGeometry(edit_->viewport()->rect());
    } else if (event->type() == QEvent::Wheel && watched == edit_->viewport()) {
        userScrolled();
    } else if (event->type() == QEvent::MouseButtonPress && watched == edit_->viewport() &&
               static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // A click places the caret even where the document's already was.
        held_.away().userCaret = true;
    } else if (event->type() == QEvent::Paint && watched == edit_->viewport() && !drawn_) {
        // The step posted here runs once this frame is drawn.
        drawn_ = true;
        scheduleFill();
    }
    return QWidget::eventFilter(watched, event);
}

void TimelineTextView::splice(HeldWindow::Splice change) {
    held_.splice(std::move(change));
    spliced_ = true;
}

TimelineTextView::Road::~Road() {
    // A resize met on the way is answered as the way ends, everything in
    // step again. Answering it may let go of text, and the scroll bar come
    // or go once more; a second answer finds what is held within bounds
    // and lets go of nothing.
    for (int round = 0; view_.roads_ == 1 && round < 3 && view_.resizeMet_; ++round) {
        view_.resizeMet_ = false;
        view_.answerResize();
    }
    if (--view_.roads_ > 0 || !view_.spliced_) return;
    view_.spliced_ = false;
    if (HeldWindow::checking()) view_.checkHeld();
}

std::vector<std::string> TimelineTextView::heldProblems() const {
    // A change the document holds but the text has not taken yet is
    // looked at on a later turn (see textChanged): nothing agrees meanwhile.
    if (desynced_ || refused_ || userEdited_) return {};
    const QTextCursor c = edit_->textCursor();
    HeldWindow::Facts facts{inputs_.paragraphs(),
                            &ranges(),
                            text_.length(),
                            windowParagraphs,
                            held_.keys().size() < 2 || fits(heldDepth(), 1),
                            c.anchor(),
                            c.position()};
    std::vector<std::string> out = held_.problems(facts);
    if (edit_->document()->characterCount() - 1 != text_.length())
        out.emplace_back("the document is not the text held");
    return out;
}

void TimelineTextView::checkHeld() const {
    for (const std::string& problem : heldProblems()) {
        if (const auto& report = HeldWindow::onProblem())
            report(problem);
        else
            qFatal("timeline: %s", problem.c_str());
    }
}

}  // namespace verbolin
