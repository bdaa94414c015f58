#include "platform/system/RunLoop.hpp"

#include <algorithm>

namespace platform {
namespace {

// std heap functions keep the largest first; this puts the earliest due (and,
// at equal times, the earliest posted) first.
template <class E>
bool later(const E& a, const E& b) {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
}

}  // namespace

RunLoop::RunLoop() : owner_(std::this_thread::get_id()) {}

void RunLoop::post(Task task) { postAfter(std::chrono::nanoseconds(0), std::move(task)); }

void RunLoop::postAfter(std::chrono::nanoseconds delay, Task task) {
    {
        std::lock_guard lock(m_);
        entries_.push_back({Steady::now() + delay, nextSeq_++, std::move(task)});
        std::push_heap(entries_.begin(), entries_.end(), later<Entry>);
    }
    cv_.notify_one();
}

bool RunLoop::isMainThread() const {
    std::lock_guard lock(m_);
    return std::this_thread::get_id() == owner_;
}

void RunLoop::run() {
    std::unique_lock lock(m_);
    owner_ = std::this_thread::get_id();
    quit_ = false;
    while (!quit_) {
        if (entries_.empty()) {
            cv_.wait(lock);
            continue;
        }
        if (const auto due = entries_.front().due; due > Steady::now()) {
            // A copy: wait_until reads the time again after the wait, when a
            // post may have moved the entries.
            cv_.wait_until(lock, due);
            continue;
        }
        std::pop_heap(entries_.begin(), entries_.end(), later<Entry>);
        Task task = std::move(entries_.back().task);
        entries_.pop_back();
        lock.unlock();
        task();
        lock.lock();
    }
}

void RunLoop::quit() {
    {
        std::lock_guard lock(m_);
        quit_ = true;
    }
    cv_.notify_all();
}

}  // namespace platform
