#include "verbolin/ui/QtMainExecutor.hpp"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace verbolin {

QtMainExecutor::QtMainExecutor() { context_.moveToThread(QCoreApplication::instance()->thread()); }

void QtMainExecutor::post(Task task) {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

void QtMainExecutor::postAfter(std::chrono::nanoseconds delay, Task task) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    // A timer must be started from the thread it runs in.
    post([this, ms, task = std::move(task)]() mutable {
        QTimer::singleShot(ms, &context_, std::move(task));
    });
}

bool QtMainExecutor::isMainThread() const { return QThread::currentThread() == context_.thread(); }

}  // namespace verbolin
