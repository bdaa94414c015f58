#include "verbolin/ui/QtMainExecutor.hpp"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace verbolin {

QtMainExecutor::QtMainExecutor() { context_.moveToThread(QCoreApplication::instance()->thread()); }

QEvent::Type QtMainExecutor::taskEventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

void QtMainExecutor::post(Task task) {
    // Made before the lock is taken, so the receiving side, which takes the
    // lock before it looks at the event, sees it complete.
    auto* wake = new QEvent(taskEventType());
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    QCoreApplication::postEvent(&context_, wake);  // Qt owns and deletes it
}

void QtMainExecutor::postAfter(std::chrono::nanoseconds delay, Task task) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    // A timer must be started from the thread it runs in.
    post([this, ms, task = std::move(task)]() mutable {
        QTimer::singleShot(ms, &context_, std::move(task));
    });
}

bool QtMainExecutor::isMainThread() const { return QThread::currentThread() == context_.thread(); }

bool QtMainExecutor::Receiver::event(QEvent* e) {
    Task task;
    {
        std::lock_guard lock(owner_.mutex_);
        if (e->type() != taskEventType()) return QObject::event(e);
        // One event was posted per task, so the queue is never empty here;
        // the oldest task is this event's in effect, which keeps the order.
        if (owner_.tasks_.empty()) return true;
        task = std::move(owner_.tasks_.front());
        owner_.tasks_.pop_front();
    }
    task();
    return true;
}

}  // namespace verbolin
