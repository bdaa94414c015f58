#include "verbolin/ui/StatusBarWidget.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <algorithm>
#include <utility>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/WordDiffText.hpp"

namespace verbolin {

namespace {
// Widths of the message and the trailing side in `free` pixels, from the
// widths they would take whole: the message, which tells what is wrong,
// first; the trailing side (a hint, a count) has what is left.
std::pair<int, int> split(int free, int message, int trailing) {
    const int m = std::clamp(message, 0, std::max(free, 0));
    return {m, std::clamp(trailing, 0, std::max(free - m, 0))};
}
}  // namespace

StatusBarWidget::StatusBarWidget(TranscriptionEngine& engine, const platform::Clock& clock,
                                 QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      clock_(clock),
      spinner_(new QProgressBar(this)),
      warning_(new QLabel(this)),
      dot_(new QLabel(this)),
      texts_(new QWidget(this)),
      message_(new QLabel(texts_)),
      retry_(new QPushButton(tr("Retry"), texts_)),
      trailing_(new QLabel(texts_)) {
    auto* row = new QHBoxLayout(this);
    row->setSpacing(8);
    row->setContentsMargins(16, 8, 16, 8);
    spinner_->setRange(0, 0);  // indeterminate
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(24, 8);
    const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize);
    warning_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(icon, icon));
    dot_->setFixedSize(8, 8);
    message_->setWordWrap(false);
    retry_->setAttribute(Qt::WA_MacSmallSize);
    connect(retry_, &QPushButton::clicked, this, [this] { engine_.loadModel(); });
    trailing_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The texts are placed by hand (placeTexts): a layout would wrap them,
    // or share the width out by stretch instead of by what each needs.
    texts_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    texts_->installEventFilter(this);
    row->addWidget(spinner_);
    row->addWidget(warning_);
    row->addWidget(dot_);
    row->addWidget(texts_, 1);
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
    keptSuffix_.clear();
    if (const QString notSaved = QString::fromUtf8(StatusBarModel::kNotSaved);
        lead.notSaved && fullMessage_.endsWith(notSaved)) {
        keptSuffix_ = fullMessage_.size() > notSaved.size()
                          ? fullMessage_.right(notSaved.size() + 3)  // " · Not saved"
                          : notSaved;
    }

    const auto t = StatusBarModel::trailing(selected_, hasSelection_, copiedAt_, clock_.now());
    using Kind = StatusBarModel::TrailingKind;
    trailing_->setStyleSheet(t.kind == Kind::copied ? "color: #2ea043;" : "");
    if (t.kind == Kind::wordDiff) {
        const auto ops = WordDiffText::diff(WordDiffText::words(QString::fromStdString(t.before)),
                                            WordDiffText::words(QString::fromStdString(t.after)));
        fullTrailing_.clear();
        trailing_->setTextFormat(Qt::RichText);
        trailing_->setWordWrap(true);  // two lines at most, see placeTexts
        trailing_->setText(WordDiffText::html(ops, palette()));
        trailing_->setToolTip(tr("What you changed in this paragraph"));
        trailingNatural_ =
            fontMetrics().horizontalAdvance(QString::fromStdString(t.before + " " + t.after)) + 2;
    } else {
        fullTrailing_ = t.kind == Kind::copied ? QStringLiteral("✓ ") + tr("Paragraph copied")
                                               : QString::fromStdString(t.text);
        trailing_->setTextFormat(Qt::PlainText);
        trailing_->setWordWrap(false);
        trailingNatural_ = fontMetrics().horizontalAdvance(fullTrailing_) + 2;
    }
    const int lines = fullTrailing_.isEmpty() ? 2 : 1;
    texts_->setMinimumHeight(
        std::max(retry_->sizeHint().height(), lines * fontMetrics().lineSpacing() + 2));
    placeTexts();
}

void StatusBarWidget::placeTexts() {
    const QFontMetrics metrics = fontMetrics();
    const int spacing = 8, height = texts_->height();
    const bool retry = !retry_->isHidden();
    const QSize retrySize = retry_->sizeHint();
    const int messageNatural = metrics.horizontalAdvance(fullMessage_) + 2;
    const int free = texts_->width() - (retry ? retrySize.width() + spacing : 0) - spacing;
    const auto [messageWidth, trailingWidth] = split(free, messageNatural, trailingNatural_);

    // The end is cut: the start of a message says what it is about. A
    // "Not saved" at its end stays, whatever is cut before it.
    const QString kept = metrics.horizontalAdvance(keptSuffix_) < messageWidth ? keptSuffix_ : "";
    const QString head = fullMessage_.left(fullMessage_.size() - kept.size());
    message_->setText(
        metrics.elidedText(head, Qt::ElideRight, messageWidth - metrics.horizontalAdvance(kept)) +
        kept);
    message_->setGeometry(0, 0, messageWidth, height);
    if (retry)
        retry_->setGeometry(messageWidth + spacing, (height - retrySize.height()) / 2,
                            retrySize.width(), retrySize.height());
    const int lines = fullTrailing_.isEmpty() ? 2 : 1;
    const int trailingHeight = std::min(height, lines * metrics.lineSpacing() + 2);
    trailing_->setGeometry(texts_->width() - trailingWidth, (height - trailingHeight) / 2,
                           trailingWidth, trailingHeight);
    if (!fullTrailing_.isEmpty()) {
        const QString shown = metrics.elidedText(fullTrailing_, Qt::ElideRight, trailingWidth);
        trailing_->setText(shown);
        trailing_->setToolTip(shown == fullTrailing_ ? QString() : fullTrailing_);
    }
}

bool StatusBarWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == texts_ && event->type() == QEvent::Resize) placeTexts();
    return QWidget::eventFilter(watched, event);
}

}  // namespace verbolin
