#pragma once
// The thin time strip above the timeline: a mark per paragraph, a bar over
// the visible part, the live dot, and start and end times underneath. A
// click or drag jumps to the paragraph nearest that point in time.

#include <QVariantAnimation>
#include <QWidget>

#include "verbolin/ui/ScrubberGeometry.hpp"

namespace verbolin {

class TimelineScrubber final : public QWidget {
    Q_OBJECT
  public:
    static constexpr double kStripHeight = 12;
    static constexpr double kTopPadding = 2;
    static constexpr int kDotAnimationMs = 250;
    static inline const char* const kHelp =
        "Where you are in the timeline. Blue runs into the dot while following live. Red dot = "
        "hearing speech. "
        "Click to jump.";

    explicit TimelineScrubber(QWidget* parent = nullptr);

    void setInputs(ScrubberInputs inputs);
    const ScrubberInputs& inputs() const { return inputs_; }
    ScrubberGeometry geometryNow() const { return ScrubberGeometry(inputs_, width()); }

    // The bottom-left and bottom-right texts; empty when not shown.
    QString startLabel() const;
    QString endLabel() const;
    // What writes those times: the inputs' calendar, else the user's.
    const UserCalendar& calendar() const;
    // Ends a running dot animation at its target.
    void finishAnimation();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    void jumpTo(double x);
    const std::vector<double>& marks(const ScrubberGeometry& g);

    ScrubberInputs inputs_;
    ScrubberGeometry::VisibleHint visibleHint_;
    // Marks depend only on the paragraphs and the width; kept between paints.
    // The paragraphs are only watched: the strip must not be what keeps
    // replaced ones alive.
    struct MarkCache {
        std::weak_ptr<const std::vector<Block>> blocks;
        int width = -1;
        std::optional<std::pair<platform::Date, platform::Date>> span;
        ScrubberGeometry::Marks marks;
    } marks_;
    double liveness_ = 0;  // 0 grey at scale 1, 1 red at scale 1.25
    QVariantAnimation dotAnimation_;
};

}  // namespace verbolin
