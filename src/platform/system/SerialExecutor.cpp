#include "platform/system/SerialExecutor.hpp"

#include <pthread.h>

namespace platform {

SerialExecutor::SerialExecutor(std::string name) : name_(std::move(name)) {
    worker_ = std::thread([this] { run(); });
    workerId_ = worker_.get_id();
}

SerialExecutor::~SerialExecutor() { shutdown(); }

bool SerialExecutor::post(Task task) {
    // Notify while still holding the lock: the task may drop the last
    // reference to whoever owns this executor, and once the lock is released
    // the worker may already be running it, so post() must not touch *this
    // after that.
    std::lock_guard lock(m_);
    if (closing_) return false;
    tasks_.push_back(std::move(task));
    cv_.notify_one();
    return true;
}

void SerialExecutor::shutdown() {
    {
        std::lock_guard lock(m_);
        closing_ = true;
    }
    cv_.notify_one();
    if (worker_.joinable()) worker_.join();
}

void SerialExecutor::run() {
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    for (;;) {
        Task task;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // closing, and everything queued has run
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace platform
