#pragma once
// The application's tray icon: it shows the engine's state, opens the tray
// menu on a left or right click, and carries the hot-key tooltip. Where the
// desktop has no tray the icon is not shown and available() says so; the
// menu is still built, and the icon appears once a tray host starts (a
// panel that autostarts after the application does). Main thread only.

#include <QObject>
#include <QString>
#include <memory>

#include "platform/system/Observable.hpp"
#include "verbolin/ui/TrayMenu.hpp"

class QSystemTrayIcon;
class QTimer;

namespace verbolin {

class TrayItem final : public QObject {
    Q_OBJECT
  public:
    static inline const char* const kToolTip =
        "Verbolin \u2014 Ctrl+Alt+Space shows the window from anywhere";

    // `model` must outlive the item.
    TrayItem(AppModel& model, TrayMenuModel::Services services, QObject* parent = nullptr);
    ~TrayItem() override;

    // Whether a tray host is there to show the icon.
    static bool hostAvailable();
    bool available() const { return shown_; }

    // How often a missing tray host is looked for.
    static constexpr int kHostPollMs = 1000;

    // Removes the icon, for quitting.
    void hide();

    // The symbol the icon shows now.
    const QString& symbol() const { return symbol_; }
    QSystemTrayIcon& icon() { return *icon_; }
    TrayMenu& menu() { return *menu_; }

  private:
    void refreshIcon();
    // Shows the icon once a tray host is there; true when it is shown.
    bool showWhenHostAppears();

    AppModel& model_;
    std::unique_ptr<TrayMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QTimer> hostPoll_;
    QString symbol_;
    bool shown_ = false;
    platform::ObservationToken stateToken_, recordingToken_;
};

}  // namespace verbolin
