#pragma once
// A scripted recogniser for tests of the listening side. Each transcribe()
// call takes the next scripted reply (or the default one when the script is
// empty): a text, an optional delay, an optional error, and optionally a hold
// that keeps the call blocked until release() so a test can decide exactly
// when a decode finishes. Every call is recorded.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/TaskCancellation.hpp"
#include "verbolin/listening/SpeechEngine.hpp"

namespace testsupport {

class FakeSpeechEngine : public verbolin::SpeechEngine {
  public:
    struct Reply {
        std::string text;
        std::chrono::milliseconds delay{0};
        std::optional<std::string> error;  // thrown as std::runtime_error with this message
        bool hold = false;                 // block until release()
        // A held call that does not see its task's stop request, as a
        // recogniser deep in one step or a thread stopped from outside; it
        // returns by itself after this long, so a failing test ends.
        std::optional<std::chrono::milliseconds> deafFor;

        static Reply say(std::string text) {
            Reply r;
            r.text = std::move(text);
            return r;
        }
        static Reply fail(std::string message) {
            Reply r;
            r.error = std::move(message);
            return r;
        }
        static Reply held(std::string text) {
            Reply r = say(std::move(text));
            r.hold = true;
            return r;
        }
        static Reply stuck(std::string text,
                           std::chrono::milliseconds deafFor = std::chrono::seconds(30)) {
            Reply r = held(std::move(text));
            r.deafFor = deafFor;
            return r;
        }
        static Reply slow(std::string text, std::chrono::milliseconds delay) {
            Reply r = say(std::move(text));
            r.delay = delay;
            return r;
        }
    };

    struct Call {
        size_t sampleCount = 0;
        std::optional<std::string> context;
    };

    std::string name() const override { return "fake"; }

    void prepare() override {
        std::lock_guard lock(mutex_);
        ++prepareCount_;
        if (prepareError_) throw std::runtime_error(*prepareError_);
    }

    std::string transcribe(std::span<const float> samples,
                           const std::optional<std::string>& context) override {
        Reply reply;
        {
            std::unique_lock lock(mutex_);
            calls_.push_back({samples.size(), context});
            ++running_;
            maxRunning_ = std::max(maxRunning_, running_);
            if (!script_.empty()) {
                reply = std::move(script_.front());
                script_.pop_front();
            } else {
                reply = defaultReply_;
            }
            cv_.notify_all();
            if (reply.hold) {
                // Held until released, or until the caller's task is
                // cancelled, as the real recogniser gives up between steps;
                // a deaf hold until released or its time is up.
                const unsigned ticket = heldSoFar_++;
                const auto upAt = std::chrono::steady_clock::now() +
                                  reply.deafFor.value_or(std::chrono::milliseconds(0));
                while (!cv_.wait_for(lock, std::chrono::milliseconds(5),
                                     [&] { return releasedCount_ > ticket; })) {
                    if (reply.deafFor && std::chrono::steady_clock::now() > upAt) break;
                    if (!reply.deafFor && platform::TaskCancellation::isCancelled()) {
                        --running_;
                        ++cancelledCount_;
                        cv_.notify_all();
                        throw platform::CancellationError();
                    }
                }
            }
        }
        if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
        std::lock_guard lock(mutex_);
        --running_;
        cv_.notify_all();
        if (reply.error) throw std::runtime_error(*reply.error);
        return reply.text;
    }

    // Replies are taken in order, one per call.
    void script(Reply reply) {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(reply));
    }
    void setDefault(Reply reply) {
        std::lock_guard lock(mutex_);
        defaultReply_ = std::move(reply);
    }
    void failPrepare(std::string message) {
        std::lock_guard lock(mutex_);
        prepareError_ = std::move(message);
    }

    // Lets the oldest held call return.
    void release(unsigned count = 1) {
        std::lock_guard lock(mutex_);
        releasedCount_ += count;
        cv_.notify_all();
    }

    // Blocks until at least `count` calls have started; false on timeout.
    bool waitForCalls(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Held calls that ended through cancellation instead of release().
    int cancelledCount() const {
        std::lock_guard lock(mutex_);
        return cancelledCount_;
    }
    int prepareCount() const {
        std::lock_guard lock(mutex_);
        return prepareCount_;
    }
    // Calls inside transcribe() now.
    int runningCalls() const {
        std::lock_guard lock(mutex_);
        return running_;
    }
    // The most calls that were inside transcribe() at the same time.
    int maxConcurrentCalls() const {
        std::lock_guard lock(mutex_);
        return maxRunning_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Reply> script_;
    Reply defaultReply_;
    std::optional<std::string> prepareError_;
    std::vector<Call> calls_;
    int prepareCount_ = 0;
    int running_ = 0;
    int maxRunning_ = 0;
    unsigned heldSoFar_ = 0;
    unsigned releasedCount_ = 0;
    int cancelledCount_ = 0;
};

}  // namespace testsupport
