#pragma once
// The microphone level as a green bar in a capsule. It fills whatever size it
// is given; level 0 is empty, 1 is full, and the level is not clamped.

#include <QVariantAnimation>
#include <QWidget>

namespace verbolin {

class LevelMeter final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kAnimationMs = 80;

    explicit LevelMeter(QWidget* parent = nullptr);

    void setLevel(float level);
    void setActive(bool active);
    float level() const { return level_; }
    bool active() const { return active_; }

    // Width of the bar for a meter `width` wide: level × width while active, else 0.
    static double barWidth(float level, bool active, double width);
    // Ends a running level animation at its target.
    void finishAnimation();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    float level_ = 0;
    bool active_ = false;
    double shown_ = 0;  // the animated level being drawn
    QVariantAnimation animation_;
};

}  // namespace verbolin
