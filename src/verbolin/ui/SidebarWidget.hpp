#pragma once
// The editor's left column: "All", the sessions under their day headings,
// a context menu per session and the "New Session" button. All rules live in
// SidebarModel; this only shows them and forwards the user's choices.

#include <QWidget>
#include <functional>
#include <string>

#include "platform/system/Observable.hpp"
#include "verbolin/ui/SidebarModel.hpp"

class QLabel;
class QListWidget;
class QPushButton;

namespace verbolin {

class Pasteboard;

class SidebarWidget : public QWidget {
    Q_OBJECT
  public:
    // `scope`, `store` and `pasteboard` must outlive the widget.
    SidebarWidget(TranscriptStore& store, std::string& scope, Pasteboard& pasteboard,
                  QWidget* parent = nullptr);

    std::function<void()> onNewSession;
    std::function<void()> onScopeChanged;

    // Re-reads the store; runs on the next turn after every store change.
    void reload();
    QListWidget* list() const { return list_; }
    QLabel* emptyOverlay() const { return empty_; }
    QPushButton* newSessionButton() const { return newSession_; }
    SidebarModel& model() { return model_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Rows fit the column's width: each line is cut with an ellipsis.
    void elideRows();
    // "Nothing yet" sits centred in the free space under the rows.
    void placeEmptyOverlay();
    void showContextMenu(const QPoint& pos);
    void rename(const SessionItem& item);

    TranscriptStore& store_;
    std::string& scope_;
    Pasteboard& pasteboard_;
    SidebarModel model_;
    std::vector<SessionItem> rows_;  // by the list row's data index
    QListWidget* list_;
    QLabel* empty_;
    QPushButton* newSession_;
    platform::ObservationToken segmentsToken_, sessionsToken_;
    bool reloading_ = false;
};

}  // namespace verbolin
