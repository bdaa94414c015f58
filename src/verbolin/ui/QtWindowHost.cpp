#include "verbolin/ui/QtWindowHost.hpp"

#include <QApplication>
#include <QWindow>

#include "verbolin/ui/X11WindowState.hpp"

namespace verbolin {

bool QtWindowHost::isVisible() const { return window_ && window_->isVisible(); }

bool QtWindowHost::isMiniaturized() const { return window_ && window_->isMinimized(); }

bool QtWindowHost::isOcclusionVisible() const {
    if (!window_ || !window_->isVisible()) return false;
    const QWindow* handle = window_->windowHandle();
    return handle && handle->isExposed();
}

bool QtWindowHost::isKeyWindow() const { return window_ && window_->isActiveWindow(); }

void QtWindowHost::makeKeyAndOrderFront() {
    if (!window_) return;
    if (window_->isMinimized()) window_->showNormal();
    window_->show();
    window_->raise();
    window_->activateWindow();
    // Hidden while the hot key held the keyboard, the window never heard
    // that it lost the focus, so getting it back changes nothing in Qt's
    // eyes and it would stay inactive, deaf to the keyboard.
    if (QGuiApplication::focusWindow() == window_->windowHandle() &&
        QApplication::activeWindow() != window_)
        QApplication::setActiveWindow(window_);
}

void QtWindowHost::orderOut() {
    if (window_) window_->hide();
}

void QtWindowHost::setLevel(int level) {
    level_ = level;
    if (!window_) return;
    const bool onTop = level != kNormalLevel;
    if (window_->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) return;
    // Changing a flag of a shown window hides it; show it again as it was.
    const bool shown = window_->isVisible();
    window_->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (shown) window_->show();
}

void QtWindowHost::setCollectionBehavior(unsigned behavior) {
    const bool wasSticky = behavior_ & kCanJoinAllSpaces, sticky = behavior & kCanJoinAllSpaces;
    behavior_ = behavior;
    // Only a change, or a window made anew, asks the window manager.
    if (window_ && (sticky || wasSticky)) X11WindowState::setSticky(*window_, sticky);
}

}  // namespace verbolin
