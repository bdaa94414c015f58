#pragma once
// A fixed set of worker threads taking tasks from one FIFO queue, and a group
// that runs a batch of tasks on such a pool with its own concurrency limit.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform {

class WorkerPool {
  public:
    // `threads` == 0 means one per hardware thread (at least one).
    explicit WorkerPool(std::size_t threads = 0);
    // Runs every task still queued, then joins the workers.
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues `fn`; the future carries its result or the exception it threw.
    // Throws std::logic_error once the pool is shutting down.
    template <class F>
    auto submit(F&& fn) -> std::future<std::invoke_result_t<std::decay_t<F>&>> {
        using R = std::invoke_result_t<std::decay_t<F>&>;
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        std::future<R> result = task->get_future();
        enqueue([task] { (*task)(); });
        return result;
    }

    std::size_t threadCount() const { return workers_.size(); }

  private:
    void enqueue(std::function<void()> task);
    void run();

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool closing_ = false;
    std::vector<std::thread> workers_;
};

// Runs added tasks on a pool, never more than `limit` of them at once, so a
// batch (say, chunks to transcribe) cannot take over every worker.
// wait() must not be called from a worker of the same pool: it would hold a
// worker while waiting for tasks that may need it.
class TaskGroup {
  public:
    // `limit` == 0 is taken as 1.
    TaskGroup(WorkerPool& pool, std::size_t limit);
    // Waits for every added task. An exception not yet collected by wait() is
    // lost here, since a destructor cannot throw: call wait() first.
    ~TaskGroup();

    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    void add(std::function<void()> fn);

    // Blocks until every added task has finished, then rethrows the first
    // exception any of them threw (once; the group is reusable afterwards).
    void wait();

  private:
    struct State {
        std::mutex m;
        std::condition_variable idle;
        std::deque<std::function<void()>> pending;
        std::size_t running = 0;  // runners submitted to the pool
        std::exception_ptr firstError;
    };
    static void drain(const std::shared_ptr<State>& state);
    void waitIdle();

    WorkerPool& pool_;
    std::size_t limit_;
    // Shared with the runners so that none touches a destroyed group.
    std::shared_ptr<State> state_;
};

}  // namespace platform
