#pragma once
// The running Qt application as the application model sees it. X11 has no
// hidden-application state, so the application is never hidden; it is active
// while one of its windows has the focus. Main thread only.

#include <QObject>
#include <functional>
#include <vector>

#include "verbolin/app/AppHost.hpp"

namespace verbolin {

class QtAppHost final : public QObject, public AppHost {
    Q_OBJECT
  public:
    // Needs the QApplication to exist.
    QtAppHost();
    ~QtAppHost() override;

    bool isHidden() const override { return false; }
    bool isActive() const override;
    // The window brought forward takes the focus itself; nothing else to do.
    void activate(bool) override {}
    void observeWindowChanges(std::function<void()> onChange) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void changed();
    std::vector<std::function<void()>> observers_;
};

}  // namespace verbolin
