#pragma once
// An unbounded channel from any number of producers to one consumer, the
// stand-in for an asynchronous stream: producers yield() from any thread (the
// audio thread included; the lock is held only to move the value in), the
// consumer blocks in next(). After finish() the consumer still receives what
// was buffered, then nullopt. Share it through std::shared_ptr.
//
// A stream made with a capacity is bounded: yield() then waits while that many
// values are buffered, so a fast producer is held back by a slow consumer
// (back-pressure). Never bound a stream that a real-time thread feeds.
//
// Cancellation is cooperative, through std::stop_token: a consumer waiting in
// next(token) returns nullopt as soon as its token is stopped. A termination
// handler, when set, runs once when the stream ends: at finish(), or when the
// stream goes away unfinished.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace platform {

template <class T>
class AsyncStream {
  public:
    static std::shared_ptr<AsyncStream> make() { return std::make_shared<AsyncStream>(); }
    // Bounded: at most `capacity` values wait in the buffer (0 means unbounded).
    static std::shared_ptr<AsyncStream> make(size_t capacity) {
        return std::make_shared<AsyncStream>(capacity);
    }

    AsyncStream() = default;
    explicit AsyncStream(size_t capacity) : capacity_(capacity) {}
    ~AsyncStream() { finish(); }
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;

    // Buffers the value for the consumer, first waiting for room when the
    // stream is bounded and full. Returns false, dropping it, once the stream
    // is finished (also when it finishes during the wait).
    bool yield(T value) {
        {
            std::unique_lock lock(m_);
            if (capacity_ > 0)
                space_.wait(lock, [this] { return finished_ || items_.size() < capacity_; });
            if (finished_) return false;
            items_.push_back(std::move(value));
        }
        cv_.notify_one();
        return true;
    }

    // Ends the stream; later yields are dropped. Idempotent: the termination
    // handler runs on the first call only, outside the lock.
    void finish() {
        std::function<void()> handler;
        {
            std::lock_guard lock(m_);
            if (finished_) return;
            finished_ = true;
            handler = std::move(onTermination_);
        }
        cv_.notify_all();
        space_.notify_all();
        if (handler) handler();
    }

    // Sets what runs once when the stream ends. On a stream that has already
    // ended it runs at once, on the calling thread.
    void setOnTermination(std::function<void()> handler) {
        {
            std::lock_guard lock(m_);
            if (!finished_) {
                onTermination_ = std::move(handler);
                return;
            }
        }
        if (handler) handler();
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

    // As next(), but waits no longer once `token` is stopped: it then returns a
    // value already buffered, or nullopt.
    std::optional<T> next(std::stop_token token) {
        std::unique_lock lock(m_);
        if (!cv_.wait(lock, token, [this] { return finished_ || !items_.empty(); }))
            return std::nullopt;
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
        if (capacity_ > 0) space_.notify_one();
        return v;
    }

    mutable std::mutex m_;
    std::condition_variable_any cv_;     // consumers wait for values
    std::condition_variable_any space_;  // producers of a bounded stream wait for room
    const size_t capacity_ = 0;
    std::deque<T> items_;
    bool finished_ = false;
    std::function<void()> onTermination_;
};

}  // namespace platform
