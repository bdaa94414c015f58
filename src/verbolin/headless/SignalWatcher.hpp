#pragma once
// Turns SIGINT, SIGTERM and SIGHUP (a closed terminal, a logout) into a quit
// of a run loop, each time one arrives, so a second signal can end a wait
// that the first began. SIGHUP that was ignored when the process started
// (nohup) stays ignored. The handlers are installed at construction; a signal
// that arrives before the loop runs is kept as a posted task, so the loop
// quits as soon as it starts. Libraries start threads before main, so any
// thread may take the signal: the handler only writes to a pipe, and a
// watcher thread reads it. The watcher is joined and the previous handlers
// come back at destruction, which must come before the loop's.

#include <signal.h>

#include <atomic>
#include <thread>

#include "platform/system/RunLoop.hpp"

namespace verbolin {

class SignalWatcher {
  public:
    explicit SignalWatcher(platform::RunLoop& loop);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Whether a signal has arrived.
    bool signalled() const { return count_.load() > 0; }
    // How many signals have arrived.
    int count() const { return count_.load(); }

  private:
    std::atomic<int> count_{0};
    struct sigaction previousInt_ {
    }, previousTerm_{}, previousHup_{};
    bool hupHandled_ = false;
    std::thread thread_;
};

}  // namespace verbolin
