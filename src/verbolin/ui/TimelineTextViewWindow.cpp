// The stretch of paragraphs the timeline holds. Laying out years of dictation
// takes minutes, and Qt places no line deeper than 8,388,607 px: the view
// holds a bounded stretch near the screen, its newest paragraphs first, and
// brings others in a page at a time as the user scrolls to either end of it,
// letting go of those far away. The bound is the depth the stretch takes at
// the largest size in the column as wide as it is now, each paragraph
// wrapped as Qt wraps it, so that no size can lay it out deeper than the
// ceiling. A selection keeps its ends by paragraph across a page, and beside
// the document where they are not held.

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <cmath>
#include <utility>

#include "verbolin/ui/CopiedText.hpp"
#include "verbolin/ui/DeferredTextMimeData.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/GutterEntry.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

TextDepth& TimelineTextView::textDepth() const {
    const double font = std::max(inputs_.fontSize, EditorModel::kMaxFontSize);
    // The column as wide as it is now, less the scroll bar whether it shows
    // or not (it comes and goes as the text grows): a narrower one lets go
    // of more (see frameChanged). Read from the frame, which a resize
    // reaches before the viewport. Not yet shown and laid out, the view has
    // no width of the window's yet.
    const QScrollBar* bar = edit_->verticalScrollBar();
    const int barWidth =
        std::max(bar->sizeHint().width(),
                 edit_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, bar));
    const double viewport = edit_->contentsRect().width() - barWidth;
    double width = viewport - Gutter::kColumnWidth - 2 * kInsetWidth;
    if (!isVisible() || !edit_->testAttribute(Qt::WA_Resized))
        width = std::max(width, kNarrowestText - 2 * kInsetWidth);
    width = std::max(width, 1.0);
    if (!depth_ || depth_->fontSize() != font || depth_->width() != width) {
        TextDepth fresh(font, width, font * TimelineRenderer::kSectionFactor,
                        font * TimelineRenderer::kLineSpacingFactor);
        if (depth_ && depth_->fontSize() == font) fresh.rememberShownFrom(std::move(*depth_));
        depth_.emplace(std::move(fresh));
    }
    return *depth_;
}

bool TimelineTextView::tooDeepAlone(const QString& text) {
    const double font = EditorModel::kMaxFontSize;
    TextDepth depth(font, kNarrowestText - 2 * kInsetWidth, font * TimelineRenderer::kSectionFactor,
                    font * TimelineRenderer::kLineSpacingFactor);
    // As fits() bounds what is held, this one alone.
    return depth.depth(text) + 2 * kInsetHeight > kDepthShare * kDepthCeiling;
}

double TimelineTextView::heldDepth() const {
    TextDepth& depth = textDepth();
    const QStringView all(text_.string());
    double total = 0;
    int counted = 0;
    bool afterParagraph = false;
    // A separator between paragraphs starts the next one's first block;
    // anything else between them is counted by itself.
    const auto between = [&](int to) {
        const QStringView gap = all.mid(counted, to - counted);
        if (!gap.isEmpty() && !(gap == u"\n" && afterParagraph && to < all.size()))
            total += depth.depth(gap);
    };
    for (const ParagraphRange& r : ranges()) {
        between(r.location);
        const QStringView shown = all.mid(r.location, r.length);
        const auto id = platform::Uuid::parse(r.id.toStdString());
        total += id ? depth.paragraph(*id, shown) : depth.depth(shown);
        counted = std::max(counted, r.end());
        afterParagraph = true;
    }
    between(int(all.size()));
    return total;
}

bool TimelineTextView::fits(double depth, size_t paragraphs, double share) const {
    const double most = std::max(1.0, std::floor(double(windowParagraphs) * share));
    // The depth counted is never less than what Qt sets; a fifth of the
    // ceiling stays spare for what shaping among other characters may add.
    return double(paragraphs) <= most &&
           depth + 2 * kInsetHeight <= kDepthShare * kDepthCeiling * share;
}

size_t TimelineTextView::startBefore(size_t end, double share) const {
    const std::span<const Block> all = inputs_.paragraphs().scoped();
    end = std::min(end, all.size());
    TextDepth& measure = textDepth();
    double depth = 0;
    size_t start = end;
    while (start > 0) {
        const double more = depth + measure.paragraph(all[start - 1]);
        // At least one paragraph, however long.
        if (start < end && !fits(more, end - start + 1, share)) break;
        depth = more;
        --start;
    }
    return start;
}

