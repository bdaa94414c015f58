#pragma once
// The main executor of the running application: tasks run on Qt's event loop
// in the GUI thread, in the order they were posted.

#include <QObject>

#include "platform/system/MainExecutor.hpp"

namespace verbolin {

class QtMainExecutor final : public platform::MainExecutor {
  public:
    // Needs the QCoreApplication to exist.
    QtMainExecutor();
    void post(Task task) override;
    void postAfter(std::chrono::nanoseconds delay, Task task) override;
    bool isMainThread() const override;

  private:
    QObject context_;  // lives in the GUI thread; queued calls run there
};

}  // namespace verbolin
