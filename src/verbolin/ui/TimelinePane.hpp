#pragma once
// The editor's detail area: the time scrubber over the editable timeline
// text, with a "Live"/"End" button in the bottom-right corner while the view
// is not at the end. The behaviour lives in TimelinePaneModel; this widget
// lays out, renders on each change and forwards. Main thread only.

#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QToolButton>
#include <QWidget>

#include "platform/system/MainExecutor.hpp"
#include "verbolin/ui/TimelinePaneModel.hpp"

namespace verbolin {

class TimelineScrubber;
class TimelineTextView;

class TimelinePane final : public QWidget {
    Q_OBJECT
  public:
    static constexpr double kScrubberHeight = 30;
    static constexpr int kFadeMs = 150;
    static inline const char* const kButtonSymbol = "arrow.down.to.line";

    TimelinePane(TimelinePaneInputs inputs, platform::MainExecutor& main,
                 TimelinePaneServices services = {}, QWidget* parent = nullptr);
    ~TimelinePane() override;

    void setInputs(TimelinePaneInputs inputs);

    TimelinePaneModel& model() { return model_; }
    TimelineScrubber& scrubber() { return *scrubber_; }
    TimelineTextView& textView() { return *textView_; }
    QToolButton& button() { return *button_; }
    // Ends the button's fade at its target.
    void finishAnimations();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void render();
    void placeButton();
    void fade(bool in);

    TimelinePaneModel model_;
    TimelineScrubber* scrubber_;
    TimelineTextView* textView_;
    QToolButton* button_;
    QGraphicsOpacityEffect* opacity_;
    QPropertyAnimation fadeAnimation_;
    bool buttonWanted_ = false;
    bool rendering_ = false;
};

}  // namespace verbolin