size_t TimelineTextView::endAfter(size_t start, double share) const {
    const std::span<const Block> all = inputs_.paragraphs().scoped();
    TextDepth& measure = textDepth();
    double depth = 0;
    size_t end = std::min(start, all.size());
    while (end < all.size()) {
        const double more = depth + measure.paragraph(all[end]);
        if (end > start && !fits(more, end - start + 1, share)) break;
        depth = more;
        ++end;
    }
    return end;
}

size_t TimelineTextView::firstPageBefore(size_t end) const {
    const std::span<const Block> all = inputs_.paragraphs().scoped();
    end = std::min(end, all.size());
    TextDepth& measure = textDepth();
    // Counted at the largest size, and scaled to the size shown: wrapped
    // text is as deep as the square of its size (more lines, each deeper),
    // and the count is never shallower than Qt's, so that what is taken
    // fills the screens it is meant to. Short of the screen, scrolling at
    // the top brings the page before (see boundsChanged).
    const double ratio = std::max(inputs_.fontSize, 1.0) / measure.fontSize();
    const double scale = ratio * ratio;
    // Not yet shown, the view has no height of its own: the window's is the most it gets.
    const int screen = isVisible() && edit_->testAttribute(Qt::WA_Resized)
                           ? edit_->viewport()->height()
                           : window()->height();
    const double screens = kFirstPageScreens * std::max(screen, int(kNarrowestText));
    double depth = 0;
    size_t start = end;
    // At least one paragraph, and never more than a page scrolled in would bring.
    while (start > 0 && end - start < kFirstPageMost && scale * depth < screens) {
        const double more = depth + measure.paragraph(all[start - 1]);
        if (start < end && !fits(more, end - start + 1, kPageShare)) break;
        depth = more;
        --start;
    }
    return start;
}

std::optional<size_t> TimelineTextView::indexOf(const platform::Uuid& id, size_t guess) const {
    const std::span<const Block> all = inputs_.paragraphs().scoped();
    // Outward from where it was: a change moves paragraphs by a few places.
    for (size_t d = 0; guess + d < all.size() || d <= guess; ++d) {
        if (guess + d < all.size() && all[guess + d].id == id) return guess + d;
        if (d > 0 && d <= guess && guess - d < all.size() && all[guess - d].id == id)
            return guess - d;
    }
    return std::nullopt;
}

void TimelineTextView::placeWindow(size_t shared) {
    const size_t count = scopedCount();
    const size_t held =
        std::min(held_.hi() - std::min(held_.lo(), held_.hi()), held_.keys().size());
    size_t lo = std::min(held_.lo(), count), hi = std::min(held_.hi(), count);
    if (held_.keys().empty() || held == 0) {
        // A view not yet shown is laid out when it first shows, which for
        // the window comes before its loop turns (and answers a signal): it
        // opens with what fills its screen, at any size, width and script,
        // and the rest it may hold comes in front a step a turn (see
        // fillFront). One already shown takes what it holds in this turn.
        const bool shown = isVisible() && edit_->testAttribute(Qt::WA_Resized);
        hi = count, lo = shown ? startBefore(count) : firstPageBefore(count);
        filling_ = !shown && lo > 0;
    } else if (renderedBlocks_ != inputs_.blocks) {
        // The paragraphs held are found again by id, near where they were.
        if (held_.lo() > shared) lo = indexOf(held_.keys().front().id, held_.lo()).value_or(lo);
        if (held_.toEnd())
            hi = count;
        else if (held_.hi() > shared)
            hi = indexOf(held_.keys()[held - 1].id, held_.hi() - 1).value_or(lo + held - 1) + 1;
        hi = std::clamp(hi, lo, count);
        // Nothing held is among them (a search): a page of the newest comes
        // in first, and scrolling to its top brings the ones before.
        if (lo == hi) hi = count, lo = firstPageBefore(count), filling_ = false;
    }
    // A new scope may reach far from what was held: only a bounded part
    // comes in, at the end the view follows. The caret's paragraph is not
    // kept for itself: it is carried by id, and a key brings it back.
    if (const size_t end = endAfter(lo, 1.2); end < hi) {
        if (hi == count)
            lo = startBefore(hi);
        else
            hi = end;
    }
    splice({lo, hi, count, 0, 0, {}, std::nullopt});
}

void TimelineTextView::holdWindow(size_t lo, size_t hi) {
    filling_ = false;  // what is held is chosen here
    keepingSelection([&] {
        splice({lo, hi, scopedCount(), 0, 0, {}, std::nullopt});
        renderAll(held());
        renderedBlocks_ = inputs_.blocks;
        layoutAll();
    });
    reportVisible();
    updateGutter();
}

