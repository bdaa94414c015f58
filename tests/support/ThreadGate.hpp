#pragma once
// Holds a thread at a point of the test's choosing, as a machine too busy to
// run it, or a debugger, would: the thread that calls the hook while the gate
// is shut waits there until it is opened. The hook may outlive the gate (a
// thread left running after the test has moved on); the gate opens as it
// goes, so a thread it held is never left waiting for nobody.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace testsupport {

class ThreadGate {
  public:
    ThreadGate() : state_(std::make_shared<State>()) {}
    ~ThreadGate() { open(); }
    ThreadGate(const ThreadGate&) = delete;
    ThreadGate& operator=(const ThreadGate&) = delete;

    std::function<void()> hook() const {
        return [state = state_] {
            std::unique_lock lock(state->m);
            ++state->arrivals;
            ++state->waiting;
            state->cv.notify_all();
            state->cv.wait(lock, [&] { return !state->shut; });
            --state->waiting;
            state->cv.notify_all();
        };
    }
    void shut() {
        std::lock_guard lock(state_->m);
        state_->shut = true;
    }
    void open() {
        {
            std::lock_guard lock(state_->m);
            state_->shut = false;
        }
        state_->cv.notify_all();
    }
    // Waits until a thread is held at the gate; false on timeout.
    bool waitForHeld(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(state_->m);
        return state_->cv.wait_for(lock, timeout, [&] { return state_->waiting > 0; });
    }
    // How many times a thread has come to the gate, held or not.
    int arrivals() const {
        std::lock_guard lock(state_->m);
        return state_->arrivals;
    }

  private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool shut = false;
        int arrivals = 0;
        int waiting = 0;
    };
    std::shared_ptr<State> state_;
};

}  // namespace testsupport
