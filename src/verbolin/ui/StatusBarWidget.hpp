#pragma once
// The bar under the editor's timeline, one line high (two for a word diff):
// a message longer than its room loses its middle, and its tooltip has it
// whole. It follows the engine by itself; the editor hands it the selection
// and the last copy time.

#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Clock.hpp"
#include "platform/system/Observable.hpp"
#include "verbolin/ui/StatusBarModel.hpp"
#include "verbolin/ui/WordDiffText.hpp"

class QLabel;
class QProgressBar;
class QPushButton;

namespace verbolin {

class TranscriptStore;

class StatusBarWidget : public QWidget {
    Q_OBJECT
  public:
    explicit StatusBarWidget(TranscriptionEngine& engine,
                             const platform::Clock& clock = platform::Clock::system(),
                             QWidget* parent = nullptr);

    // Shows "Not saved" while the store keeps changes it could not write.
    void followSaving(TranscriptStore& store);
    // Taken in at the end of the turn (or at a resize before it): a drag
    // reports a selection on every move, and the bar follows the last.
    void setSelection(std::vector<Block> selected, bool hasSelection);
    void setCopiedAt(std::optional<platform::Date> copiedAt);
    // Says `text` on the trailing side for a few seconds.
    void setNotice(std::string text);
    // The notice shown now, whole; empty when none is.
    std::string notice() const;
    // That the settings were reset, said beside the state from now on.
    void setSettingsNotice(std::string notice);
    void refresh();

    QLabel* message() const { return message_; }
    QPushButton* retryButton() const { return retry_; }
    QLabel* trailing() const { return trailing_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // Once per turn however many changes ask for it.
    void scheduleRefresh();
    // Bring the widgets in line with the engine, the store and what the
    // editor handed over; true when the texts must be placed anew.
    bool takeInState();
    bool takeInLeading();
    bool takeInTrailing();
    // Places the message, "Retry" and the trailing side in one row.
    void placeTexts();

    TranscriptionEngine& engine_;
    const platform::Clock& clock_;
    TranscriptStore* store_ = nullptr;
    std::vector<Block> selected_;
    bool hasSelection_ = false;
    std::optional<platform::Date> copiedAt_;
    std::string notice_;
    std::optional<platform::Date> noticeAt_;
    QString fullMessage_;
    QString fullTrailing_;  // plain text, or empty for the word diff
    int trailingNatural_ = 0;
    bool noticeShown_ = false;  // the trailing side says a notice now
    // The trailing side's text in one line, or as much of its start as is
    // ever measured: what its natural width (or, when wider than the room,
    // more than the room) is measured on.
    QString trailingLine_;
    // The word diff shown, kept while the texts it was made of stay.
    bool showsDiff_ = false;
    std::string diffBefore_, diffAfter_;
    std::vector<WordDiffText::Op> diffOps_;
    int diffShownWidth_ = -1;  // the widest trailing side the label's steps fill
    std::string settingsNotice_;
    bool refreshQueued_ = false;
    // What the widgets were last given, so that the same is not given again.
    bool copiedShown_ = false;
    bool dotGreen_ = false, dotStyled_ = false;

    QProgressBar* spinner_;
    QLabel* warning_;
    QLabel* dot_;
    QWidget* texts_;  // the message, "Retry" and the trailing side
    QLabel* message_;
    QPushButton* retry_;
    QLabel* trailing_;
    platform::ObservationToken stateToken_, recordingToken_, savingToken_, keepingToken_;
};

}  // namespace verbolin