void TimelineTextView::holdAround(size_t index) {
    const size_t lo = startBefore(index + 1, 0.5);
    holdWindow(lo, std::max(endAfter(lo), index + 1));
}

void TimelineTextView::schedulePage(bool older) {
    paging_ = true;
    postSelf([older](TimelineTextView& v) {
        v.paging_ = false;
        if (v.desynced_ || !v.isVisible()) return;
        if (older && v.held_.lo() > 0 && v.scrollY() < kTopSlack)
            v.loadOlder();
        else if (!older && !v.held_.toEnd() && v.scrollY() >= kTopSlack && v.atTextEnd())
            v.loadNewer();
    });
}

void TimelineTextView::loadOlder() {
    const auto step = stepping(PageStep::older);
    const Road road(*this);
    if (held_.lo() == 0 || desynced_) return;
    const size_t from = startBefore(held_.lo(), kPageShare);
    // What is let go below goes first: the page and what is held may be too
    // deep to lay out together. Paragraphs each as deep as the bound allows
    // take each other's place, the view at the end of the one before.
    const size_t keep = endAfter(from);
    if (keep <= held_.lo()) {
        holdWindow(from, keep);
        // Its end is where the user scrolled from, not a scroll on to the
        // page after: the layout's last growth is followed as part of this
        // step, or that page would come back at once and take its place.
        scrollToEndOnce();
        return postSelf([](TimelineTextView& v) {
            const auto again = v.stepping(PageStep::older);
            const Road road(v);
            v.scrollToEndOnce();
            v.reportVisible();
        });
    }
    if (keep < held_.hi()) letGoBack(held_.hi() - keep);
    prependOlder(from);
}

void TimelineTextView::prependOlder(size_t from) {
    const double oldHeight = layoutAll(), oldTop = scrollY();
    keepingSelection([&] {
        const TimelineBlocks all = inputs_.paragraphs();
        AttributedText older = textOf(all, from, held_.lo());
        text_.replace(0, 0, older);
        write(0, 0, older.length());
        std::vector<ParagraphKey> keys;
        for (size_t i = from; i < held_.lo(); ++i) keys.push_back(ParagraphKey::of(all[i]));
        ranges_.reset();
        splice({from, held_.hi(), scopedCount(), 0, 0, std::move(keys),
                from > 0 ? std::optional(all[from - 1].id) : std::nullopt});
    });
    // The text that was on screen stays where it was.
    scrollTo(oldTop + (layoutAll() - oldHeight));
    reportVisible();
    updateGutter();
}

void TimelineTextView::scheduleFill() {
    // Not before the first frame: a step posted from the first show runs
    // ahead of the window's first paint, and each lays out a page more
    // (shaping glyphs no other text has used yet, in wide text a tenth of a
    // second). The first frame starts them (see eventFilter).
    if (!filling_ || fillPosted_ || !drawn_) return;
    fillPosted_ = true;
    postSelf([](TimelineTextView& v) {
        v.fillPosted_ = false;
        v.fillFront();
    });
}

void TimelineTextView::fillFront() {
    const Road road(*this);
    // Until the view is shown at its real width nothing is laid out, nor
    // counted at the width it gets; the show starts the steps (frameChanged).
    if (!filling_ || !isVisible() || !edit_->testAttribute(Qt::WA_Resized)) return;
    // A document to be rebuilt is, by a task posted before this one's next.
    if (desynced_) return scheduleFill();
    // Another road took the view from the newest text: it holds what that
    // road chose. Otherwise it comes to hold what startBefore(heldTo) would
    // have, counted as that counts but a step at a time: measuring the
    // depth of all of it at once could hold the thread as laying it out did.
    const std::span<const Block> all = inputs_.paragraphs().scoped();
    const size_t lo = std::min(held_.lo(), all.size()), hi = std::min(held_.hi(), all.size());
    TextDepth& measure = textDepth();
    double depth = 0;
    for (size_t i = lo; i < hi; ++i) depth += measure.paragraph(all[i]);  // measured before
    // A step lays out what a first page does, never more than the bound.
    const size_t least = held_.toEnd() ? firstPageBefore(lo) : lo;
    size_t from = lo;
    for (; from > least; --from) {
        const double more = depth + measure.paragraph(all[from - 1]);
        if (!fits(more, hi - from + 1)) break;
        depth = more;
    }
    if (from == lo) {
        filling_ = false;
        return;
    }
    const bool wasAtBottom = atBottom();
    prependOlder(from);
    // Kept at the end exactly, as the scroll range rounds.
    if (wasAtBottom) scrollToEndOnce(), reportVisible();
    scheduleFill();
}

