#pragma once
// The editor window as the application model drives it, over a Qt top-level
// widget. The widget may be deleted at any time (closing the editor deletes
// it); the host then answers as a window that is not shown. Main thread only.

#include <QPointer>
#include <QWidget>

#include "verbolin/app/WindowHost.hpp"

namespace verbolin {

class QtWindowHost final : public WindowHost {
  public:
    explicit QtWindowHost(QWidget* window) : window_(window) {}

    bool isVisible() const override;
    bool isMiniaturized() const override;
    bool isOcclusionVisible() const override;
    bool isKeyWindow() const override;

    void makeKeyAndOrderFront() override;
    void orderOut() override;
    // Floating keeps the window above the others.
    void setLevel(int level) override;
    // Every workspace: the window manager's sticky state. Beside full-screen
    // windows has no meaning on X11 and is only remembered.
    void setCollectionBehavior(unsigned behavior) override;

    int level() const { return level_; }
    unsigned collectionBehavior() const { return behavior_; }

  private:
    QPointer<QWidget> window_;
    int level_ = kNormalLevel;
    unsigned behavior_ = 0;
};

}  // namespace verbolin
