#pragma once
// A fixed team of worker threads for the models' parallel loops. The calling
// thread works too, so a pool of n threads starts n - 1 workers.
//
// A parallel loop hands out task indices from a shared counter; each index runs
// exactly once. Between loops the workers spin briefly before they sleep, since
// a decoder step runs dozens of short loops back to back and waking a sleeping
// thread costs more than many of those loops take. Loops from different callers
// never interleave: one runs at a time.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform::ml {

class ComputePool {
  public:
    // threads <= 0 means one per physical core.
    explicit ComputePool(int threads = 0);
    ~ComputePool();
    ComputePool(const ComputePool&) = delete;
    ComputePool& operator=(const ComputePool&) = delete;

    int threadCount() const { return threadCount_; }

    // Runs fn(task) for task in [0, tasks), spread over the pool, and returns
    // when all have finished. fn must not throw.
    template <class Fn>
    void parallelFor(std::size_t tasks, Fn&& fn) {
        if (tasks == 0) return;
        using Body = std::remove_reference_t<Fn>;
        run(tasks, const_cast<void*>(static_cast<const void*>(&fn)),
            [](void* f, std::size_t t) { (*static_cast<Body*>(f))(t); });
    }

    // Splits [0, n) into at most threadCount() contiguous ranges whose sizes are
    // multiples of `grain` (except the last) and runs fn(begin, end) on each.
    template <class Fn>
    void parallelRanges(std::size_t n, std::size_t grain, Fn&& fn) {
        if (n == 0) return;
        if (grain == 0) grain = 1;
        const std::size_t units = (n + grain - 1) / grain;
        const std::size_t parts =
            std::min<std::size_t>(units, static_cast<std::size_t>(threadCount_));
        parallelFor(parts, [&](std::size_t p) {
            const std::size_t b = units * p / parts * grain,
                              e = std::min(n, units * (p + 1) / parts * grain);
            if (b < e) fn(b, e);
        });
    }

    // Inside a loop body: which of the pool's threads runs it, in [0, threadCount()),
    // for indexing per-thread scratch memory.
    static int currentThread();

    // One per physical core (distinct core ids), at least 1.
    static int physicalCores();

  private:
    using Call = void (*)(void*, std::size_t);
    void run(std::size_t tasks, void* fn, Call call);
    void workerLoop(int index);
    void drain(std::uint32_t generation);

    int threadCount_ = 1;
    std::vector<std::thread> workers_;
    std::mutex runMutex_;  // one loop at a time

    // The current loop, published by bumping generation_. next_ carries the
    // loop's generation in its high half, so a worker that wakes late cannot
    // claim a task of a loop it has not seen.
    std::atomic<void*> fn_{nullptr};
    std::atomic<Call> call_{nullptr};
    std::atomic<std::size_t> tasks_{0};
    std::atomic<std::uint64_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace platform::ml