void TimelineTextView::loadNewer() {
    const auto step = stepping(PageStep::newer);
    const Road road(*this);
    if (held_.toEnd() || desynced_) return;
    const size_t to = std::max(endAfter(held_.hi(), kPageShare), held_.hi() + 1);
    // What is let go above goes first, as in loadOlder: Qt lays out what
    // comes in as it is written, and the page with all that is held may be
    // deeper than it can place a line, however long that takes.
    const size_t keep = startBefore(to);
    if (keep >= held_.hi()) {
        holdWindow(keep, to);
        scrollTo(0);
        return reportVisible();
    }
    if (keep > held_.lo()) letGoFront(keep - held_.lo());
    keepingSelection([&] {
        const TimelineBlocks all = inputs_.paragraphs().window(0, to);
        AttributedText newer = textFrom(all, held_.hi());
        const int end = text_.length();
        text_.replace(end, 0, newer);
        write(end, 0, newer.length());
        std::vector<ParagraphKey> keys = TimelineUpdatePlanner::paragraphKeys(all, held_.hi());
        ranges_.reset();
        const size_t tail = held_.keys().size();
        splice({held_.lo(), std::min(to, scopedCount()), scopedCount(), tail, tail, std::move(keys),
                std::nullopt});
    });
    layoutAll();
    reportVisible();
    updateGutter();
}

void TimelineTextView::letGoFront(size_t count) {
    count = std::min(count, held_.keys().size() - 1);
    const std::optional<ParagraphRange> first = rangeOf(held_.keys()[count].id);
    if (count == 0 || !first || first->location < 1) return;
    // From the separator on that opens the first paragraph kept.
    const int cut = first->location - 1;
    // The text kept moves up by what goes: laid out up to there, not past
    // it, since what is held may be too deep to lay out whole at this width
    // (which is why it goes). Following the end, the view goes there anyway.
    const bool measure = isVisible() && !lastVisible_.atBottom;
    const QTextDocument& doc = *edit_->document();
    // The bottom of the block in front of the first kept, which asking for
    // the kept one's own place would lay out too.
    const auto keptTop = [&](int separator) {
        return doc.documentLayout()->blockBoundingRect(doc.findBlock(separator)).bottom();
    };
    const double oldTop = scrollY(), oldKept = measure ? keptTop(cut) : 0;
    keepingSelection([&] {
        text_.replace(0, cut, AttributedText());
        write(0, cut, 0);
        const size_t lo = held_.lo() + count;
        const auto front = std::optional(inputs_.paragraphs()[lo - 1].id);
        ranges_.reset();
        splice({lo, held_.hi(), scopedCount(), 0, count, {}, front});
    });
    if (!measure) return;
    layoutAll();
    scrollTo(std::max(0.0, oldTop - (oldKept - keptTop(0))));
}

void TimelineTextView::letGoBack(size_t count) {
    // `count` scoped paragraphs: the live one after them goes too, as the
    // stretch no longer reaches the end.
    const size_t scoped = std::min(held_.hi() - held_.lo(), held_.keys().size());
    count = std::min(count, scoped > 0 ? scoped - 1 : 0);
    if (count == 0) return;
    const size_t keep = scoped - count;
    const std::optional<ParagraphRange> gone = rangeOf(held_.keys()[keep].id);
    if (!gone || gone->location < 1) return;
    keepingSelection([&] {
        const int cut = gone->location - 1;
        const int removed = text_.length() - cut;
        text_.replace(cut, removed, AttributedText());
        write(cut, removed, 0);
        ranges_.reset();
        splice({held_.lo(),
                held_.lo() + keep,
                scopedCount(),
                keep,
                held_.keys().size(),
                {},
                std::nullopt});
    });
    layoutAll();
}

bool TimelineTextView::workingAt(size_t held) const {
    if (!held_.away().userCaret) return false;
    if (!held_.toEnd() || !lastVisible_.atBottom || !lastVisible_.first) return true;
    // Following new speech with the caret's paragraph scrolled away above:
    // the user reads the newest text and is not editing there.
    const auto first =
        std::find_if(held_.keys().begin(), held_.keys().end(),
                     [&](const ParagraphKey& k) { return k.id == lastVisible_.first; });
    return first == held_.keys().end() || held >= size_t(first - held_.keys().begin());
}

