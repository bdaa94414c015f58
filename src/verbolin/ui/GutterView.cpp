#include "verbolin/ui/GutterView.hpp"

#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextBlock>

#include "verbolin/ui/ColorRole.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/UiFonts.hpp"

namespace verbolin {

GutterView::GutterView(TimelineTextEdit* textView, platform::MainExecutor& main)
    : QWidget(textView->viewport()), textView_(textView), main_(main) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(textView->viewport()->rect());
    textView->viewport()->setToolTip(QString::fromUtf8(Gutter::kToolTip));
}

double GutterView::scrollY() const {
    return textView_ ? textView_->verticalScrollBar()->value() : 0;
}

std::optional<GutterView::Paragraph> GutterView::paragraphAt(double y) const {
    if (!textView_ || !ranges || ranges().empty()) return std::nullopt;
    const std::vector<ParagraphRange>& all = ranges();
    const QTextDocument& doc = *textView_->document();
    const double docY = y + scrollY();
    // Only the paragraphs around the hit position can hold y.
    auto [loc, len] = DocumentGeometry::visibleRange(doc, docY, docY + 1);
    size_t i = firstRangeEndingAfter(all, loc);
    size_t from = i > 0 ? i - 1 : 0, to = std::min(all.size(), i + 2);
    for (size_t k = from; k < to; ++k) {
        const ParagraphRange& r = all[k];
        auto ext = DocumentGeometry::extent(doc, r.location, r.length);
        if (ext && ext->first <= docY && docY <= ext->second)
            return Paragraph{r.id, r.location, r.length, ext->first - scrollY(),
                             ext->second - scrollY()};
    }
    (void)len;
    return std::nullopt;
}

bool GutterView::claims(QPoint p) const {
    return p.x() < Gutter::kColumnWidth && paragraphAt(p.y());
}

bool GutterView::press(QPoint p) {
    if (p.x() >= Gutter::kColumnWidth) return false;
    auto hit = paragraphAt(p.y());
    if (!hit) return false;
    if (onCopy) onCopy(hit->id);
    flash(hit->location, hit->length);
    return true;
}

void GutterView::flash(int location, int length) {
    scheduleTick(flash_.start(location, length));
    update();
}

void GutterView::scheduleTick(unsigned generation) {
    main_.postAfter(CopyFlash::kTick, [self = QPointer<GutterView>(this), generation] {
        if (!self) return;
        bool more = self->flash_.tick(generation);
        if (generation == self->flash_.generation) self->update();
        if (more) self->scheduleTick(generation);
    });
}

void GutterView::paintEvent(QPaintEvent* e) {
    if (!textView_ || !ranges) return;
    const std::vector<ParagraphRange>& all = ranges();
    const QTextDocument& doc = *textView_->document();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double sy = scrollY();
    if (flash_.active()) {
        if (auto ext = DocumentGeometry::extent(doc, flash_.range->first, flash_.range->second)) {
            auto first = DocumentGeometry::lineAt(doc, flash_.range->first);
            double left = first ? first->rect.left() : Gutter::kColumnWidth;
            QRectF r(left - 6, ext->first - sy - 4, (width() - 6 - left) + 12,
                     ext->second - ext->first + 8);
            QColor c = colorFor(ColorRole::controlAccent, palette());
            c.setAlphaF(float(flash_.alpha));
            QPainterPath path;
            path.addRoundedRect(r, 8, 8);
            p.fillPath(path, c);
        }
    }
    const QFont labelFont = UiFonts::monospacedDigits(Gutter::labelFontSize(fontSize));
    const QFont dividerFont = UiFonts::system(Gutter::dividerFontSize(fontSize));
    const QFontMetricsF labelMetrics(labelFont), dividerMetrics(dividerFont);
    const QColor tertiary = colorFor(ColorRole::tertiaryLabel, palette());
    const QColor secondary = colorFor(ColorRole::secondaryLabel, palette());
    // Paragraphs from the one above the visible band to the one below it;
    // a divider lies above its paragraph's first line.
    auto [loc, len] = DocumentGeometry::visibleRange(doc, sy, sy + height());
    size_t i = firstRangeEndingAfter(all, loc);
    i = i > 0 ? i - 1 : 0;
    const QRectF dirty = e->rect();
    for (; i < all.size(); ++i) {
        const ParagraphRange& r = all[i];
        if (r.location > loc + len + 1) break;
        const std::optional<GutterEntry> entry = entryAt ? entryAt(i) : std::nullopt;
        if (!entry) continue;
        auto line = DocumentGeometry::lineAt(doc, r.location);
        if (!line) continue;
        const double baseline = line->baseline - sy;
        const QString label = QString::fromStdString(entry->label);
        const double top = baseline - labelMetrics.ascent();
        if (QRectF(0, top, width(), labelMetrics.height() + 4).intersects(dirty)) {
            p.setFont(labelFont);
            p.setPen(tertiary);
            p.drawText(
                QPointF(Gutter::kLabelRight - labelMetrics.horizontalAdvance(label), baseline),
                label);
            if (entry->edited) {
                p.setPen(secondary);
                p.drawText(QPointF(Gutter::kMarkLeft, baseline),
                           QString::fromUtf8(Gutter::kEditMark));
            }
        }
        if (entry->divider) {
            QTextBlock b = doc.findBlock(r.location);
            const double half = b.blockFormat().topMargin() * 0.5;
            const QString text = QStringLiteral("\u00B7 ") +
                                 QString::fromStdString(*entry->divider) +
                                 QStringLiteral(" \u00B7");
            const double w = dividerMetrics.horizontalAdvance(text);
            const double x = Gutter::kColumnWidth + (width() - Gutter::kColumnWidth - w) * 0.5;
            // Centred in the spacing above the paragraph's first line.
            const double centre = line->rect.top() - sy - half;
            p.setFont(dividerFont);
            p.setPen(tertiary);
            p.drawText(QPointF(x, centre - dividerMetrics.height() * 0.5 + dividerMetrics.ascent()),
                       text);
        }
    }
}

}  // namespace verbolin
