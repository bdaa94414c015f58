#pragma once
// The editor's left column: "All", the sessions under their day headings,
// a context menu per session and the "New Session" button. All rules live in
// SidebarModel; this only shows them and forwards the user's choices.

#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/system/Observable.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/SidebarModel.hpp"

class QLabel;
class QListWidgetItem;
class QListWidget;
class QPushButton;

namespace verbolin {

class Pasteboard;
class RowCut;
class SessionRow;

class SidebarWidget : public QWidget {
    Q_OBJECT
  public:
    // `scope`, `store` and `pasteboard` must outlive the widget.
    SidebarWidget(TranscriptStore& store, std::string& scope, Pasteboard& pasteboard,
                  QWidget* parent = nullptr);

    std::function<void()> onNewSession;
    std::function<void()> onScopeChanged;

    // Brings the rows up to date with the store, writing only those whose
    // session or day changed; runs on the next turn after every store change.
    void reload();
    // Rows written since the widget was made: a row costs its texts and
    // the view's notice of them, so a change should write its own alone.
    size_t rowsWritten() const { return rowsWritten_; }
    QListWidget* list() const { return list_; }
    QLabel* emptyOverlay() const { return empty_; }
    QPushButton* newSessionButton() const { return newSession_; }
    SidebarModel& model() { return model_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Rows fit the column's width: each line is cut with an ellipsis, as
    // it is drawn or read, once for each width the column takes.
    int elisionWidth() const;
    // One entry as it should be listed: added, moved or written anew where
    // it is not listed so yet.
    void showEntry(const SessionItem& item, std::uint64_t revision, platform::Date day);
    void place(const std::string& id);
    void unplace(const std::string& id);
    void write(const std::string& id);
    // "Today" and "Yesterday" move on at midnight.
    void titleDays();
    void selectScope();
    // "Nothing yet" sits centred in the free space under the rows.
    void placeEmptyOverlay();
    void showContextMenu(const QPoint& pos);
    void rename(const SessionItem& item);

    TranscriptStore& store_;
    std::string& scope_;
    Pasteboard& pasteboard_;
    SidebarModel model_;
    // Each listed entry by id, with the summary revision it was written at
    // (0: the kept entry, written at every reload).
    struct Shown {
        SessionItem item;
        std::uint64_t revision = 0;
        platform::Date day{};
        SessionRow* entry = nullptr;
        std::uint64_t seen = 0;
    };
    std::unordered_map<std::string, Shown> shown_;
    // Day headings newest first, each with its entries' ids in list order.
    struct DayRows {
        QListWidgetItem* heading = nullptr;
        std::vector<std::string> ids;
    };
    std::map<platform::Date, DayRows, std::greater<>> days_;
    QListWidgetItem* all_ = nullptr;
    std::optional<platform::Date> titledOn_;
    std::optional<TranscriptStore::DayTitles> dayTitles_;
    std::uint64_t reloads_ = 0;
    // The summaries' revision the rows show, once built.
    std::optional<std::uint64_t> seenRevision_;
    std::optional<std::string> keptId_;
    size_t rowsWritten_ = 0;
    QListWidget* list_;
    std::shared_ptr<RowCut> cut_;
    QLabel* empty_;
    QPushButton* newSession_;
    platform::ObservationToken segmentsToken_, sessionsToken_;
    bool reloading_ = false;
};

}  // namespace verbolin