std::optional<std::pair<size_t, size_t>> TimelineTextView::workingSpan(bool caretOnly) const {
    if (desynced_) return std::nullopt;
    const QTextCursor c = edit_->textCursor();
    if (const auto caret = logicalOf(c.position());
        !caret || caret->index < held_.lo() || !workingAt(caret->index - held_.lo()))
        return std::nullopt;
    std::optional<std::pair<size_t, size_t>> span;
    for (const int at : {c.position(), c.anchor()}) {
        if (span && caretOnly) break;
        const std::optional<Logical> l = logicalOf(at);
        if (!l || l->index < held_.lo()) continue;
        const size_t k = l->index - held_.lo();
        span =
            span ? std::pair(std::min(span->first, k), std::max(span->second, k)) : std::pair(k, k);
    }
    return span;
}

void TimelineTextView::trimAround(std::optional<std::pair<size_t, size_t>> kept) {
    // What is furthest from the end the view follows goes first; the
    // paragraphs the user works in never do, so the other side gives way.
    const auto front = [&] {
        if (const size_t keep = startBefore(held_.hi()); keep > held_.lo()) {
            const size_t count =
                kept ? std::min(keep - held_.lo(), kept->first) : keep - held_.lo();
            letGoFront(count);
            if (kept) kept->first -= count, kept->second -= count;
        }
    };
    const auto back = [&] {
        const size_t least = kept ? held_.lo() + kept->second + 1 : 0;
        if (const size_t keep = std::max(endAfter(held_.lo()), least); keep < held_.hi())
            letGoBack(held_.hi() - keep);
    };
    const auto within = [&] { return fits(heldDepth(), held_.keys().size()); };
    if (held_.toEnd()) {
        front();
        if (kept && !within()) back();
    } else {
        back();
        if (kept && !within()) front();
    }
}

void TimelineTextView::keepWithinBounds() {
    if (desynced_ || held_.keys().size() < 2 || fits(heldDepth(), held_.keys().size())) return;
    // Typing or new speech made it longer. A selection across paragraphs
    // too long to keep held whole keeps its caret's paragraph only.
    trimAround(workingSpan());
    if (!fits(heldDepth(), held_.keys().size()))
        if (const auto caret = workingSpan(true)) trimAround(caret);
    reportVisible();
    updateGutter();
}

std::optional<TimelineTextView::Logical> TimelineTextView::logicalOf(int position) const {
    const std::vector<ParagraphRange>& all = ranges();
    if (all.empty()) return std::nullopt;
    size_t k = 0;
    int offset = 0;
    if (const ParagraphRange* r = rangeAt(all, position)) {
        k = size_t(r - all.data());
        offset = textOffset(text_, *r, position);
    } else if ((k = firstRangeEndingAfter(all, position)) >= all.size()) {
        k = all.size() - 1;
        offset = int(paragraphText(text_, all[k]).size());
    }
    const auto id = platform::Uuid::parse(all[k].id.toStdString());
    if (!id) return std::nullopt;
    // Ranges follow the keys one for one.
    size_t at = k;
    if (at >= held_.keys().size() || held_.keys()[at].id != *id) {
        const auto it = std::find_if(held_.keys().begin(), held_.keys().end(),
                                     [&](const ParagraphKey& key) { return key.id == *id; });
        if (it == held_.keys().end()) return std::nullopt;
        at = size_t(it - held_.keys().begin());
    }
    const std::optional<platform::Uuid> behind =
        at > 0 ? std::optional(held_.keys()[at - 1].id) : held_.before();
    return Logical{*id, held_.lo() + at, offset, behind};
}

TimelineTextView::Logical TimelineTextView::resolved(Logical point) const {
    // Paragraphs come and go: the id tells where it is now.
    const TimelineBlocks all = inputs_.paragraphs();
    const size_t count = scopedCount();
    if (point.index >= all.size() || all[point.index].id != point.id) {
        if (inputs_.liveId == point.id)
            point.index = count;
        else if (const auto at = indexOf(point.id, std::min(point.index, count)))
            point.index = *at;
    }
    return point;
}

int TimelineTextView::positionOf(Logical point) const {
    const size_t count = scopedCount();
    point = resolved(point);
    if (point.index < held_.lo()) return 0;
    if (point.index >= held_.hi() && !(held_.toEnd() && point.index == count))
        return text_.length();
    const std::optional<ParagraphRange> r = rangeOf(point.id);
    if (!r) return point.index < held_.lo() + held_.keys().size() / 2 ? 0 : text_.length();
    return std::min(verbolin::positionOf(text_, *r, std::max(point.offset, 0)), r->end());
}

