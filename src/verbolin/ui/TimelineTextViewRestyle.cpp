// A new font size over the same text. Rendering and laying out a long
// timeline anew takes far longer than a turn (minutes for megabytes at the
// largest size), so the characters stay where they are and only their
// formats change: what is on screen first, then the rest in steps bounded
// by length on later turns, nearest the screen first, while the first line
// on screen stays where it is.

#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/TimelineDocument.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

namespace verbolin {

namespace {

// [from, to) widened to whole blocks of the document: Qt lays out a block whole.
std::pair<int, int> wholeBlocks(const QTextDocument& doc, int from, int to) {
    const QTextBlock first = doc.findBlock(from);
    const QTextBlock last = doc.findBlock(std::max(to - 1, from));
    const int end = doc.characterCount() - 1;
    return {first.isValid() ? first.position() : from,
            last.isValid() ? std::min(last.position() + last.length(), end) : to};
}

}  // namespace

void TimelineTextView::restyleOnScreen(bool wasAtBottom) {
    // Until the screen holds no text of the old size: a smaller size shows
    // more of it than was on screen before.
    for (int round = 0; round < 8 && !held_.stale().empty(); ++round) {
        layoutAll();
        const double top = scrollY();
        const auto [loc, len] = DocumentGeometry::visibleRange(*edit_->document(), top,
                                                               top + edit_->viewport()->height());
        const auto [from, to] = wholeBlocks(*edit_->document(), loc, loc + len + 1);
        if (held_.stale().within(from, to).empty()) return;
        restyleKeepingPlace(from, to, wasAtBottom);
    }
}

void TimelineTextView::restyleKeepingPlace(int from, int to, bool atBottom) {
    QTextDocument& doc = *edit_->document();
    const std::vector<PendingSpans::Span> waiting = held_.stale().within(from, to);
    if (waiting.empty()) return;
    // The first line on screen, and how far below the top it is: as the
    // step before left it, where nothing moved since. Measured anew each
    // step, the scroll's rounding to whole pixels crept a pixel every few
    // steps, and a long paragraph takes dozens.
    const double top = scrollY();
    const bool same = restylePlace_ && restylePlace_->round == restyleRound_ &&
                      restylePlace_->scroll == top && restylePlace_->length == text_.length();
    const int anchor = same          ? restylePlace_->anchor
                       : isVisible() ? DocumentGeometry::visibleRange(doc, top, top + 1).first
                                     : 0;
    const auto before = DocumentGeometry::lineAt(doc, anchor);
    const double below = same ? restylePlace_->below : before ? before->rect.top() - top : 0;
    writing_ = true;
    for (const auto& [a, b] : waiting) {
        TimelineDocument::restyle(doc, text_, a, b, edit_->palette());
        held_.stale().remove(a, b);
    }
    writing_ = false;
    layoutAll();
    if (atBottom) {
        scrollToEndOnce();
    } else if (const auto after = DocumentGeometry::lineAt(doc, anchor); before && after) {
        scrollTo(after->rect.top() - below);
        restylePlace_ = RestylePlace{restyleRound_, scrollY(), text_.length(), anchor, below};
    }
}

void TimelineTextView::scheduleRestyle() {
    // On a timer, as the steps of older text: input, painting and a quit
    // waiting since the last step go first.
    main_.postAfter(kFillPause, [self = QPointer<TimelineTextView>(this), round = restyleRound_] {
        if (!self || self->restyleRound_ != round || self->held_.stale().empty()) return;
        TimelineTextView& v = *self;
        const Road road(v);  // formats change depths, and the scroll bar may come or go
        const QTextDocument& doc = *v.edit_->document();
        const double top = v.scrollY();
        const auto [loc, len] = v.isVisible() ? DocumentGeometry::visibleRange(
                                                    doc, top, top + v.edit_->viewport()->height())
                                              : std::pair(0, 0);
        const auto next = v.held_.stale().nearest(loc, loc + len, int(LongParagraph::kStepUnits));
        if (next) {
            const auto [from, to] = wholeBlocks(doc, next->first, next->second);
            v.restyleKeepingPlace(std::min(from, next->first), std::max(to, next->second),
                                  v.atBottom());
            v.reportVisible();
            v.updateGutter();
        }
        if (!v.held_.stale().empty()) v.scheduleRestyle();
    });
}

}  // namespace verbolin
