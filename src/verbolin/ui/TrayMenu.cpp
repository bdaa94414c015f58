#include "verbolin/ui/TrayMenu.hpp"

#include <QKeySequence>

namespace verbolin {

namespace {
constexpr const char* kActionIndex = "verbolinAction";
}

TrayMenu::TrayMenu(AppModel& model, TrayMenuModel::Services services, QObject* parent)
    : QObject(parent),
      model_(model),
      services_(std::move(services)),
      menu_(std::make_unique<QMenu>()) {
    connect(menu_.get(), &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    rebuild();
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::rebuild() {
    menu_->clear();
    actions_.clear();
    fill(*menu_, TrayMenuModel::build(model_, services_));
}

void TrayMenu::fill(QMenu& menu, const std::vector<TrayMenuModel::Entry>& entries) {
    for (const auto& e : entries) {
        if (e.separator) {
            menu.addSeparator();
            continue;
        }
        const auto title = QString::fromStdString(e.title);
        if (!e.submenu.empty()) {
            // Owned by `menu`, so clearing it removes the submenu too.
            fill(*menu.addMenu(title), e.submenu);
            continue;
        }
        auto* action = menu.addAction(title);
        action->setEnabled(e.enabled);
        if (!e.shortcut.empty()) {
            // Shown only: the keys themselves are bound by the window and
            // the global hot key, never by a closed menu.
            action->setShortcut(QKeySequence(QString::fromStdString(e.shortcut)));
            action->setShortcutContext(Qt::WidgetShortcut);
        }
        if (e.checked) {
            action->setCheckable(true);
            action->setChecked(*e.checked);
        }
        if (e.action) {
            action->setProperty(kActionIndex, qulonglong(actions_.size()));
            actions_.push_back(e.action);
        }
        connect(action, &QAction::triggered, this, [this, action] { dispatch(action); });
    }
}

void TrayMenu::dispatch(QAction* action) {
    bool ok = false;
    const auto index = action ? action->property(kActionIndex).toULongLong(&ok) : 0;
    if (!ok || index >= actions_.size()) return;  // not one of ours
    // The closure may rebuild the menu (and so clear actions_): run a copy.
    auto run = actions_[index];
    run(model_);
}

}  // namespace verbolin
