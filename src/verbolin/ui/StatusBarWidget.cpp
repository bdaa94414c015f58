#include "verbolin/ui/StatusBarWidget.hpp"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/WordDiffText.hpp"

namespace verbolin {

namespace {
constexpr int kSpacing = 8;
// Beside a message too long for the bar, the trailing side keeps this part
// of the width (or what it needs, if less), unless the message is a failure.
constexpr int kTrailingShare = 3;

// No more of a word or a line than the bar could ever show is measured or
// laid out: one letter and 50,000 accents on it are as wide as the letter,
// and shaped whole (at a cost that grows with the square of their length)
// they held the window for seconds on every key in that paragraph.
constexpr qsizetype kMostMeasured = 4096;

// The start of `before`, a space and `after`: at least kMostMeasured + 1
// UTF-16 units of it (or all), as much as is ever measured of a line. A
// drag over a paragraph of 150,000 characters changes the selection on
// every move, and decoding all of it each time cost more than everything
// else the bar does.
QString lineStart(std::string_view before, std::string_view after) {
    // A UTF-16 unit takes at most three bytes of UTF-8 (four take two units),
    // and the cut below drops at most four.
    constexpr size_t kBytes = 3 * size_t(kMostMeasured + 2);
    std::string out(before.substr(0, kBytes));
    if (out.size() < kBytes) {
        out += ' ';
        out.append(after.substr(0, kBytes - out.size()));
    }
    if (out.size() >= kBytes) {
        // Never a character cut in two: back to the start of the last one.
        size_t end = out.size();
        while (end > 0 && (static_cast<unsigned char>(out[end - 1]) & 0xC0) == 0x80) --end;
        out.resize(end > 0 ? end - 1 : 0);
    }
    return QString::fromStdString(out);
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
    trailing_->setTextFormat(Qt::PlainText);
    // The texts are placed by hand (placeTexts): a layout would share the
    // width out by stretch instead of by what each needs.
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
    if (std::exchange(refreshQueued_, true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (refreshQueued_) refresh();
        },
        Qt::QueuedConnection);
}

void StatusBarWidget::followSaving(TranscriptStore& store) {
    store_ = &store;
    savingToken_ = store.notSaved.observe([this] { scheduleRefresh(); });
    keepingToken_ = store.keeping.observe([this] { scheduleRefresh(); });
    refresh();
}

void StatusBarWidget::setSettingsNotice(std::string notice) {
    settingsNotice_ = std::move(notice);
    refresh();
}

void StatusBarWidget::setSelection(std::vector<Block> selected, bool hasSelection) {
    selected_ = std::move(selected);
    hasSelection_ = hasSelection;
    scheduleRefresh();
}

void StatusBarWidget::setCopiedAt(std::optional<platform::Date> copiedAt) {
    copiedAt_ = copiedAt;
    scheduleRefresh();
}

void StatusBarWidget::setNotice(std::string text) {
    notice_ = std::move(text);
    const platform::Date at = clock_.now();
    noticeAt_ = at;
    const int ms = int(StatusBarModel::kNoticeSeconds * 1000);
    QTimer::singleShot(ms, this, [this, at] {
        if (noticeAt_ == at) refresh();
    });
    refresh();
}

std::string StatusBarWidget::notice() const {
    const auto t =
        StatusBarModel::trailing({}, false, std::nullopt, clock_.now(), notice_, noticeAt_);
    return t.kind == StatusBarModel::TrailingKind::notice ? t.text : std::string();
}

void StatusBarWidget::refresh() {
    // Placed anew only when what the bar says changed: a drag within an
    // edited paragraph leaves its word diff as it was on every move.
    if (takeInState()) placeTexts();
}

bool StatusBarWidget::takeInState() {
    refreshQueued_ = false;
    const bool leading = takeInLeading();
    return takeInTrailing() || leading;
}

bool StatusBarWidget::takeInLeading() {
    const bool notSaved = store_ && store_->notSaved.get();
    const auto lead =
        StatusBarModel::leading(engine_.modelState.get(), engine_.isRecording.get(), notSaved,
                                store_ ? store_->saveProblem() : std::string(), settingsNotice_,
                                store_ && store_->keeping.get().memoryOnly);
    const bool retryWas = !retry_->isHidden();
    spinner_->setVisible(lead.spinner);
    warning_->setVisible(lead.warning || lead.notSaved);
    retry_->setVisible(lead.warning);
    dot_->setVisible(lead.dot);
    // A style sheet set again, even the same one, polishes the widget anew.
    if (std::exchange(dotGreen_, lead.dotGreen) != lead.dotGreen || !dotStyled_) {
        dotStyled_ = true;
        dot_->setStyleSheet(QStringLiteral("border-radius: 4px; background: %1;")
                                .arg(lead.dotGreen ? "#2ea043" : "gray"));
    }
    const bool fixedText = lead.kind == TranscriptionEngine::ModelState::Kind::idle ||
                           lead.kind == TranscriptionEngine::ModelState::Kind::ready;
    // Engine messages are shown verbatim; only our own words are translated.
    QString message = fixedText ? tr(lead.text.c_str()) : QString::fromStdString(lead.text);
    QString toolTip = message;
    if (lead.help) toolTip += "\n" + tr(lead.help);
    if (!lead.details.empty()) toolTip += "\n" + QString::fromStdString(lead.details);
    if (message_->toolTip() != toolTip) message_->setToolTip(toolTip);
    const bool changed = message != fullMessage_ || retryWas != lead.warning;
    fullMessage_ = std::move(message);
    return changed;
}

bool StatusBarWidget::takeInTrailing() {
    const auto t = StatusBarModel::trailing(selected_, hasSelection_, copiedAt_, clock_.now(),
                                            notice_, noticeAt_);
    using Kind = StatusBarModel::TrailingKind;
    const bool notice = t.kind == Kind::notice;
    bool changed = std::exchange(noticeShown_, notice) != notice;
    if (const bool copied = t.kind == Kind::copied; copied != copiedShown_) {
        copiedShown_ = copied;
        trailing_->setStyleSheet(copied ? "color: #2ea043;" : "");
        changed = true;
    }
    if (t.kind == Kind::wordDiff) {
        // Each key in the paragraph, and each move of a drag in it, asks again.
        if (showsDiff_ && t.before == diffBefore_ && t.after == diffAfter_) return changed;
        diffOps_ = WordDiffText::diff(WordDiffText::words(QString::fromStdString(t.before)),
                                      WordDiffText::words(QString::fromStdString(t.after)));
        diffBefore_ = t.before;
        diffAfter_ = t.after;
        diffShownWidth_ = -1;  // written anew by placeTexts
        trailingLine_ = lineStart(t.before, t.after);
        if (!std::exchange(showsDiff_, true)) {
            fullTrailing_.clear();
            trailing_->setTextFormat(Qt::RichText);
            trailing_->setWordWrap(true);  // two lines at most, see placeTexts
            trailing_->setToolTip(tr("What you changed in this paragraph"));
        }
        return true;
    }
    QString text = t.kind == Kind::copied ? QStringLiteral("✓ ") + tr("Paragraph copied")
                                          : QString::fromStdString(t.text);
    if (std::exchange(showsDiff_, false)) {
        diffOps_.clear();
        diffBefore_.clear();
        diffAfter_.clear();
        trailing_->setTextFormat(Qt::PlainText);
        trailing_->setWordWrap(false);
        changed = true;
    } else if (text == fullTrailing_) {
        return changed;
    }
    fullTrailing_ = std::move(text);
    trailingLine_ = fullTrailing_;
    return true;
}

namespace {

// The advance of `text` in one line, or one over `bound` when it is wider:
// a paragraph's worth is measured only as far as the bar could show it.
int advanceUpTo(const QFontMetrics& metrics, const QString& text, int bound) {
    for (qsizetype n = 256;; n *= 4) {
        if (n >= text.size()) return metrics.horizontalAdvance(text);
        // A length given with the whole text would still lay all of it out.
        if (const int w = metrics.horizontalAdvance(text.left(n)); w > bound || n >= kMostMeasured)
            return w;
    }
}

// As much of `word` as the bar writes, `limit` characters at most: a word
// cut at kMostMeasured says so with an ellipsis, which lines no wider than
// that many characters never reach.
QString shownPart(const QString& word, qint64 limit) {
    const auto before = [&word](qsizetype at) {
        return word[at].isLowSurrogate() ? at - 1 : at;  // never half a character
    };
    if (word.size() > kMostMeasured) {
        const qsizetype at = before(kMostMeasured);
        if (limit > at) return word.left(at) + QChar(0x2026);
    }
    return word.size() > limit ? word.left(before(qsizetype(limit))) : word;
}

// The steps of `ops` that the first two lines of a label `width` wide can
// hold. A line holds at most its width of words (a word wider than a line
// is one line of its own), so none that starts past three lines' worth can
// be there; the rest would cost a paragraph's layout on every key. Nor can
// more of one word than three lines' worth of pixels, each character one at
// least, and never more than kMostMeasured: a paragraph of one long word (a
// paste without a space, a script without them, a letter under thousands of
// accents) is written only as far. The diff keeps its words whole; this is
// the one place they are cut (shownPart).
std::vector<WordDiffText::Op> shownSteps(const std::vector<WordDiffText::Op>& ops,
                                         const QFontMetrics& metrics, int width) {
    const int line = std::max(width, 1), space = metrics.horizontalAdvance(QChar(u' '));
    const qint64 limit = 3 * qint64(line + space);
    qint64 used = 0;
    std::vector<WordDiffText::Op> out;
    for (size_t n = 0; n < ops.size() && used <= limit; ++n) {
        WordDiffText::Op op = ops[n];
        op.word = shownPart(op.word, limit);
        used += std::clamp(metrics.horizontalAdvance(op.word + u' '), 1, line);
        out.push_back(std::move(op));
    }
    return out;
}

}  // namespace

void StatusBarWidget::placeTexts() {
    const QFontMetrics metrics = fontMetrics();
    const int width = texts_->width(), lineHeight = metrics.lineSpacing();
    const bool retry = !retry_->isHidden();
    const QSize retrySize = retry ? retry_->sizeHint() : QSize(0, 0);
    // The message and the trailing side, with the gap between them.
    const int room = std::max(width - (retry ? retrySize.width() + kSpacing : 0), 0);
    trailingNatural_ = advanceUpTo(metrics, trailingLine_, room) + 2;
    // One line: a message's line breaks read as spaces here.
    const QString line = fullMessage_.simplified();
    const int messageNatural = metrics.horizontalAdvance(line) + 2;
    // The state and "Retry" come first; the trailing side keeps what the
    // message leaves, and at least its share when both are too long. A
    // failure's cause and what to do matter more than any hint or count, so
    // beside one the trailing side has only what is left, gap and all.
    const int share = retry ? 0 : std::max(room - kSpacing, 0) / kTrailingShare;
    // A notice answers what the user just did (an undo applied out of
    // sight, or passed over): for its few seconds it is said whole, and a
    // failure keeps what is left until it is back in full.
    const int trailingWidth =
        noticeShown_
            ? std::min(trailingNatural_, room)
            : std::clamp(std::max(room - kSpacing - messageNatural, share), 0, trailingNatural_);
    const int messageWidth =
        std::clamp(room - (trailingWidth > 0 ? trailingWidth + kSpacing : 0), 0, messageNatural);
    // What went wrong is at the start and what to do at the end: the middle
    // gives way (whole in the tooltip).
    const QString shown =
        messageWidth >= messageNatural
            ? line
            : metrics.elidedText(line, Qt::ElideMiddle, std::max(messageWidth - 2, 0));

    const int messageHeight = lineHeight + 2;
    const int trailingHeight = (fullTrailing_.isEmpty() ? 2 : 1) * lineHeight + 2;
    const int needed = std::max({retrySize.height(), messageHeight, trailingHeight});
    if (texts_->minimumHeight() != needed) texts_->setMinimumHeight(needed);

    const int top = std::max(texts_->height() - needed, 0) / 2;
    message_->setText(shown);
    message_->setGeometry(0, top + (needed - messageHeight) / 2, messageWidth, messageHeight);
    if (retry)
        retry_->setGeometry(messageWidth + kSpacing, top + (needed - retrySize.height()) / 2,
                            retrySize.width(), retrySize.height());
    trailing_->setGeometry(width - trailingWidth, top + (needed - trailingHeight) / 2,
                           trailingWidth, trailingHeight);
    if (showsDiff_ && trailingWidth > diffShownWidth_) {
        trailing_->setText(WordDiffText::html(
            shownSteps(diffOps_, trailing_->fontMetrics(), trailingWidth), palette()));
        diffShownWidth_ = trailingWidth;
    }
    if (!fullTrailing_.isEmpty()) {
        const QString cut = metrics.elidedText(fullTrailing_, Qt::ElideRight, trailingWidth);
        trailing_->setText(cut);
        trailing_->setToolTip(cut == fullTrailing_ ? QString() : fullTrailing_);
    }
}

bool StatusBarWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == texts_ && event->type() == QEvent::Resize) {
        // A change waiting for the end of the turn is placed at the new size now.
        if (refreshQueued_) takeInState();
        placeTexts();
    }
    return QWidget::eventFilter(watched, event);
}

void StatusBarWidget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The word diff's colours follow the palette, and its steps the font.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        diffShownWidth_ = -1;
        placeTexts();
    }
}

}  // namespace verbolin
