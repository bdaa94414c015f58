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
    if (!depth_ || depth_->fontSize() != font || depth_->width() != width)
        depth_.emplace(font, width, font * TimelineRenderer::kSectionFactor,
                       font * TimelineRenderer::kLineSpacingFactor);
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
    const size_t held = std::min(hi_ - std::min(lo_, hi_), renderedKey_.size());
    size_t lo = std::min(lo_, count), hi = std::min(hi_, count);
    if (renderedKey_.empty() || held == 0) {
        hi = count, lo = startBefore(count);
    } else if (renderedBlocks_ != inputs_.blocks) {
        // The paragraphs held are found again by id, near where they were.
        if (lo_ > shared) lo = indexOf(renderedKey_.front().id, lo_).value_or(lo);
        if (heldToEnd_)
            hi = count;
        else if (hi_ > shared)
            hi = indexOf(renderedKey_[held - 1].id, hi_ - 1).value_or(lo + held - 1) + 1;
        hi = std::clamp(hi, lo, count);
        // Nothing held is among them (a search): a page of the newest comes
        // in first, and scrolling to its top brings the ones before.
        if (lo == hi) hi = count, lo = firstPageBefore(count);
    }
    // A new scope may reach far from what was held: only a bounded part
    // comes in. A little more is let go afterwards, keeping the place.
    if (const size_t end = endAfter(lo, 1.2); end < hi) {
        // Never past the paragraph the caret is in: an edit there made it
        // longer, and the user goes on typing.
        const std::optional<size_t> caret = caretIndex();
        const bool inside = caret && *caret >= lo && *caret < hi;
        if (hi == count)
            lo = inside ? std::min(startBefore(hi), *caret) : startBefore(hi);
        else
            hi = inside ? std::max(end, *caret + 1) : end;
    }
    lo_ = lo, hi_ = hi;
    heldToEnd_ = hi_ == count;
}

std::optional<size_t> TimelineTextView::caretIndex() const {
    if (desynced_ || renderedKey_.empty()) return std::nullopt;
    const std::optional<Logical> l = logicalOf(edit_->textCursor().position());
    if (!l || l->index < lo_ || !workingAt(l->index - lo_)) return std::nullopt;
    const Logical now = resolved(*l);
    const TimelineBlocks all = inputs_.paragraphs();
    if (now.index >= scopedCount() || all[now.index].id != now.id) return std::nullopt;
    return now.index;
}

void TimelineTextView::holdWindow(size_t lo, size_t hi) {
    keepingSelection([&] {
        lo_ = lo, hi_ = hi;
        heldToEnd_ = hi_ == scopedCount();
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
        if (older && v.lo_ > 0 && v.scrollY() < kTopSlack)
            v.loadOlder();
        else if (!older && !v.heldToEnd_ && v.scrollY() >= kTopSlack && v.atTextEnd())
            v.loadNewer();
    });
}

void TimelineTextView::loadOlder() {
    if (lo_ == 0 || desynced_) return;
    const size_t from = startBefore(lo_, kPageShare);
    // What is let go below goes first: the page and what is held may be too
    // deep to lay out together. Paragraphs each as deep as the bound allows
    // take each other's place, the view at the end of the one before.
    const size_t keep = endAfter(from);
    if (keep <= lo_) {
        holdWindow(from, keep);
        return scrollToEnd();
    }
    if (keep < hi_) letGoBack(hi_ - keep);
    const double oldHeight = layoutAll(), oldTop = scrollY();
    keepingSelection([&] {
        const TimelineBlocks all = inputs_.paragraphs();
        AttributedText older = textOf(all, from, lo_);
        text_.replace(0, 0, older);
        write(0, 0, older.length());
        std::vector<ParagraphKey> keys;
        for (size_t i = from; i < lo_; ++i) keys.push_back(ParagraphKey::of(all[i]));
        renderedKey_.insert(renderedKey_.begin(), keys.begin(), keys.end());
        lo_ = from;
        beforeId_ = lo_ > 0 ? std::optional(all[lo_ - 1].id) : std::nullopt;
        ranges_.reset();
    });
    // The text that was on screen stays where it was.
    scrollTo(oldTop + (layoutAll() - oldHeight));
    reportVisible();
    updateGutter();
}

void TimelineTextView::loadNewer() {
    if (heldToEnd_ || desynced_) return;
    const size_t to = std::max(endAfter(hi_, kPageShare), hi_ + 1);
    keepingSelection([&] {
        const TimelineBlocks all = inputs_.paragraphs().window(0, to);
        AttributedText newer = textFrom(all, hi_);
        const int end = text_.length();
        text_.replace(end, 0, newer);
        write(end, 0, newer.length());
        std::vector<ParagraphKey> keys = TimelineUpdatePlanner::paragraphKeys(all, hi_);
        renderedKey_.insert(renderedKey_.end(), keys.begin(), keys.end());
        hi_ = std::min(to, scopedCount());
        heldToEnd_ = hi_ == scopedCount();
        ranges_.reset();
    });
    if (const size_t keep = startBefore(hi_); keep > lo_) letGoFront(keep - lo_);
    layoutAll();
    reportVisible();
    updateGutter();
}

