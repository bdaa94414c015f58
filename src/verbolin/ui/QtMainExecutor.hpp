#pragma once
// The main executor of the running application: tasks run on Qt's event loop
// in the GUI thread, in the order they were posted. Any thread may post.
//
// The tasks wait in a queue of the executor's own, under its own lock, and a
// bare event wakes the GUI thread for each. So a task, and whatever it
// captured, is made on the posting thread and destroyed on the GUI thread,
// never the other way round; and the hand-over is visible to the thread
// sanitizer, which cannot see inside Qt's own locking.

#include <QEvent>
#include <QObject>
#include <deque>
#include <mutex>

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
    // Lives in the GUI thread; each of its task events runs one task.
    class Receiver final : public QObject {
      public:
        explicit Receiver(QtMainExecutor& owner) : owner_(owner) {}
        bool event(QEvent* e) override;

      private:
        QtMainExecutor& owner_;
    };

    static QEvent::Type taskEventType();

    std::mutex mutex_;
    std::deque<Task> tasks_;  // guarded by mutex_
    Receiver context_{*this};
};

}  // namespace verbolin
