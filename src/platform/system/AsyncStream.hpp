#pragma once
// An unbounded channel from any number of producers to one consumer, the
// stand-in for an asynchronous stream: producers yield() from any thread (the
// audio thread included; the lock is held only to move the value in), the
// consumer blocks in next(). After finish() the consumer still receives what
// was buffered, then nullopt. Share it through std::shared_ptr.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

template <class T>
class AsyncStream {
public:
    static std::shared_ptr<AsyncStream> make() { return std::make_shared<AsyncStream>(); }

    AsyncStream() = default;
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;

    // Buffers the value for the consumer. Returns false, dropping it, once the
    // stream is finished.
    bool yield(T value) {
        {
            std::lock_guard lock(m_);
            if (finished_) return false;
            items_.push_back(std::move(value));
        }
        cv_.notify_one();
        return true;
    }

    // Ends the stream; later yields are dropped. Idempotent.
    void finish() {
        {
            std::lock_guard lock(m_);
            finished_ = true;
        }
        cv_.notify_all();
    }

    // The next value, waiting for it; nullopt once finished and drained.
    std::optional<T> next() {
        std::unique_lock lock(m_);
        cv_.wait(lock, [this] { return finished_ || !items_.empty(); });
        return popLocked();
    }

    // As next(), but gives up after `timeout` and then also returns nullopt.
    std::optional<T> next(std::chrono::nanoseconds timeout) {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, timeout, [this] { return finished_ || !items_.empty(); });
        return popLocked();
    }

    bool isFinished() const {
        std::lock_guard lock(m_);
        return finished_;
    }

    size_t buffered() const {
        std::lock_guard lock(m_);
        return items_.size();
    }

private:
    std::optional<T> popLocked() {
        if (items_.empty()) return std::nullopt;
        std::optional<T> v(std::move(items_.front()));
        items_.pop_front();
        return v;
    }

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<T> items_;
    bool finished_ = false;
};

}  // namespace platform