QString TimelineTextView::logicalText(Logical from, Logical to) const {
    from = resolved(from), to = resolved(to);
    if (std::pair(to.index, to.offset) < std::pair(from.index, from.offset)) std::swap(from, to);
    const TimelineBlocks all = inputs_.paragraphs();
    CopiedText out;
    for (size_t i = from.index; i <= to.index && i < all.size(); ++i) {
        const bool isHeld =
            i >= held_.lo() && (i < held_.hi() || (held_.toEnd() && i == scopedCount()));
        const std::optional<ParagraphRange> r = isHeld ? rangeOf(all[i].id) : std::nullopt;
        // What the view shows, with edits not yet handed back; the transcript's
        // text where it is not held or shown only in part.
        const bool cut = r && LongParagraph::isCut(text_, *r);
        const QString text =
            !r || cut ? QString::fromStdString(all[i].text()) : paragraphText(text_, *r);
        const int start = i == from.index ? std::clamp(from.offset, 0, int(text.size())) : 0;
        const int end =
            i == to.index ? std::clamp(to.offset, start, int(text.size())) : int(text.size());
        if (i > from.index) out.separator();
        // One too long to show whole is copied whole, wherever the selection ends in it.
        const bool whole = cut || (!r && LongParagraph::tooLong(text));
        out.add(whole ? QStringView(text) : QStringView(text).mid(start, end - start));
    }
    return out.take();
}

void TimelineTextView::keepingSelection(const std::function<void()>& change) {
    const QTextCursor c = edit_->textCursor();
    std::optional<Logical> anchor =
        held_.away().wide ? std::optional(held_.away().wide->anchor) : logicalOf(c.anchor());
    std::optional<Logical> position =
        held_.away().wide ? std::optional(held_.away().wide->position) : logicalOf(c.position());
    const bool selected = held_.away().wide.has_value() || c.hasSelection();
    // A caret whose paragraph was let go comes back with it.
    if (!selected && held_.away().parked) position = held_.away().parked;
    change();
    if (!anchor || !position) return;
    if (selected) return setWide(*anchor, *position);
    const int at = positionOf(*position);
    held_.away().parked.reset();
    if (!rangeOf(position->id)) held_.away().parked = position;
    settingWide_ = true;
    restoreSelection(at, at);
    settingWide_ = false;
}

void TimelineTextView::setWide(Logical anchor, Logical position) {
    const int a = positionOf(anchor), p = positionOf(position);
    // Where both ends are held, the document's selection is the whole of it.
    const auto heldHere = [&](const Logical& l) { return rangeOf(l.id).has_value(); };
    if (heldHere(anchor) && heldHere(position))
        held_.away().wide.reset();
    else
        held_.away().wide = HeldWindow::Wide{anchor, position, a, p};
    held_.away().parked.reset();  // the selection's ends are the user's now
    settingWide_ = true;
    restoreSelection(a, p);
    settingWide_ = false;
}

std::optional<TimelineTextView::Logical> TimelineTextView::selectionAnchor(bool select) const {
    if (!select) return std::nullopt;
    const HeldWindow::Away& away = held_.away();
    if (away.wide) return away.wide->anchor;
    // A caret kept beside the document is where the selection starts, not
    // the place where the document's caret waits for it.
    if (away.parked) return away.parked;
    return logicalOf(edit_->textCursor().anchor());
}

void TimelineTextView::reachStart(bool select) {
    const Road road(*this);
    const std::optional<Logical> anchor = selectionAnchor(select);
    if (held_.lo() > 0) holdWindow(0, endAfter(0));
    const std::optional<Logical> start = logicalOf(0);
    if (anchor && start) {
        setWide(*anchor, Logical{start->id, 0, 0, std::nullopt});
    } else {
        held_.away().wide.reset(), held_.away().parked.reset();
        restoreSelection(0, 0);
    }
    held_.away().userCaret = true;
    scrollTo(0);
    reportVisible();
}

void TimelineTextView::reachEnd(bool select) {
    const Road road(*this);
    const std::optional<Logical> anchor = selectionAnchor(select);
    if (!held_.toEnd()) holdWindow(startBefore(scopedCount()), scopedCount());
    const std::optional<Logical> end = logicalOf(text_.length());
    if (anchor && end) {
        setWide(*anchor, *end);
    } else {
        held_.away().wide.reset(), held_.away().parked.reset();
        restoreSelection(text_.length(), text_.length());
    }
    held_.away().userCaret = true;
    scrollToEnd();
}

void TimelineTextView::selectWhole() {
    const Road road(*this);
    if (inputs_.paragraphs().empty()) return;
    selectAllParagraphs();
    // As the editor's own Select All does, which a middle-click elsewhere
    // then pastes.
    offerWhole();
}

