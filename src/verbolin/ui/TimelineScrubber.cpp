#include "verbolin/ui/TimelineScrubber.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "verbolin/storage/BlockLineage.hpp"
#include "verbolin/ui/ColorRole.hpp"
#include "verbolin/ui/LocaleTime.hpp"
#include "verbolin/ui/UiFonts.hpp"

namespace verbolin {

namespace {
QColor withAlpha(QColor c, double alpha) {
    c.setAlphaF(float(c.alphaF() * alpha));
    return c;
}
QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t),
                            float(a.alphaF() + (b.alphaF() - a.alphaF()) * t));
}
}  // namespace

TimelineScrubber::TimelineScrubber(QWidget* parent) : QWidget(parent) {
    setToolTip(QString::fromUtf8(kHelp));
    dotAnimation_.setDuration(kDotAnimationMs);
    dotAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&dotAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        liveness_ = v.toDouble();
        update();
    });
}

void TimelineScrubber::setInputs(ScrubberInputs inputs) {
    const bool wasLive = inputs_.live;
    // The paragraphs are shared and never changed in place, so the same
    // array with the same visible range draws the same strip.
    const bool same = inputs.blocks == inputs_.blocks &&
                      inputs.visibleFirst == inputs_.visibleFirst &&
                      inputs.visibleLast == inputs_.visibleLast && inputs.live == inputs_.live &&
                      inputs.isLiveView == inputs_.isLiveView && inputs.atEnd == inputs_.atEnd;
    inputs_ = std::move(inputs);
    if (same) return;
    if (inputs_.live != wasLive) {
        dotAnimation_.stop();
        dotAnimation_.setStartValue(liveness_);
        dotAnimation_.setEndValue(inputs_.live ? 1.0 : 0.0);
        dotAnimation_.start();
    }
    update();
}

void TimelineScrubber::finishAnimation() {
    dotAnimation_.stop();
    liveness_ = inputs_.live ? 1.0 : 0.0;
    update();
}

const UserCalendar& TimelineScrubber::calendar() const {
    static const UserCalendar user;
    return inputs_.calendar ? *inputs_.calendar : user;
}

QString TimelineScrubber::startLabel() const {
    const auto span = geometryNow().span();
    return span ? LocaleTime::shortTime(span->first, calendar()) : QString();
}

QString TimelineScrubber::endLabel() const {
    if (inputs_.isLiveView) return QStringLiteral("live");
    const auto span = geometryNow().span();
    return span ? LocaleTime::shortTime(span->second, calendar()) : QString();
}

void TimelineScrubber::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const ScrubberGeometry g(inputs_, width(), visibleHint_);
    const QPalette& pal = palette();
    const double mid = kTopPadding + kStripHeight / 2;
    const double w = g.trackWidth();

    if (g.hasTrack()) {
        QPainterPath track;
        track.addRoundedRect(QRectF(0, mid - 3, w, 6), 3, 3);
        p.fillPath(track, withAlpha(colorFor(ColorRole::secondaryLabel, pal), 0.12));
    }
    const QColor markColor = withAlpha(colorFor(ColorRole::secondaryLabel, pal), 0.6);
    // Marks that touch make one band, drawn as one: a dense year costs a few
    // rectangles rather than one per pixel column, and the band reads even.
    const std::vector<double>& xs = marks(g);
    constexpr double kMarkWidth = 1.5;
    for (size_t i = 0; i < xs.size();) {
        const double from = xs[i];
        double to = from + kMarkWidth;
        while (++i < xs.size() && xs[i] <= to) to = std::max(to, xs[i] + kMarkWidth);
        p.fillRect(QRectF(from, mid - 3, to - from, 6), markColor);
    }
    // The bar goes over the marks, on the bare track: where paragraphs lie
    // densely their marks make a solid band that would hide it.
    const auto bar = g.bar();
    visibleHint_ = g.found();
    if (bar) {
        QPainterPath path;
        path.addRoundedRect(QRectF(bar->x, mid - 5, bar->width, 10), 5, 5);
        p.save();
        p.setClipPath(path);
        p.fillRect(path.boundingRect(), pal.color(QPalette::Window));
        QPainterPath track;
        track.addRoundedRect(QRectF(0, mid - 3, w, 6), 3, 3);
        p.fillPath(track, withAlpha(colorFor(ColorRole::secondaryLabel, pal), 0.12));
        p.restore();
        p.fillPath(path, withAlpha(colorFor(ColorRole::accent, pal), bar->opacity));
    }
    if (inputs_.isLiveView && g.dotX() >= 0) {
        const double d = ScrubberGeometry::kDotSize * (1 + 0.25 * liveness_);
        const QColor grey = withAlpha(colorFor(ColorRole::secondaryLabel, pal), 0.45);
        p.setPen(Qt::NoPen);
        p.setBrush(mix(grey, QColor(Qt::red), liveness_));
        p.drawEllipse(QPointF(g.dotX() + ScrubberGeometry::kDotSize / 2, mid), d / 2, d / 2);
    }

    const QRectF labels(0, kTopPadding + kStripHeight, width(),
                        height() - kTopPadding - kStripHeight);
    p.setPen(colorFor(ColorRole::quaternaryLabel, pal));
    p.setFont(UiFonts::monospacedDigits(9, QFont::Medium));
    p.drawText(labels, Qt::AlignLeft | Qt::AlignBottom, startLabel());
    if (inputs_.isLiveView) {
        p.setFont(UiFonts::system(9, QFont::DemiBold));
        p.setPen(colorFor(inputs_.atEnd ? ColorRole::accent : ColorRole::quaternaryLabel, pal));
    }
    p.drawText(labels, Qt::AlignRight | Qt::AlignBottom, endLabel());
}

const std::vector<double>& TimelineScrubber::marks(const ScrubberGeometry& g) {
    // Marks are found by galloping from column to column over the
    // paragraphs, a few probes per pixel column: an update costs what the
    // width costs, however many paragraphs there are, and whatever made the
    // array (an append, an edit, a search), without keeping a copy of it.
    // Where the new array took over the paragraphs of the last one (a key in
    // the newest paragraph), only the columns past them are looked for.
    const bool sameBlocks =
        !marks_.blocks.owner_before(inputs_.blocks) && !inputs_.blocks.owner_before(marks_.blocks);
    if (!sameBlocks || marks_.width != width()) {
        std::optional<size_t> kept;
        if (marks_.width == width() && marks_.span == g.span())
            kept = BlockLineage::takenOver(marks_.blocks, inputs_.blocks);
        marks_.marks = g.marksAfter(kept ? std::move(marks_.marks) : ScrubberGeometry::Marks{},
                                    kept.value_or(0));
        marks_.blocks = inputs_.blocks;
        marks_.width = width();
        marks_.span = g.span();
    }
    return marks_.marks.xs;
}

void TimelineScrubber::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) jumpTo(event->position().x());
}

void TimelineScrubber::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) jumpTo(event->position().x());
}

void TimelineScrubber::jumpTo(double x) {
    if (auto id = geometryNow().target(x); id && inputs_.onJump) inputs_.onJump(*id);
}

}  // namespace verbolin
