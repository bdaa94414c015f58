#include "verbolin/ui/StatusBarWidget.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/WordDiffText.hpp"

namespace verbolin {

StatusBarWidget::StatusBarWidget(TranscriptionEngine& engine, const platform::Clock& clock,
                                 QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      clock_(clock),
      spinner_(new QProgressBar(this)),
      warning_(new QLabel(this)),
      dot_(new QLabel(this)),
      message_(new QLabel(this)),
      retry_(new QPushButton(tr("Retry"), this)),
      trailing_(new QLabel(this)) {
    auto* row = new QHBoxLayout(this);
    row->setSpacing(8);
    row->setContentsMargins(16, 8, 16, 8);
    spinner_->setRange(0, 0);  // indeterminate
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(24, 8);
    const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize);
    warning_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(icon, icon));
    dot_->setFixedSize(8, 8);
    // The message gives way first so that "Retry" always stays visible.
    message_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    message_->setWordWrap(false);
    message_->setMinimumWidth(40);
    message_->installEventFilter(this);
    retry_->setAttribute(Qt::WA_MacSmallSize);
    connect(retry_, &QPushButton::clicked, this, [this] { engine_.loadModel(); });
    trailing_->setWordWrap(true);
    trailing_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    trailing_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    trailing_->setMaximumHeight(2 * fontMetrics().lineSpacing());
    row->addWidget(spinner_);
    row->addWidget(warning_);
    row->addWidget(dot_);
    // The message takes the free width, so "Retry" and the trailing side
    // always stay whole and a long message is shortened instead.
    row->addWidget(message_, 2);
    row->addWidget(retry_);
    row->addWidget(trailing_, 1);
    // Engine changes may come from any code path on the main thread; the
    // refresh runs on the next turn so it never happens inside a change.
    stateToken_ = engine_.modelState.observe([this] { scheduleRefresh(); });
    recordingToken_ = engine_.isRecording.observe([this] { scheduleRefresh(); });
    refresh();
}

void StatusBarWidget::scheduleRefresh() {
    QMetaObject::invokeMethod(this, &StatusBarWidget::refresh, Qt::QueuedConnection);
}

void StatusBarWidget::followSaving(TranscriptStore& store) {
    store_ = &store;
    savingToken_ = store.notSaved.observe([this] { scheduleRefresh(); });
    refresh();
}

void StatusBarWidget::setSettingsNotice(std::string notice) {
    settingsNotice_ = std::move(notice);
    refresh();
}

void StatusBarWidget::setSelection(std::vector<Block> selected, bool hasSelection) {
    selected_ = std::move(selected);
    hasSelection_ = hasSelection;
    refresh();
}

void StatusBarWidget::setCopiedAt(std::optional<platform::Date> copiedAt) {
    copiedAt_ = copiedAt;
    refresh();
}

void StatusBarWidget::refresh() {
    const bool notSaved = store_ && store_->notSaved.get();
    const auto lead =
        StatusBarModel::leading(engine_.modelState.get(), engine_.isRecording.get(), notSaved,
                                store_ ? store_->saveProblem() : std::string(), settingsNotice_);
    spinner_->setVisible(lead.spinner);
    warning_->setVisible(lead.warning || lead.notSaved);
    retry_->setVisible(lead.warning);
    dot_->setVisible(lead.dot);
    dot_->setStyleSheet(QStringLiteral("border-radius: 4px; background: %1;")
                            .arg(lead.dotGreen ? "#2ea043" : "gray"));
    const bool fixedText = lead.kind == TranscriptionEngine::ModelState::Kind::idle ||
                           lead.kind == TranscriptionEngine::ModelState::Kind::ready;
    // Engine messages are shown verbatim; only our own words are translated.
    fullMessage_ = fixedText ? tr(lead.text.c_str()) : QString::fromStdString(lead.text);
    QString toolTip = fullMessage_;
    if (lead.notSaved) toolTip += "\n" + tr(StatusBarModel::kNotSavedHelp);
    if (!lead.details.empty()) toolTip += "\n" + QString::fromStdString(lead.details);
    message_->setToolTip(toolTip);
    elideMessage();

    const auto t = StatusBarModel::trailing(selected_, hasSelection_, copiedAt_, clock_.now());
    using Kind = StatusBarModel::TrailingKind;
    trailing_->setToolTip(t.kind == Kind::wordDiff ? tr("What you changed in this paragraph")
                                                   : QString());
    trailing_->setStyleSheet(t.kind == Kind::copied ? "color: #2ea043;" : "");
    if (t.kind == Kind::wordDiff) {
        const auto ops = WordDiffText::diff(WordDiffText::words(QString::fromStdString(t.before)),
                                            WordDiffText::words(QString::fromStdString(t.after)));
        trailing_->setTextFormat(Qt::RichText);
        trailing_->setText(WordDiffText::html(ops, palette()));
    } else {
        trailing_->setTextFormat(Qt::PlainText);
        trailing_->setText(t.kind == Kind::copied ? QStringLiteral("✓ ") + tr("Paragraph copied")
                                                  : QString::fromStdString(t.text));
    }
    // Shares the free width with the message, taking no more than one line's.
    const auto plain = t.kind == Kind::wordDiff ? QString::fromStdString(t.before + " " + t.after)
                                                : trailing_->text();
    trailing_->setMaximumWidth(fontMetrics().horizontalAdvance(plain) + 2);
}

void StatusBarWidget::elideMessage() {
    message_->setText(
        fontMetrics().elidedText(fullMessage_, Qt::ElideMiddle, std::max(0, message_->width())));
}

bool StatusBarWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == message_ && event->type() == QEvent::Resize) elideMessage();
    return QWidget::eventFilter(watched, event);
}

}  // namespace verbolin
