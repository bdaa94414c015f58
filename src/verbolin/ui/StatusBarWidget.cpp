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
#include "verbolin/ui/WrappedText.hpp"

namespace verbolin {

namespace {
constexpr int kSpacing = 8;
// Beside a message of one line the trailing side keeps at least this much
// (or all it needs); with less it has a row of its own under the message.
constexpr int kMinTrailingWidth = 160;
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
    placeTexts();
}

void StatusBarWidget::placeTexts() {
    const QFontMetrics metrics = fontMetrics();
    const int width = texts_->width(), lineHeight = metrics.lineSpacing();
    const bool retry = !retry_->isHidden();
    const QSize retrySize = retry ? retry_->sizeHint() : QSize(0, 0);
    const int messageRoom = std::max(width - (retry ? retrySize.width() + kSpacing : 0), 1);
    const int messageNatural = metrics.horizontalAdvance(fullMessage_) + 2;
    const int beside = messageRoom - kSpacing - messageNatural;
    const bool oneRow =
        messageNatural <= messageRoom && beside >= std::min(trailingNatural_, kMinTrailingWidth);

    // What went wrong and what to do about it both show: a long message
    // takes the whole width on lines of its own, and past kMaxMessageLines
    // its middle, not its end, is left out (whole in the tooltip).
    const QStringList lines =
        oneRow ? QStringList{fullMessage_}
               : WrappedText::lines(fullMessage_, font(), messageRoom - 2, kMaxMessageLines);
    int messageWidth = 0;
    for (const QString& line : lines)
        messageWidth = std::max(messageWidth, metrics.horizontalAdvance(line) + 2);
    messageWidth = std::min(messageWidth, messageRoom);
    const int messageHeight = int(lines.size()) * lineHeight + 2;
    const int trailingHeight = (fullTrailing_.isEmpty() ? 2 : 1) * lineHeight + 2;
    const int block = std::max(retrySize.height(), messageHeight);
    const int needed = oneRow ? std::max(block, trailingHeight) : block + trailingHeight;
    if (texts_->minimumHeight() != needed) texts_->setMinimumHeight(needed);

    const int top = std::max(texts_->height() - needed, 0) / 2;
    const int blockHeight = oneRow ? needed : block;
    message_->setText(lines.join('\n'));
    message_->setGeometry(0, top + (blockHeight - messageHeight) / 2, messageWidth, messageHeight);
    if (retry)
        retry_->setGeometry(messageWidth + kSpacing, top + (blockHeight - retrySize.height()) / 2,
                            retrySize.width(), retrySize.height());
    const int trailingWidth = std::clamp(trailingNatural_, 0, std::max(oneRow ? beside : width, 0));
    const int trailingTop = oneRow ? top + (needed - trailingHeight) / 2 : top + block;
    trailing_->setGeometry(width - trailingWidth, trailingTop, trailingWidth, trailingHeight);
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
