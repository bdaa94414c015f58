#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <stdexcept>
#include <vector>

#include "platform/system/WorkerPool.hpp"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Counts tasks running at once and remembers the most seen.
struct ConcurrencyMeter {
    std::atomic<int> active{0};
    std::atomic<int> peak{0};
    std::atomic<int> started{0};

    void enter() {
        int now = ++active;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        ++started;
    }
    void leave() { --active; }
};

// Waits, with a generous bound, until `cond` holds; false means it never did.
template <class Cond>
bool eventually(Cond cond) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(WorkerPool, RunsUpToThreadCountTasksAtOnceAndNoMore) {
    for (std::size_t n : {1u, 3u, 5u}) {
        ConcurrencyMeter meter;
        std::promise<void> open;
        std::shared_future<void> gate = open.get_future().share();
        std::vector<std::future<void>> done;
        {
            WorkerPool pool(n);
            EXPECT_EQ(pool.threadCount(), n);
            for (std::size_t i = 0; i < 3 * n; ++i) {
                done.push_back(pool.submit([&meter, gate] {
                    meter.enter();
                    gate.wait();
                    meter.leave();
                }));
            }
            // Every worker takes a task and blocks at the gate; none is left over.
            ASSERT_TRUE(eventually([&] { return meter.started.load() == static_cast<int>(n); }))
                << n;
            EXPECT_EQ(meter.active.load(), static_cast<int>(n));
            open.set_value();
            for (auto& f : done) f.get();
        }
        EXPECT_EQ(meter.peak.load(), static_cast<int>(n));
        EXPECT_EQ(meter.started.load(), static_cast<int>(3 * n));
    }
}

TEST(WorkerPool, DefaultsToAtLeastOneThread) {
    WorkerPool pool;
    EXPECT_GE(pool.threadCount(), 1u);
    EXPECT_EQ(pool.submit([] { return 7; }).get(), 7);
}

TEST(WorkerPool, SingleWorkerStartsTasksInSubmitOrder) {
    std::vector<int> order;
    std::promise<void> open;
    {
        WorkerPool pool(1);
        auto blocker = pool.submit([gate = open.get_future()]() mutable { gate.wait(); });
        for (int i = 0; i < 100; ++i) pool.submit([&order, i] { order.push_back(i); });
        open.set_value();
    }
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(WorkerPool, FuturesCarryResultsAndExceptions) {
    std::future<std::string> value;
    std::future<int> failure;
    std::future<int> after;
    {
        WorkerPool pool(2);
        value = pool.submit([] { return std::string("ok"); });
        failure = pool.submit([]() -> int { throw std::runtime_error("chunk failed"); });
        after = pool.submit([] { return 42; });
    }
    // Read after the workers are joined: futures outlive their pool, and the
    // exception is then released on this thread only (libstdc++'s exception
    // reference count is invisible to ThreadSanitizer and reads as a race).
    EXPECT_EQ(value.get(), "ok");
    try {
        failure.get();
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "chunk failed");
    }
    // A throwing task does not take its worker down.
    EXPECT_EQ(after.get(), 42);
}

TEST(WorkerPool, DestructorRunsEverythingQueued) {
    std::atomic<int> ran{0};
    std::promise<void> open;
    {
        WorkerPool pool(2);
        std::shared_future<void> gate = open.get_future().share();
        for (int i = 0; i < 500; ++i)
            pool.submit([&ran, gate] {
                gate.wait();
                ++ran;
            });
        open.set_value();
    }
    EXPECT_EQ(ran.load(), 500);
}

TEST(TaskGroup, NeverRunsMoreThanItsLimit) {
    WorkerPool pool(8);
    for (std::size_t limit : {1u, 2u, 3u}) {
        ConcurrencyMeter meter;
        std::latch together(static_cast<std::ptrdiff_t>(limit));
        TaskGroup group(pool, limit);
        for (std::size_t i = 0; i < 30; ++i) {
            group.add([&, i] {
                meter.enter();
                // The first `limit` tasks only finish once all of them run at
                // once, so the limit is reached, not merely respected.
                if (i < limit) together.arrive_and_wait();
                meter.leave();
            });
        }
        group.wait();
        EXPECT_EQ(meter.peak.load(), static_cast<int>(limit));
        EXPECT_EQ(meter.started.load(), 30);
    }
}

TEST(TaskGroup, WaitRethrowsTheFirstErrorOnlyAfterEveryTaskEnds) {
    WorkerPool pool(4);
    TaskGroup group(pool, 1);  // one at a time, so "first" is well defined
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::atomic<int> finished{0};
    group.add([] { throw std::runtime_error("first"); });
    group.add([&finished, gate] {
        gate.wait();
        ++finished;
        throw std::runtime_error("second");
    });
    for (int i = 0; i < 10; ++i) group.add([&finished] { ++finished; });

    auto waiter = std::async(std::launch::async, [&] { group.wait(); });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    open.set_value();
    try {
        waiter.get();
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_EQ(finished.load(), 11);

    // The error was collected; the group can run another batch.
    group.add([&finished] { ++finished; });
    EXPECT_NO_THROW(group.wait());
    EXPECT_EQ(finished.load(), 12);
}

TEST(TaskGroup, EmptyWaitReturnsAndDestructorWaits) {
    WorkerPool pool(2);
    std::atomic<int> ran{0};
    {
        TaskGroup group(pool, 2);
        group.wait();
        for (int i = 0; i < 50; ++i) group.add([&ran] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}
