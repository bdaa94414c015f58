#include "platform/ml/ComputePool.hpp"

#include <immintrin.h>

#include <charconv>
#include <chrono>
#include <string>

#include "platform/system/SysInfo.hpp"

namespace platform::ml {

namespace {

inline void cpuRelax() { _mm_pause(); }

// Long enough to bridge the gaps between the loops of one decoder step, short
// enough that an idle model gives its cores back quickly.
constexpr auto kSpinTime = std::chrono::microseconds(300);

thread_local int threadIndex = 0;

}  // namespace

int ComputePool::currentThread() { return threadIndex; }

int ComputePool::physicalCores() {
    // Where the machine does not say, the thread count stands in.
    if (const std::optional<int> cores = platform::physicalCoreCount()) return *cores;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? static_cast<int>(hw) : 1;
}

ComputePool::ComputePool(int threads) {
    threadCount_ = threads > 0 ? threads : physicalCores();
    workers_.reserve(static_cast<std::size_t>(threadCount_ - 1));
    for (int i = 1; i < threadCount_; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
}

ComputePool::~ComputePool() {
    stop_.store(true);
    generation_.fetch_add(1);
    generation_.notify_all();
    for (auto& t : workers_) t.join();
}

void ComputePool::run(std::size_t tasks, void* fn, Call call) {
    const int outer = threadIndex;
    threadIndex = 0;
    if (tasks == 1 || threadCount_ == 1) {
        for (std::size_t t = 0; t < tasks; ++t) call(fn, t);
        threadIndex = outer;
        return;
    }
    std::lock_guard lock(runMutex_);
    const std::uint32_t g = generation_.load() + 1;
    // Invalidate stale claims first, then describe the loop, then publish it.
    next_.store(static_cast<std::uint64_t>(g) << 32);
    done_.store(0);
    fn_.store(fn);
    call_.store(call);
    tasks_.store(tasks);
    generation_.store(g);
    generation_.notify_all();

    drain(g);
    threadIndex = outer;
    // A task still running belongs to a worker that may have lost its core;
    // after a short spin, offer ours.
    for (int spins = 0; done_.load(std::memory_order_acquire) < tasks; ++spins) {
        cpuRelax();
        if (spins > 2000) std::this_thread::yield();
    }
}

void ComputePool::drain(std::uint32_t g) {
    const std::size_t tasks = tasks_.load();
    void* fn = fn_.load();
    const Call call = call_.load();
    std::uint64_t v = next_.load();
    for (;;) {
        if (static_cast<std::uint32_t>(v >> 32) != g) return;
        const std::size_t index = static_cast<std::size_t>(v & 0xFFFFFFFFu);
        if (index >= tasks) return;
        if (!next_.compare_exchange_weak(v, v + 1)) continue;
        call(fn, index);
        done_.fetch_add(1, std::memory_order_release);
        v = next_.load();
    }
}

void ComputePool::workerLoop(int index) {
    threadIndex = index;
    std::uint32_t seen = 0;
    for (;;) {
        std::uint32_t g = generation_.load();
        if (g == seen) {
            const auto until = std::chrono::steady_clock::now() + kSpinTime;
            int spins = 0;
            while ((g = generation_.load(std::memory_order_acquire)) == seen) {
                cpuRelax();
                if (++spins % 256 == 0) {
                    if (std::chrono::steady_clock::now() > until) {
                        generation_.wait(seen);
                        spins = 0;
                    } else if (spins > 4096) {
                        std::this_thread::yield();  // on a busy machine, spinning starves the
                                                    // others
                    }
                }
            }
        }
        if (stop_.load()) return;
        seen = g;
        drain(g);
    }
}

}  // namespace platform::ml
