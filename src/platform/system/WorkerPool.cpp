#include "platform/system/WorkerPool.hpp"

#include <algorithm>
#include <utility>

namespace platform {

WorkerPool::WorkerPool(std::size_t threads) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_);
        closing_ = true;
    }
    cv_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void WorkerPool::enqueue(std::function<void()> task) {
    {
        std::lock_guard lock(m_);
        if (closing_) throw std::logic_error("WorkerPool: submit after shutdown");
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

void WorkerPool::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // closing, and everything queued has run
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();  // packaged tasks keep their exceptions; nothing escapes
    }
}

TaskGroup::TaskGroup(WorkerPool& pool, std::size_t limit)
    : pool_(pool), limit_(std::max<std::size_t>(1, limit)), state_(std::make_shared<State>()) {}

TaskGroup::~TaskGroup() { waitIdle(); }

void TaskGroup::add(std::function<void()> fn) {
    {
        std::lock_guard lock(state_->m);
        state_->pending.push_back(std::move(fn));
        if (state_->running >= limit_) return;  // a running runner will pick it up
        ++state_->running;
    }
    try {
        pool_.submit([state = state_] { drain(state); });
    } catch (...) {
        std::lock_guard lock(state_->m);
        // The pool is shutting down. Runners still alive will take what is
        // queued; with none left, nothing ever could.
        if (--state_->running == 0) {
            state_->pending.clear();
            state_->idle.notify_all();
        }
        throw;
    }
}

// One runner per concurrency slot: it keeps taking the group's tasks until
// none is left, so the limit holds without a second queue on the pool.
void TaskGroup::drain(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(state->m);
            if (state->pending.empty()) {
                --state->running;
                if (state->running == 0) state->idle.notify_all();
                return;
            }
            fn = std::move(state->pending.front());
            state->pending.pop_front();
        }
        try {
            fn();
        } catch (...) {
            std::lock_guard lock(state->m);
            if (!state->firstError) state->firstError = std::current_exception();
        }
    }
}

void TaskGroup::waitIdle() {
    std::unique_lock lock(state_->m);
    state_->idle.wait(lock, [this] { return state_->running == 0 && state_->pending.empty(); });
}

void TaskGroup::wait() {
    waitIdle();
    std::exception_ptr error;
    {
        std::lock_guard lock(state_->m);
        error = std::exchange(state_->firstError, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace platform
