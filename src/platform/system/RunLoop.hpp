#pragma once
// The main thread of a program without a window system: tasks posted from
// any thread run on the thread that calls run(), in due-time order, until
// quit() is called.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/MainExecutor.hpp"

namespace platform {

class RunLoop final : public MainExecutor {
  public:
    // The creating thread is the main thread until run() is called.
    RunLoop();

    void post(Task task) override;
    void postAfter(std::chrono::nanoseconds delay, Task task) override;
    bool isMainThread() const override;

    // Runs tasks as they fall due until quit(); the calling thread becomes the
    // main thread. Tasks still waiting when it returns are kept.
    void run();
    // Callable from any thread (not from a signal handler); run() returns
    // after the task in progress.
    void quit();

  private:
    using Steady = std::chrono::steady_clock;
    struct Entry {
        Steady::time_point due;
        uint64_t seq;
        Task task;
    };

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;  // a heap, earliest due first
    uint64_t nextSeq_ = 0;
    bool quit_ = false;
    std::thread::id owner_;
};

}  // namespace platform
