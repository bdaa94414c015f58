#pragma once
// An AsyncStream that can end with an error: the producer finishes it either
// normally or with the error that stopped it, and the consumer, once it has
// drained the values, learns which. The stream itself (buffering, the
// termination handler, cancellation by stop token) is AsyncStream's.

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "platform/system/AsyncStream.hpp"

namespace platform {

template <class T>
class AsyncThrowingStream {
  public:
    static std::shared_ptr<AsyncThrowingStream> make() {
        return std::make_shared<AsyncThrowingStream>();
    }

    bool yield(T value) { return values_.yield(std::move(value)); }

    void finish() { values_.finish(); }

    // Ends the stream with an error; ignored when it has already ended.
    void finish(std::exception_ptr error) {
        {
            std::lock_guard lock(m_);
            if (!values_.isFinished() && !error_) error_ = std::move(error);
        }
        values_.finish();
    }

    void setOnTermination(std::function<void()> handler) {
        values_.setOnTermination(std::move(handler));
    }

    // The next value; nullopt at a normal end. At the end of a stream that
    // finished with an error, rethrows that error instead (every time).
    std::optional<T> next() { return checked(values_.next()); }
    std::optional<T> next(std::stop_token token) {
        auto v = values_.next(token);
        if (v || token.stop_requested()) return v;
        return checked(std::move(v));
    }
    std::optional<T> next(std::chrono::nanoseconds timeout) {
        auto v = values_.next(timeout);
        if (v || !values_.isFinished()) return v;
        return checked(std::move(v));
    }

    bool isFinished() const { return values_.isFinished(); }
    size_t buffered() const { return values_.buffered(); }

    // The error the stream ended with, if any.
    std::exception_ptr error() const {
        std::lock_guard lock(m_);
        return error_;
    }

  private:
    std::optional<T> checked(std::optional<T> v) {
        if (!v) {
            if (auto e = error()) std::rethrow_exception(e);
        }
        return v;
    }

    AsyncStream<T> values_;
    mutable std::mutex m_;
    std::exception_ptr error_;
};

}  // namespace platform
