#include "verbolin/ui/QtAppHost.hpp"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace verbolin {

QtAppHost::QtAppHost() {
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, &QtAppHost::changed);
}

QtAppHost::~QtAppHost() {
    if (qApp) qApp->removeEventFilter(this);
}

bool QtAppHost::isActive() const {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void QtAppHost::observeWindowChanges(std::function<void()> onChange) {
    observers_.push_back(std::move(onChange));
}

bool QtAppHost::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::Close:
        case QEvent::WindowStateChange:
        case QEvent::WindowActivate:
        case QEvent::WindowDeactivate:
        case QEvent::Expose:
            // Top-level windows only: every child widget sees shows too.
            if ((watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) ||
                watched->isWindowType())
                changed();
            break;
        default:
            break;
    }
    return false;
}

void QtAppHost::changed() {
    // A copy: an observer may add another.
    const auto observers = observers_;
    for (const auto& observe : observers) observe();
}

}  // namespace verbolin