void TimelineTextView::letGoFront(size_t count) {
    count = std::min(count, renderedKey_.size() - 1);
    const std::optional<ParagraphRange> first = rangeOf(renderedKey_[count].id);
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
        renderedKey_.erase(renderedKey_.begin(), renderedKey_.begin() + std::ptrdiff_t(count));
        lo_ += count;
        beforeId_ = inputs_.paragraphs()[lo_ - 1].id;
        ranges_.reset();
    });
    if (!measure) return;
    layoutAll();
    scrollTo(std::max(0.0, oldTop - (oldKept - keptTop(0))));
}

void TimelineTextView::letGoBack(size_t count) {
    count = std::min(count, renderedKey_.size() - 1);
    if (count == 0) return;
    const size_t keep = renderedKey_.size() - count;
    const std::optional<ParagraphRange> gone = rangeOf(renderedKey_[keep].id);
    if (!gone || gone->location < 1) return;
    keepingSelection([&] {
        const int cut = gone->location - 1;
        const int removed = text_.length() - cut;
        text_.replace(cut, removed, AttributedText());
        write(cut, removed, 0);
        renderedKey_.resize(keep);
        hi_ = lo_ + keep;
        heldToEnd_ = false;
        ranges_.reset();
    });
    layoutAll();
}

bool TimelineTextView::workingAt(size_t held) const {
    if (!userCaret_) return false;
    if (!heldToEnd_ || !lastVisible_.atBottom || !lastVisible_.first) return true;
    // Following new speech with the caret's paragraph scrolled away above:
    // the user reads the newest text and is not editing there.
    const auto first =
        std::find_if(renderedKey_.begin(), renderedKey_.end(),
                     [&](const ParagraphKey& k) { return k.id == lastVisible_.first; });
    return first == renderedKey_.end() || held >= size_t(first - renderedKey_.begin());
}

std::optional<std::pair<size_t, size_t>> TimelineTextView::workingSpan(bool caretOnly) const {
    if (desynced_) return std::nullopt;
    const QTextCursor c = edit_->textCursor();
    if (const auto caret = logicalOf(c.position());
        !caret || caret->index < lo_ || !workingAt(caret->index - lo_))
        return std::nullopt;
    std::optional<std::pair<size_t, size_t>> span;
    for (const int at : {c.position(), c.anchor()}) {
        if (span && caretOnly) break;
        const std::optional<Logical> l = logicalOf(at);
        if (!l || l->index < lo_) continue;
        const size_t k = l->index - lo_;
        span =
            span ? std::pair(std::min(span->first, k), std::max(span->second, k)) : std::pair(k, k);
    }
    return span;
}

void TimelineTextView::trimAround(std::optional<std::pair<size_t, size_t>> kept) {
    // What is furthest from the end the view follows goes first; the
    // paragraphs the user works in never do, so the other side gives way.
    const auto front = [&] {
        if (const size_t keep = startBefore(hi_); keep > lo_) {
            const size_t count = kept ? std::min(keep - lo_, kept->first) : keep - lo_;
            letGoFront(count);
            if (kept) kept->first -= count, kept->second -= count;
        }
    };
    const auto back = [&] {
        const size_t least = kept ? lo_ + kept->second + 1 : 0;
        if (const size_t keep = std::max(endAfter(lo_), least); keep < hi_) letGoBack(hi_ - keep);
    };
    const auto within = [&] { return fits(heldDepth(), renderedKey_.size()); };
    if (heldToEnd_) {
        front();
        if (kept && !within()) back();
    } else {
        back();
        if (kept && !within()) front();
    }
}

void TimelineTextView::keepWithinBounds() {
    if (desynced_ || renderedKey_.size() < 2 || fits(heldDepth(), renderedKey_.size())) return;
    // Typing or new speech made it longer. A selection across paragraphs
    // too long to keep held whole keeps its caret's paragraph only.
    trimAround(workingSpan());
    if (!fits(heldDepth(), renderedKey_.size()))
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
    if (at >= renderedKey_.size() || renderedKey_[at].id != *id) {
        const auto it = std::find_if(renderedKey_.begin(), renderedKey_.end(),
                                     [&](const ParagraphKey& key) { return key.id == *id; });
        if (it == renderedKey_.end()) return std::nullopt;
        at = size_t(it - renderedKey_.begin());
    }
    return Logical{*id, lo_ + at, offset};
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
    if (point.index < lo_) return 0;
    if (point.index >= hi_ && !(heldToEnd_ && point.index == count)) return text_.length();
    const std::optional<ParagraphRange> r = rangeOf(point.id);
    if (!r) return point.index < lo_ + renderedKey_.size() / 2 ? 0 : text_.length();
    return std::min(verbolin::positionOf(text_, *r, std::max(point.offset, 0)), r->end());
}

