#include "verbolin/ui/TimelinePane.hpp"

#include <QIcon>
#include <QVBoxLayout>

#include "platform/system/BackgroundRelease.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineTextView.hpp"
#include "verbolin/ui/UiFonts.hpp"

namespace verbolin {

TimelinePane::TimelinePane(TimelinePaneInputs inputs, platform::MainExecutor& main,
                           TimelinePaneServices services, QWidget* parent)
    : QWidget(parent), model_(std::move(inputs), std::move(services), [this] { render(); }) {
    auto* layout = new QVBoxLayout(this);  // owned by this widget, like every child below
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    scrubber_ = new TimelineScrubber(this);
    scrubber_->setFixedHeight(int(kScrubberHeight));
    textView_ = new TimelineTextView(main, this);
    layout->addWidget(scrubber_);
    layout->addWidget(textView_, 1);

    button_ = new QToolButton(textView_);
    button_->setAutoRaise(true);
    button_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button_->setIcon(QIcon::fromTheme(QStringLiteral("go-bottom")));
    button_->setFont(UiFonts::system(11, QFont::DemiBold));
    button_->setStyleSheet(
        QStringLiteral("QToolButton { padding: 5px 10px; border-radius: 12px; border: 1px solid "
                       "rgba(255,255,255,38);"
                       " background: rgba(128,128,128,90); }"));
    opacity_ = new QGraphicsOpacityEffect(button_);
    button_->setGraphicsEffect(opacity_);
    button_->hide();
    fadeAnimation_.setTargetObject(opacity_);
    fadeAnimation_.setPropertyName("opacity");
    fadeAnimation_.setDuration(kFadeMs);
    fadeAnimation_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&fadeAnimation_, &QPropertyAnimation::finished, this, [this] {
        if (!buttonWanted_) button_->hide();
    });
    connect(button_, &QToolButton::clicked, this, [this] { model_.buttonPressed(); });
    render();
}

TimelinePane::~TimelinePane() {
    // The children's callbacks point into the model; take them away before it goes.
    fadeAnimation_.stop();
    delete textView_;
    delete scrubber_;
}

void TimelinePane::setInputs(TimelinePaneInputs inputs) {
    auto replaced = model_.inputs().blocks;
    model_.setInputs(std::move(inputs));
    // The children have let go of the replaced paragraphs by now; when the
    // pane held them last, a year of them is freed away from the UI thread.
    platform::releaseInBackground(std::move(replaced));
}

void TimelinePane::render() {
    // A change reported while the children take new inputs is covered by the
    // render already running.
    if (rendering_) return;
    rendering_ = true;
    scrubber_->setInputs(model_.scrubberInputs());
    textView_->setInputs(model_.textViewInputs());
    button_->setText(QString::fromStdString(model_.buttonTitle()));
    fade(model_.buttonShown());
    rendering_ = false;
}

void TimelinePane::fade(bool in) {
    if (in == buttonWanted_) return;
    buttonWanted_ = in;
    fadeAnimation_.stop();
    fadeAnimation_.setStartValue(opacity_->opacity());
    fadeAnimation_.setEndValue(in ? 1.0 : 0.0);
    if (in) {
        if (!button_->isVisible()) opacity_->setOpacity(0);
        fadeAnimation_.setStartValue(opacity_->opacity());
        button_->show();
        placeButton();
    }
    fadeAnimation_.start();
}

void TimelinePane::finishAnimations() {
    if (fadeAnimation_.state() == QAbstractAnimation::Running)
        fadeAnimation_.setCurrentTime(kFadeMs);
}

void TimelinePane::placeButton() {
    button_->adjustSize();
    button_->move(textView_->width() - button_->width() - 10,
                  textView_->height() - button_->height() - 10);
    button_->raise();
}

void TimelinePane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeButton();
}

}  // namespace verbolin
