#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ml/ComputePool.hpp"

using namespace platform::ml;

namespace {

std::set<std::string> threadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(entry.path().filename().string());
    return ids;
}

// Processor seconds of the threads not in `others`. The process clock would
// also count the BLAS library's own threads, which spin for a while after
// they start, whatever the pool does.
double cpuSecondsOfThreadsBut(const std::set<std::string>& others) {
    long ticks = 0;
    for (const auto& id : threadIds()) {
        if (others.count(id)) continue;
        std::ifstream stat("/proc/self/task/" + id + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the parenthesised name: state is the 3rd field,
        // utime and stime the 14th and 15th.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 13 && rest >> field; ++i) {
        }
        long utime = 0, stime = 0;
        rest >> utime >> stime;
        ticks += utime + stime;
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Waits up to ten seconds for the flag; false if it never came.
bool waitFor(const std::atomic<bool>& flag) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

}  // namespace

// Concurrent predictions of one model share its pool: a caller's loop runs
// while another caller's loop is still in progress instead of queueing behind it.
TEST(ComputePool, ALoopDoesNotWaitForAnotherCallersLoop) {
    ComputePool pool(4);
    std::atomic<bool> secondDone{false}, firstStarted{false};
    bool sawSecond = false;
    std::thread first([&] {
        pool.parallelFor(2, [&](std::size_t t) {
            if (t != 0) return;
            firstStarted = true;
            sawSecond = waitFor(secondDone);
        });
    });
    ASSERT_TRUE(waitFor(firstStarted));
    std::atomic<int> ran{0};
    pool.parallelFor(8, [&](std::size_t) { ran.fetch_add(1); });
    secondDone = true;
    first.join();
    EXPECT_EQ(ran.load(), 8);
    EXPECT_TRUE(sawSecond);
}

// Per-thread scratch is indexed by currentThread(): within one loop no two
// tasks running at once may share an index, whoever else uses the pool.
TEST(ComputePool, ThreadIndicesAreExclusiveWithinALoopAcrossCallers) {
    ComputePool pool(4);
    std::atomic<int> clashes{0}, outOfRange{0};
    auto caller = [&] {
        for (int round = 0; round < 100; ++round) {
            std::vector<std::atomic<int>> busy(4);
            pool.parallelFor(32, [&](std::size_t) {
                const int i = ComputePool::currentThread();
                if (i < 0 || i >= 4) {
                    outOfRange.fetch_add(1);
                    return;
                }
                if (busy[static_cast<std::size_t>(i)].exchange(1) != 0) clashes.fetch_add(1);
                volatile double sink = 0;
                for (int k = 0; k < 2000; ++k) sink = sink + k;
                busy[static_cast<std::size_t>(i)].store(0);
            });
        }
    };
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c) callers.emplace_back(caller);
    for (auto& t : callers) t.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(outOfRange.load(), 0);
}

// More callers at once than the pool keeps loops open for: every task of
// every loop still runs exactly once.
TEST(ComputePool, ManyMoreCallersThanThreads) {
    ComputePool pool(3);
    constexpr int kCallers = 24;
    std::vector<long> totals(kCallers);
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c)
        callers.emplace_back([&, c] {
            const std::size_t tasks = 5 + static_cast<std::size_t>(c);
            for (int round = 0; round < 50; ++round) {
                std::vector<std::atomic<int>> hits(tasks);
                pool.parallelFor(tasks, [&](std::size_t t) { hits[t].fetch_add(1); });
                for (auto& h : hits)
                    totals[static_cast<std::size_t>(c)] += h.load() == 1 ? 1 : 1000;
            }
        });
    for (auto& t : callers) t.join();
    for (int c = 0; c < kCallers; ++c)
        EXPECT_EQ(totals[static_cast<std::size_t>(c)], 50L * (5 + c)) << "caller " << c;
}

TEST(ComputePool, SmallLoopsRunOnTheCallersThread) {
    ComputePool pool(4);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    for (int round = 0; round < 50; ++round) {
        pool.parallelFor(
            8, [&](std::size_t) { elsewhere.fetch_add(std::this_thread::get_id() != caller); },
            ComputePool::kInlineWork - 1);
        pool.parallelRanges(
            1000, 1,
            [&](std::size_t, std::size_t) {
                elsewhere.fetch_add(std::this_thread::get_id() != caller);
            },
            100);
    }
    EXPECT_EQ(elsewhere.load(), 0);
    // A large loop is shared: with 4 threads some task runs elsewhere sooner or later.
    for (int round = 0; round < 200 && elsewhere.load() == 0; ++round)
        pool.parallelFor(64, [&](std::size_t) {
            elsewhere.fetch_add(std::this_thread::get_id() != caller);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        });
    EXPECT_GT(elsewhere.load(), 0);
}

// Idle workers sleep in the kernel after a short spin: a pool between loops
// costs (next to) no processor time.
TEST(ComputePool, IdleWorkersDoNotSpin) {
    const std::set<std::string> others = threadIds();
    ComputePool pool(4);
    std::atomic<long> sum{0};
    for (int round = 0; round < 20; ++round)
        pool.parallelFor(16, [&](std::size_t t) { sum.fetch_add(static_cast<long>(t)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past any spin
    const double before = cpuSecondsOfThreadsBut(others);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double used = cpuSecondsOfThreadsBut(others) - before;
    // Three spinning workers would use about 0.9 s here.
    EXPECT_LT(used, 0.1);
    EXPECT_EQ(sum.load(), 20L * 120);
}
