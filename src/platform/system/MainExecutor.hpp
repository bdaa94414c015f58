#pragma once
// The main thread as a task queue. Work that must run where the user interface
// and the application model live is posted here; the application installs an
// implementation backed by its event loop, tests use ManualMainExecutor.

#include <chrono>
#include <functional>

namespace platform {

class MainExecutor {
  public:
    using Task = std::function<void()>;

    virtual ~MainExecutor() = default;

    // Runs the task on the main thread after every task posted before it.
    // Callable from any thread.
    virtual void post(Task task) = 0;

    // Runs the task on the main thread once the delay has passed. Tasks due at
    // the same time run in the order they were posted.
    virtual void postAfter(std::chrono::nanoseconds delay, Task task) = 0;

    virtual bool isMainThread() const = 0;
};

}  // namespace platform
