#include "verbolin/ui/TrayItem.hpp"

#include <QCursor>
#include <QSystemTrayIcon>
#include <QTimer>

#include "verbolin/app/AppModel.hpp"
#include "verbolin/ui/SymbolIcon.hpp"

namespace verbolin {

TrayItem::TrayItem(AppModel& model, TrayMenuModel::Services services, QObject* parent)
    : QObject(parent),
      model_(model),
      menu_(std::make_unique<TrayMenu>(model, std::move(services))),
      icon_(std::make_unique<QSystemTrayIcon>()) {
    icon_->setToolTip(QString::fromUtf8(kToolTip));
    icon_->setContextMenu(menu_->menu());
    // A left click opens the same menu as a right click does.
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) menu_->menu()->popup(QCursor::pos());
            });
    refreshIcon();
    // Changes may be made anywhere on the main thread, in the middle of other
    // work: the icon follows on the next turn.
    const auto later = [this] {
        QMetaObject::invokeMethod(this, &TrayItem::refreshIcon, Qt::QueuedConnection);
    };
    auto& engine = model_.engine();
    stateToken_ = engine.modelState.observe(later);
    recordingToken_ = engine.isRecording.observe(later);
    if (showWhenHostAppears()) return;
    hostPoll_ = std::make_unique<QTimer>();
    connect(hostPoll_.get(), &QTimer::timeout, this, [this] {
        if (showWhenHostAppears()) hostPoll_->stop();
    });
    hostPoll_->start(kHostPollMs);
}

bool TrayItem::showWhenHostAppears() {
    if (!hostAvailable()) return false;
    icon_->show();
    shown_ = true;
    return true;
}

TrayItem::~TrayItem() = default;

bool TrayItem::hostAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TrayItem::hide() {
    stateToken_.cancel();
    recordingToken_.cancel();
    if (hostPoll_) hostPoll_->stop();
    icon_->hide();
    shown_ = false;
}

void TrayItem::refreshIcon() {
    auto& engine = model_.engine();
    const auto state = engine.modelState.peek();
    const bool recording =
        state.kind == TranscriptionEngine::ModelState::Kind::ready && engine.isRecording.peek();
    const QString symbol = QString::fromStdString(TrayMenuModel::iconName(state, recording));
    if (symbol == symbol_) return;
    symbol_ = symbol;
    icon_->setIcon(SymbolIcon::icon(symbol_));
}

}  // namespace verbolin
