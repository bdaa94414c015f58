#pragma once
// The tray item's menu as Qt widgets: rebuilt from the model every time it is
// about to open, so it never goes stale. Every action leads to one slot,
// which runs the closure the chosen entry carries.

#include <QMenu>
#include <QObject>
#include <memory>
#include <vector>

#include "verbolin/ui/TrayMenuModel.hpp"

namespace verbolin {

class TrayMenu : public QObject {
    Q_OBJECT
  public:
    TrayMenu(AppModel& model, TrayMenuModel::Services services, QObject* parent = nullptr);
    ~TrayMenu() override;

    QMenu* menu() { return menu_.get(); }
    // Fills the menu from the current state; also run on every opening.
    void rebuild();

    // Runs the chosen action's closure; actions not made here do nothing.
    void dispatch(QAction* action);

  private:
    void fill(QMenu& menu, const std::vector<TrayMenuModel::Entry>& entries);

    AppModel& model_;
    TrayMenuModel::Services services_;
    std::unique_ptr<QMenu> menu_;
    std::vector<TrayMenuModel::Action> actions_;  // indexed by each QAction's data
};

}  // namespace verbolin
