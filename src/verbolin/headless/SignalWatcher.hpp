#pragma once
// Turns SIGINT and SIGTERM into a quit of a run loop. The handlers are
// installed at construction; a signal that arrives before the loop runs is
// kept as a posted task, so the loop quits as soon as it starts. Libraries
// start threads before main, so any thread may take the signal: the handler
// only writes to a pipe, and a watcher thread reads it. The watcher is joined
// and the default handlers come back at destruction, which must come before
// the loop's.

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
    bool signalled() const { return signalled_.load(); }

  private:
    std::atomic<bool> signalled_{false};
    std::thread thread_;
};

}  // namespace verbolin
