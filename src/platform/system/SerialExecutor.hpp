#pragma once
// One worker thread running tasks one at a time, in the order they were
// posted: the stand-in for a serial dispatch queue or an actor's executor.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

namespace platform {

class SerialExecutor {
  public:
    using Task = std::function<void()>;

    // `name` labels the worker thread (the kernel keeps 15 characters).
    explicit SerialExecutor(std::string name);
    // Runs what is still queued, then joins the worker.
    ~SerialExecutor();

    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    // Queues the task and returns at once. A task must not throw: an
    // exception escaping it ends the process, as with a thread's own function.
    // Returns false, dropping the task, once shutdown() has begun.
    bool post(Task task);

    // Runs `fn` on the worker after everything queued before it and waits for
    // its result; an exception thrown by `fn` is rethrown here. Called from the
    // worker itself it runs inline, so a task can call it without deadlock.
    // Throws std::logic_error after shutdown().
    template <class F>
    auto call(F&& fn) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if (isCurrent()) return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        std::future<R> result = task->get_future();
        if (!post([task] { (*task)(); }))
            throw std::logic_error("SerialExecutor: call after shutdown");
        return result.get();
    }

    // True when called from the worker thread.
    bool isCurrent() const { return std::this_thread::get_id() == workerId_; }

    // Stops accepting tasks, runs those already queued and joins the worker.
    // Idempotent; must not be called from the worker.
    void shutdown();

    const std::string& name() const { return name_; }

  private:
    void run();

    std::string name_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    bool closing_ = false;
    std::thread worker_;
    std::thread::id workerId_;
};

}  // namespace platform
