#pragma once
// The editor window: the session sidebar beside the timeline (or, for an
// empty transcript, a placeholder that follows the engine), the status bar
// under it, and a toolbar with the listening button, the level meter, the
// search field, "Always on top" and the text size. The rules live in
// EditorModel; this lays out, renders on change and forwards. The window's
// state goes with it: the shell deletes it on close and makes a new one.
// Main thread only.

#include <QMainWindow>
#include <QPointer>
#include <memory>
#include <string>

#include "platform/system/MainExecutor.hpp"
#include "platform/system/Observable.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/TimelinePane.hpp"

class QAction;
class QLabel;
class QLineEdit;
class QSlider;
class QSplitter;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace verbolin {

class AppModel;
class LevelMeter;
class Pasteboard;
class QtWindowHost;
class SidebarWidget;
class StatusBarWidget;

class EditorWindow final : public QMainWindow {
    Q_OBJECT
  public:
    static constexpr int kDefaultWidth = 960, kDefaultHeight = 600;
    static constexpr int kMinimumWidth = 520, kMinimumHeight = 320;
    // The sidebar's least width where the window has room for it.
    static constexpr int kSidebarWidth = 180;
    static constexpr int kSliderScale = 100;  // slider steps per point of text size

    // `model`, `main` and `pasteboard` must outlive the window.
    EditorWindow(AppModel& model, platform::MainExecutor& main, Pasteboard& pasteboard,
                 QWidget* parent = nullptr);
    ~EditorWindow() override;

    EditorModel& editor() { return editor_; }
    // What the application model drives; handed to it on every show.
    std::shared_ptr<QtWindowHost> host() const { return host_; }

    // Renders the current state now (it otherwise follows on the next turn).
    void refresh();
    // Deletes the paragraphs the timeline's selection touches: with only a
    // caret, the paragraph holding it. The timeline's "Delete Paragraph" asks
    // for it, and its Ctrl+Backspace when there is a selection; with a caret,
    // or in any other field, the key deletes a word.
    void deleteSelection();
    void newSession();
    // Ctrl+Z and Ctrl+Shift+Z anywhere in the window: the last edit of one
    // paragraph taken back (put again), in whichever view shows it.
    void undo() { stepHistory(true); }
    void redo() { stepHistory(false); }
    // A paragraph was copied from the timeline at `now`.
    void paragraphCopied(platform::Date now);

    TimelinePane* pane() const { return pane_; }
    QWidget* placeholder() const { return placeholder_; }
    QLabel* placeholderText() const { return placeholderText_; }
    QAction* searchAction() const { return searchAction_; }
    QLineEdit* searchField() const { return search_; }
    QToolButton* listenButton() const { return listen_; }
    QToolButton* pinButton() const { return pin_; }
    QSlider* fontSlider() const { return slider_; }
    SidebarWidget* sidebar() const { return sidebar_; }
    StatusBarWidget* statusBar() const { return status_; }
    LevelMeter* levelMeter() const { return meter_; }

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void scheduleRefresh();
    void buildToolbar();
    void makePane();
    void updateStatusSelection();
    void stepHistory(bool back);
    // Whether the view shows the segments `step` put in (or took out).
    bool shows(const ParagraphEditor::Outcome& step) const;
    // Whether the paragraph of `step` is known to be out of the screen's
    // sight: the view holds it, or could, but is scrolled elsewhere.
    bool outOfSight(const ParagraphEditor::Outcome& step) const;

    AppModel& model_;
    platform::MainExecutor& main_;
    EditorModel editor_;
    std::shared_ptr<QtWindowHost> host_;
    std::string paneScope_;      // the scope the pane was made for
    bool sidebarKeeps_ = false;  // the sidebar shows the editor's kept entry
    bool refreshQueued_ = false;
    bool shownOnce_ = false;  // the free memory of the start was handed back
    // Runs out a moment after the last change of the transcript.
    QTimer* quiet_ = nullptr;
    static constexpr int kQuietMs = 1000;
    // Brings the rest of a search's matches once its newest are drawn.
    QTimer* searchRest_ = nullptr;
    static constexpr int kSearchRestMs = 50;

    SidebarWidget* sidebar_;
    QSplitter* splitter_;
    QVBoxLayout* contentLayout_;
    QPointer<TimelinePane> pane_;
    QWidget* placeholder_;
    QLabel* placeholderIcon_;
    QLabel* placeholderText_;
    StatusBarWidget* status_;
    QToolButton* listen_ = nullptr;
    LevelMeter* meter_ = nullptr;
    QLineEdit* search_ = nullptr;
    QAction* searchAction_ = nullptr;
    QToolButton* pin_ = nullptr;
    QSlider* slider_ = nullptr;
    platform::ObservationToken segmentsToken_, sessionsToken_, stateToken_, recordingToken_,
        levelToken_;
    // The toolbar shows settings that the tray menu changes too.
    platform::ObservationToken settingsToken_;
};

}  // namespace verbolin