void TimelineTextView::selectAllParagraphs() {
    const TimelineBlocks all = inputs_.paragraphs();
    if (all.empty()) return;
    const Block& last = all.back();
    const size_t lastIndex = all.size() - 1;
    setWide(Logical{all[0].id, 0, 0, std::nullopt},
            Logical{last.id, lastIndex, int(QString::fromStdString(last.text()).size()),
                    lastIndex > 0 ? std::optional(all[lastIndex - 1].id) : std::nullopt});
    // Held whole, the document's own selection is the same.
    if (!held_.away().wide) restoreSelection(0, text_.length());
}

std::optional<std::pair<platform::Uuid, platform::Uuid>> TimelineTextView::awayParagraphs() const {
    if (caretHeld()) return std::nullopt;
    const HeldWindow::Away& away = held_.away();
    if (away.parked) return std::pair(away.parked->id, away.parked->id);
    return std::pair(away.wide->anchor.id, away.wide->position.id);
}

std::optional<HeldWindow::Point> TimelineTextView::usersCaret() const {
    const HeldWindow::Away& away = held_.away();
    if (!away.userCaret || desynced_) return std::nullopt;
    if (away.parked) return away.parked;
    if (away.wide) return away.wide->position;
    return logicalOf(edit_->textCursor().position());
}

void TimelineTextView::takeCaret(const HeldWindow::Point& caret) {
    // A new view's document puts its caret at the start of what it holds,
    // a paragraph the user never chose: the next key would land there.
    const Road road(*this);
    const Logical at = resolved(caret);
    held_.away().wide.reset(), held_.away().parked.reset();
    if (!rangeOf(at.id)) held_.away().parked = at;
    held_.away().userCaret = true;
    fitAway();
    const int position = positionOf(held_.away().parked.value_or(at));
    settingWide_ = true;
    restoreSelection(position, position);
    settingWide_ = false;
}

bool TimelineTextView::caretHeld() const {
    const HeldWindow::Away& away = held_.away();
    if (away.parked) return false;
    return !away.wide || (rangeOf(away.wide->anchor.id) && rangeOf(away.wide->position.id));
}

bool TimelineTextView::bringCaretIn() {
    const Road road(*this);
    caretToNewestUnlessPlaced();
    if (desynced_ || caretHeld()) return true;
    const HeldWindow::Away& away = held_.away();
    const Logical anchor = resolved(away.wide ? away.wide->anchor : *away.parked);
    const Logical position = resolved(away.wide ? away.wide->position : *away.parked);
    const size_t count = scopedCount();
    const TimelineBlocks all = inputs_.paragraphs();
    const auto inScope = [&](const Logical& l) {
        return l.index < all.size() && all[l.index].id == l.id;
    };
    if (!away.wide && !inScope(position) && inputs_.inTranscript &&
        !inputs_.inTranscript(position.id))
        return caretWhereGoneWas(position);
    if (!inScope(anchor) || !inScope(position)) {
        // A search or another view hides the paragraph: the key has no
        // place the user chose, and goes nowhere else.
        refuseHiddenCaret();
        return false;
    }
    // A selection across paragraphs is never typed over: the key is
    // refused where the view is, for that reason.
    if (anchor.id != position.id) return true;
    if (position.index >= count)
        holdWindow(startBefore(count), count);
    else
        holdAround(position.index);
    edit_->ensureCursorVisible();
    reportVisible();
    return true;
}

void TimelineTextView::caretToNewestUnlessPlaced() {
    // The document's own caret sits at the start of whatever stretch it
    // holds, a place nobody chose and mostly out of sight: a key there would
    // land at the top of that stretch. Unplaced, the caret waits where the
    // view opens, as in an editor opened at its end.
    const HeldWindow::Away& away = held_.away();
    if (desynced_ || away.userCaret || away.wide || away.parked ||
        edit_->textCursor().hasSelection())
        return;
    const size_t count = scopedCount();
    if (count == 0) return;
    if (!held_.toEnd()) holdWindow(startBefore(count), count);
    if (ranges().empty() || ranges().back().end() >= edit_->document()->characterCount()) return;
    const int end = ranges().back().end();
    restoreSelection(end, end);
    edit_->ensureCursorVisible();
}

bool TimelineTextView::extendAwayTo(int position) {
    // With the anchor held the editor extends its own selection; else its
    // anchor would be the held edge the caret waits at, not the user's.
    if (desynced_ || caretHeld()) return false;
    const Road road(*this);
    const std::optional<Logical> anchor = selectionAnchor(true);
    const std::optional<Logical> to = logicalOf(position);
    if (!anchor || !to) return false;
    setWide(*anchor, *to);
    held_.away().userCaret = true;
    reportVisible();
    return true;
}

