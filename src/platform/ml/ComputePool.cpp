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
constexpr auto kSpinTime = std::chrono::microseconds(20);
// A caller waiting for its loop's last tasks spins this often before it sleeps.
constexpr int kWaitSpins = 500;

thread_local int threadIndex = 0;

}  // namespace

int ComputePool::currentThread() { return threadIndex; }

int ComputePool::physicalCores() {
    // Where the machine does not say, the thread count stands in.
    if (const std::optional<int> cores = platform::physicalCoreCount()) return *cores;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? static_cast<int>(hw) : 1;
}

struct ComputePool::Loop {
    void* fn;
    Call call;
    std::size_t tasks;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<std::uint32_t> finished{0};
};

ComputePool::ComputePool(int threads) {
    threadCount_ = threads > 0 ? threads : physicalCores();
    workers_.reserve(static_cast<std::size_t>(threadCount_ - 1));
    for (int i = 1; i < threadCount_; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
}

ComputePool::~ComputePool() {
    stop_.store(true);
    opened_.fetch_add(1);
    opened_.notify_all();
    for (auto& t : workers_) t.join();
}

void ComputePool::run(std::size_t tasks, std::size_t work, void* fn, Call call) {
    const int outer = threadIndex;
    threadIndex = 0;
    auto serial = [&] {
        for (std::size_t t = 0; t < tasks; ++t) call(fn, t);
        threadIndex = outer;
    };
    if (tasks == 1 || threadCount_ == 1 || work < kInlineWork) return serial();

    Loop loop{fn, call, tasks};
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
        bool expected = false;
        if (!s.owned.load(std::memory_order_relaxed) &&
            s.owned.compare_exchange_strong(expected, true)) {
            slot = &s;
            break;
        }
    }
    // More callers at once than slots: this one makes do with its own thread.
    if (!slot) return serial();
    slot->loop.store(&loop);
    opened_.fetch_add(1);
    if (sleepers_.load() > 0) opened_.notify_all();

    drain(loop);
    threadIndex = outer;
    // Tasks still running on workers: spin briefly, then sleep until the last one ends.
    for (int spins = 0; loop.finished.load(std::memory_order_acquire) == 0; ++spins) {
        if (spins < kWaitSpins)
            cpuRelax();
        else
            loop.finished.wait(0, std::memory_order_acquire);
    }
    // Close the loop; a worker that saw it is at most failing to claim a task now.
    slot->loop.store(nullptr);
    for (int spins = 0; slot->users.load() != 0; ++spins) {
        if (spins < kWaitSpins)
            cpuRelax();
        else
            std::this_thread::yield();
    }
    slot->owned.store(false, std::memory_order_release);
}

bool ComputePool::drain(Loop& loop) {
    bool ran = false;
    for (;;) {
        const std::size_t index = loop.next.fetch_add(1, std::memory_order_relaxed);
        if (index >= loop.tasks) return ran;
        loop.call(loop.fn, index);
        ran = true;
        if (loop.done.fetch_add(1, std::memory_order_acq_rel) + 1 == loop.tasks) {
            loop.finished.store(1, std::memory_order_release);
            loop.finished.notify_one();
        }
    }
}

bool ComputePool::helpOnce(std::size_t first) {
    bool found = false;
    for (std::size_t i = 0; i < kSlots; ++i) {
        Slot& s = slots_[(first + i) % kSlots];
        if (!s.loop.load(std::memory_order_relaxed)) continue;
        s.users.fetch_add(1);
        if (Loop* loop = s.loop.load()) found = drain(*loop) || found;
        s.users.fetch_sub(1);
    }
    return found;
}

void ComputePool::workerLoop(int index) {
    threadIndex = index;
    // Workers start their search at different slots, so concurrent callers' loops
    // all get help.
    const std::size_t first = static_cast<std::size_t>(index) % kSlots;
    for (;;) {
        const std::uint32_t seen = opened_.load();
        if (stop_.load()) return;
        if (helpOnce(first)) continue;
        const auto until = std::chrono::steady_clock::now() + kSpinTime;
        for (int spins = 1; opened_.load(std::memory_order_relaxed) == seen; ++spins) {
            cpuRelax();
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) break;
        }
        if (opened_.load() != seen) continue;
        sleepers_.fetch_add(1);
        if (!stop_.load()) opened_.wait(seen);
        sleepers_.fetch_sub(1);
    }
}

}  // namespace platform::ml
