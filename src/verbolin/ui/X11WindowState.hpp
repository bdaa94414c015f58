#pragma once
// The window manager's sticky state (shown on every workspace) of a Qt
// window, asked for the way EWMH says: a property on a window not yet
// mapped, a request to the root window for one that is. Does nothing off
// X11. Main thread only.

class QWidget;

namespace verbolin {

class X11WindowState {
  public:
    static void setSticky(QWidget& window, bool sticky);
};

}  // namespace verbolin