void TimelineTextView::fitAway() {
    // An undo (or new speech, or a change made elsewhere) may shorten a
    // paragraph that is not held under an end kept in it by offset.
    const TimelineBlocks all = inputs_.paragraphs();
    const auto fit = [&](Logical& l) {
        const Logical at = resolved(l);
        if (at.index < all.size() && all[at.index].id == l.id)
            l.offset = std::min(l.offset, int(QString::fromStdString(all[at.index].text()).size()));
    };
    HeldWindow::Away& away = held_.away();
    if (away.parked) fit(*away.parked);
    if (away.wide) fit(away.wide->anchor), fit(away.wide->position);
}

void TimelineTextView::refuseHiddenCaret() const {
    if (inputs_.onRefused)
        inputs_.onRefused(
            "The paragraph the caret is in is not shown here: click where the text should go.");
}

bool TimelineTextView::caretWhereGoneWas(const Logical& gone) {
    // Its paragraph left the transcript with the caret still in it (an
    // emptied one, let go with the view it was emptied in): the caret goes
    // where it was, to the end of the paragraph in front of it, as an
    // editor's caret does when the text around it is taken away. Carried
    // on by an id nothing has any more, every key would be refused, or go
    // where the caret only seemed to be.
    const TimelineBlocks all = inputs_.paragraphs();
    std::optional<size_t> at;
    if (gone.behind)
        at = indexOf(*gone.behind, std::min(gone.index, scopedCount()));
    else if (!all.empty())
        at = 0;
    held_.away().parked.reset();
    if (!at) {
        refuseHiddenCaret();
        return false;
    }
    holdAround(*at);
    const std::optional<ParagraphRange> r = rangeOf(all[*at].id);
    if (!r) return false;
    QTextCursor c = edit_->textCursor();
    c.setPosition(gone.behind ? r->end() : r->location);
    edit_->setTextCursor(c);
    edit_->ensureCursorVisible();
    reportVisible();
    return true;
}

void TimelineTextView::offerWhole() {
    // The paragraphs as they are now, shared rather than copied: years of
    // them are made into text only when someone pastes it.
    auto data =
        std::make_unique<DeferredTextMimeData>([blocks = inputs_.blocks, live = inputs_.liveBlock] {
            const TimelineBlocks all(blocks.get(), live ? &*live : nullptr);
            CopiedText out;
            for (size_t i = 0; i < all.size(); ++i) {
                if (i > 0) out.separator();
                out.add(QString::fromStdString(all[i].text()));
            }
            return out.take();
        });
    offeredWhole_ = data.get();
    edit_->offerSelection(std::move(data));
}

std::optional<platform::Uuid> TimelineTextView::wholeSelectedFrom() const {
    const TimelineBlocks all = inputs_.paragraphs();
    if (all.empty() || desynced_) return std::nullopt;
    std::optional<Logical> from, to;
    const QTextCursor c = edit_->textCursor();
    if (const auto& wide = held_.away().wide)
        from = wide->anchor, to = wide->position;
    else if (c.hasSelection())
        from = logicalOf(c.anchor()), to = logicalOf(c.position());
    if (!from || !to) return std::nullopt;
    const Block& last = all.back();
    const auto isStart = [&](const Logical& l) { return l.id == all[0].id && l.offset == 0; };
    const auto isEnd = [&](const Logical& l) {
        if (l.id != last.id) return false;
        // The last paragraph's end, as the view shows it or the transcript holds it.
        const std::optional<ParagraphRange> r = rangeOf(last.id);
        return l.offset >=
               (r ? paragraphText(text_, *r).size() : QString::fromStdString(last.text()).size());
    };
    if ((isStart(*from) && isEnd(*to)) || (isStart(*to) && isEnd(*from))) return all[0].id;
    return std::nullopt;
}

void TimelineTextView::keepWhole(const platform::Uuid& first, size_t count) {
    const TimelineBlocks all = inputs_.paragraphs();
    if (all.empty() || all[0].id == first) return;
    // Only where paragraphs came in front of those selected, and nowhere
    // else: another view (a search cleared, another session) keeps the
    // selection by its ends, as ever.
    const std::optional<size_t> at = indexOf(first, 0);
    if (!at || all.size() - *at != count) return;
    const bool offered = edit_->offersSelection(offeredWhole_);
    selectAllParagraphs();
    // Still the primary selection: what a paste takes grows with it.
    if (offered) offerWhole();
}

}  // namespace verbolin
