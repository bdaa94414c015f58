#pragma once
// A fixed team of worker threads for the models' parallel loops. The calling
// thread works too, so a pool of n threads starts n - 1 workers.
//
// A parallel loop hands out task indices from its own counter; each index runs
// exactly once. Several callers may run loops at the same time (concurrent
// predictions of one model): each loop is open to every idle worker, so the
// threads are shared between the callers instead of one loop waiting for
// another to end.
//
// Between loops a worker spins briefly, since the encoder runs many loops back
// to back with a little serial work between them, and waking a sleeping thread
// costs more than many of those gaps; when the spin finds no work it sleeps in
// the kernel (futex) until a loop opens. (A decoder step is a single loop whose
// tasks run a program of phases together: see PhaseBoard.) A loop whose work
// is too small to pay for waking workers runs on the caller's thread.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform::ml {

class ComputePool {
  public:
    // Below this much work (multiply-adds, or bytes touched) a loop runs on the
    // caller's thread: about a microsecond of one core, less than waking a worker.
    static constexpr std::size_t kInlineWork = 16 * 1024;
    static constexpr std::size_t kUnknownWork = std::numeric_limits<std::size_t>::max();

    // threads <= 0 means one per physical core.
    explicit ComputePool(int threads = 0);
    ~ComputePool();
    ComputePool(const ComputePool&) = delete;
    ComputePool& operator=(const ComputePool&) = delete;

    int threadCount() const { return threadCount_; }

    // Runs fn(task) for task in [0, tasks), spread over the pool, and returns
    // when all have finished. `work` is the whole loop's size in multiply-adds
    // or bytes, when the caller knows it. fn must not throw.
    template <class Fn>
    void parallelFor(std::size_t tasks, Fn&& fn, std::size_t work = kUnknownWork) {
        if (tasks == 0) return;
        using Body = std::remove_reference_t<Fn>;
        run(tasks, work, const_cast<void*>(static_cast<const void*>(&fn)),
            [](void* f, std::size_t t) { (*static_cast<Body*>(f))(t); });
    }

    // Splits [0, n) into at most threadCount() contiguous ranges whose sizes are
    // multiples of `grain` (except the last) and runs fn(begin, end) on each.
    template <class Fn>
    void parallelRanges(std::size_t n, std::size_t grain, Fn&& fn,
                        std::size_t work = kUnknownWork) {
        if (n == 0) return;
        if (grain == 0) grain = 1;
        const std::size_t units = (n + grain - 1) / grain;
        const std::size_t parts =
            work < kInlineWork
                ? 1
                : std::min<std::size_t>(units, static_cast<std::size_t>(threadCount_));
        parallelFor(
            parts,
            [&](std::size_t p) {
                const std::size_t b = units * p / parts * grain,
                                  e = std::min(n, units * (p + 1) / parts * grain);
                if (b < e) fn(b, e);
            },
            work);
    }

    // Like parallelRanges, but each thread claims its next range when it comes
    // free, a share of what is left (guided scheduling): large ranges while
    // much is left, `grain` at the end, so that the threads finish within one
    // grain of each other instead of waiting on the last large range. Ranges
    // start at multiples of `grain`.
    template <class Fn>
    void parallelRuns(std::size_t n, std::size_t grain, Fn&& fn, std::size_t work = kUnknownWork) {
        if (n == 0) return;
        if (grain == 0) grain = 1;
        const std::size_t threads = static_cast<std::size_t>(threadCount_);
        std::atomic<std::size_t> next{0};
        parallelFor(
            work < kInlineWork ? 1 : threads,
            [&](std::size_t) {
                std::size_t b = next.load(std::memory_order_relaxed);
                while (b < n) {
                    const std::size_t share = (n - b) / (2 * threads);
                    const std::size_t size = std::max(grain, (share + grain - 1) / grain * grain);
                    if (next.compare_exchange_weak(b, b + size, std::memory_order_relaxed)) {
                        fn(b, std::min(n, b + size));
                        b = next.load(std::memory_order_relaxed);
                    }
                }
            },
            work);
    }

    // Inside a loop body: which of the pool's threads runs it, in [0, threadCount()),
    // for indexing per-thread scratch memory of that loop's caller. Every caller
    // is thread 0 of its own loops; no two threads of one loop share an index.
    static int currentThread();

    // One per physical core (distinct core ids), at least 1.
    static int physicalCores();

  private:
    using Call = void (*)(void*, std::size_t);
    struct Loop;
    // An open loop. `users` counts the workers that may be looking at it, so
    // that its caller can tell when the loop (on its stack) is no longer seen.
    struct Slot {
        std::atomic<bool> owned{
            false};  // by a caller, from opening its loop until no worker sees it
        std::atomic<Loop*> loop{nullptr};
        std::atomic<int> users{0};
    };
    static constexpr std::size_t kSlots = 16;

    void run(std::size_t tasks, std::size_t work, void* fn, Call call);
    void workerLoop(int index);
    // Runs tasks of the loop until none are left to claim; true if it ran any.
    static bool drain(Loop& loop);
    // Runs tasks of any open loop; true if it found one with tasks left.
    bool helpOnce(std::size_t firstSlot);

    int threadCount_ = 1;
    std::vector<std::thread> workers_;
    std::array<Slot, kSlots> slots_;
    std::atomic<std::uint32_t> opened_{0};  // bumped whenever a loop opens
    std::atomic<int> sleepers_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace platform::ml