QString TimelineTextView::logicalText(Logical from, Logical to) const {
    from = resolved(from), to = resolved(to);
    if (std::pair(to.index, to.offset) < std::pair(from.index, from.offset)) std::swap(from, to);
    const TimelineBlocks all = inputs_.paragraphs();
    QString out;
    for (size_t i = from.index; i <= to.index && i < all.size(); ++i) {
        const bool isHeld = i >= lo_ && (i < hi_ || (heldToEnd_ && i == scopedCount()));
        const std::optional<ParagraphRange> r = isHeld ? rangeOf(all[i].id) : std::nullopt;
        // What the view shows, with edits not yet handed back; the transcript's
        // text where it is not held or shown only in part.
        const bool cut = r && LongParagraph::isCut(text_, *r);
        const QString text =
            !r || cut ? QString::fromStdString(all[i].text()) : paragraphText(text_, *r);
        const int start = i == from.index ? std::clamp(from.offset, 0, int(text.size())) : 0;
        const int end =
            i == to.index ? std::clamp(to.offset, start, int(text.size())) : int(text.size());
        if (i > from.index && !out.endsWith(QStringLiteral("\n\n"))) out += QStringLiteral("\n\n");
        // One too long to show whole is copied whole, wherever the selection ends in it.
        out += cut || (!r && LongParagraph::tooLong(text)) ? text : text.mid(start, end - start);
    }
    return out.trimmed();
}

void TimelineTextView::keepingSelection(const std::function<void()>& change) {
    const QTextCursor c = edit_->textCursor();
    std::optional<Logical> anchor = wide_ ? std::optional(wide_->anchor) : logicalOf(c.anchor());
    std::optional<Logical> position =
        wide_ ? std::optional(wide_->position) : logicalOf(c.position());
    const bool selected = wide_.has_value() || c.hasSelection();
    // A caret whose paragraph was let go comes back with it.
    if (!selected && parked_) position = parked_;
    change();
    if (!anchor || !position) return;
    if (selected) return setWide(*anchor, *position);
    const int at = positionOf(*position);
    parked_.reset();
    if (!rangeOf(position->id)) parked_ = position;
    settingWide_ = true;
    restoreSelection(at, at);
    settingWide_ = false;
}

void TimelineTextView::setWide(Logical anchor, Logical position) {
    const int a = positionOf(anchor), p = positionOf(position);
    // Where both ends are held, the document's selection is the whole of it.
    const auto heldHere = [&](const Logical& l) { return rangeOf(l.id).has_value(); };
    if (heldHere(anchor) && heldHere(position))
        wide_.reset();
    else
        wide_ = Wide{anchor, position, a, p};
    settingWide_ = true;
    restoreSelection(a, p);
    settingWide_ = false;
}

void TimelineTextView::reachStart(bool select) {
    const std::optional<Logical> anchor = !select ? std::optional<Logical>()
                                          : wide_ ? std::optional(wide_->anchor)
                                                  : logicalOf(edit_->textCursor().anchor());
    if (lo_ > 0) holdWindow(0, endAfter(0));
    const std::optional<Logical> start = logicalOf(0);
    if (anchor && start)
        setWide(*anchor, Logical{start->id, 0, 0});
    else
        wide_.reset(), restoreSelection(0, 0);
    scrollTo(0);
    reportVisible();
}

void TimelineTextView::reachEnd(bool select) {
    const std::optional<Logical> anchor = !select ? std::optional<Logical>()
                                          : wide_ ? std::optional(wide_->anchor)
                                                  : logicalOf(edit_->textCursor().anchor());
    if (!heldToEnd_) holdWindow(startBefore(scopedCount()), scopedCount());
    const std::optional<Logical> end = logicalOf(text_.length());
    if (anchor && end)
        setWide(*anchor, *end);
    else
        wide_.reset(), restoreSelection(text_.length(), text_.length());
    scrollToEnd();
}

void TimelineTextView::selectWhole() {
    const TimelineBlocks all = inputs_.paragraphs();
    if (all.empty()) return;
    const Block& last = all.back();
    const size_t lastIndex = all.size() - 1;
    setWide(Logical{all[0].id, 0, 0},
            Logical{last.id, lastIndex, int(QString::fromStdString(last.text()).size())});
    // Held whole, the document's own selection is the same.
    if (!wide_) restoreSelection(0, text_.length());
}

}  // namespace verbolin
