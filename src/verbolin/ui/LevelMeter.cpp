#include "verbolin/ui/LevelMeter.hpp"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "verbolin/ui/ColorRole.hpp"

namespace verbolin {

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
    animation_.setDuration(kAnimationMs);
    animation_.setEasingCurve(QEasingCurve::Linear);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        shown_ = v.toDouble();
        update();
    });
}

void LevelMeter::setLevel(float level) {
    if (level == level_) return;
    level_ = level;
    animation_.stop();
    animation_.setStartValue(shown_);
    animation_.setEndValue(double(level));
    animation_.start();
}

void LevelMeter::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    update();
}

double LevelMeter::barWidth(float level, bool active, double width) {
    // A NaN level from a broken reading draws nothing rather than poisoning the geometry.
    if (!active || std::isnan(level)) return 0;
    return double(level) * width;
}

void LevelMeter::finishAnimation() {
    animation_.stop();
    shown_ = level_;
    update();
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    const double radius = r.height() / 2;
    QPainterPath capsule;
    capsule.addRoundedRect(r, radius, radius);
    p.setClipPath(capsule);
    QColor back = colorFor(ColorRole::secondaryLabel, palette());
    back.setAlphaF(0.2f);
    p.fillRect(r, back);
    const double w = barWidth(float(shown_), active_, r.width());
    if (w > 0)
        p.fillRect(QRectF(0, 0, std::min(w, r.width()), r.height()),
                   active_ ? QColor(0, 200, 0) : Qt::gray);
}

}  // namespace verbolin
