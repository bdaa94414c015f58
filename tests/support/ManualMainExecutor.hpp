#pragma once
// A deterministic main executor for tests: nothing runs until the test asks,
// and delayed tasks fire on a virtual clock that only the test moves. Tasks
// may be posted from any thread; they run on the thread that calls
// runPending() or advance().

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system/MainExecutor.hpp"
#include "support/VirtualClock.hpp"

namespace platform {

class ManualMainExecutor final : public MainExecutor {
  public:
    explicit ManualMainExecutor(VirtualClock& clock);

    void post(Task task) override;
    void postAfter(std::chrono::nanoseconds delay, Task task) override;
    // True on the thread that created the executor.
    bool isMainThread() const override;

    // Runs every task that is due now, including those that due tasks post,
    // oldest due time first, but no more than `most`: work that posts
    // itself for ever stops there, so that a test can fail instead of
    // hanging. Returns how many ran.
    size_t runPending(size_t most = SIZE_MAX);

    // Moves the clock forward by `by`, stopping at each delayed task's due
    // time to run it (and whatever is due then). Returns how many tasks ran.
    size_t advance(std::chrono::nanoseconds by);

    // Tasks waiting, due or not.
    size_t pendingCount() const;

    VirtualClock& clock() { return clock_; }

  private:
    struct Entry {
        Date due;
        uint64_t seq;
        Task task;
    };

    // Takes the earliest entry due at or before `limit`, if any.
    bool takeDue(Date limit, Entry& out);

    VirtualClock& clock_;
    std::thread::id owner_;
    mutable std::mutex m_;
    std::vector<Entry> entries_;
    uint64_t nextSeq_ = 0;
};

}  // namespace platform
