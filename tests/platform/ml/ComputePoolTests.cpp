#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
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

// Waits up to a minute for the flag; false if it never came.
bool waitFor(const std::atomic<bool>& flag) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
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

// Guided runs cover every index exactly once, start on a grain, end on one (or
// at the end), and shrink towards the end; several callers at once included.
TEST(ComputePool, GuidedRunsCoverEveryIndexOnceAndShrink) {
    struct Case {
        std::size_t n, grain;
        int threads;
        std::size_t work;
    };
    const Case cases[] = {
        {1, 4, 4, ComputePool::kUnknownWork},      {3, 4, 4, ComputePool::kUnknownWork},
        {512, 4, 8, ComputePool::kUnknownWork},    {2051, 4, 3, ComputePool::kUnknownWork},
        {51865, 64, 8, ComputePool::kUnknownWork}, {1000, 1, 5, ComputePool::kUnknownWork},
        {1000, 0, 2, ComputePool::kUnknownWork},   {4096, 16, 4, 100},  // inline: one thread
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " by " + std::to_string(c.grain) + " on " +
                     std::to_string(c.threads));
        ComputePool pool(c.threads);
        const std::size_t grain = std::max<std::size_t>(1, c.grain);
        std::vector<std::atomic<int>> seen(c.n);
        std::mutex m;
        std::vector<std::pair<std::size_t, std::size_t>> runs;
        pool.parallelRuns(
            c.n, c.grain,
            [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) seen[i].fetch_add(1);
                std::lock_guard lock(m);
                runs.emplace_back(b, e);
            },
            c.work);
        for (std::size_t i = 0; i < c.n; ++i) ASSERT_EQ(seen[i].load(), 1) << i;
        std::sort(runs.begin(), runs.end());
        for (const auto& [b, e] : runs) {
            EXPECT_EQ(b % grain, 0u);
            EXPECT_TRUE(e == c.n || e % grain == 0) << e;
        }
        // Sizes never grow along the range, and the last full run is one grain
        // once there was enough to share.
        for (std::size_t r = 1; r + 1 < runs.size(); ++r)
            EXPECT_LE(runs[r].second - runs[r].first, runs[r - 1].second - runs[r - 1].first);
        if (c.n >= 4 * grain * static_cast<std::size_t>(c.threads) && runs.size() > 1) {
            EXPECT_EQ(runs[runs.size() - 2].second - runs[runs.size() - 2].first, grain);
        }
    }

    // Callers sharing one pool each get their own claims.
    ComputePool pool(4);
    std::vector<std::jthread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int rep = 0; rep < 50; ++rep) {
                std::vector<std::atomic<int>> seen(777);
                pool.parallelRuns(seen.size(), 4, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) seen[i].fetch_add(1);
                });
                for (auto& s : seen)
                    if (s.load() != 1) wrong.fetch_add(1);
            }
        });
    callers.clear();
    EXPECT_EQ(wrong.load(), 0);
}
