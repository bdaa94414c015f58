#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ml/ComputePool.hpp"
#include "platform/ml/PhaseBoard.hpp"

using namespace platform::ml;

namespace {

// A program in which every cell depends on the whole phase before it: phase p
// writes cell i as i·(p + 1) + total[p - 1], and the follow-up of phase p (run
// by whichever member completes it) writes total[p], the sum of its cells.
// Integers, so every cell has one right value; the cells are plain memory, so
// a member reading a phase before it is complete shows as a wrong value here
// and as a race under ThreadSanitizer.
struct Chain {
    std::size_t phases, n, grain;
    std::vector<std::vector<std::uint64_t>> cells;
    std::vector<std::uint64_t> total;
    std::unique_ptr<std::atomic<int>[]> computed;  // times each cell was computed

    Chain(std::size_t phases, std::size_t n, std::size_t grain)
        : phases(phases),
          n(n),
          grain(grain),
          cells(phases, std::vector<std::uint64_t>(n)),
          total(phases),
          computed(std::make_unique<std::atomic<int>[]>(phases * n)) {}

    // `pause` runs inside one body of phase `pauseIn`, as a preempted member would.
    void member(PhaseBoard& board, std::size_t index, std::size_t pauseIn = SIZE_MAX,
                std::chrono::milliseconds pause = {}) {
        PhaseBoard::Member me(board, index);
        for (std::size_t p = 0; p < phases; ++p) {
            me.run(
                p, n, grain,
                [&](std::size_t begin, std::size_t end) {
                    if (p == pauseIn && pause.count() > 0) {
                        std::this_thread::sleep_for(pause);
                        pause = {};
                    }
                    const std::uint64_t before = p == 0 ? 0 : total[p - 1];
                    for (std::size_t i = begin; i < end; ++i) {
                        cells[p][i] = i * (p + 1) + before;
                        computed[p * n + i].fetch_add(1, std::memory_order_relaxed);
                    }
                },
                [&] {
                    std::uint64_t sum = 0;
                    for (std::uint64_t c : cells[p]) sum += c;
                    total[p] = sum;
                });
        }
    }

    void expectRight() const {
        std::uint64_t before = 0;
        for (std::size_t p = 0; p < phases; ++p) {
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t want = i * (p + 1) + before;
                ASSERT_EQ(cells[p][i], want) << "phase " << p << " cell " << i;
                ASSERT_EQ(computed[p * n + i].load(), 1) << "phase " << p << " cell " << i;
                sum += want;
            }
            ASSERT_EQ(total[p], sum) << "phase " << p;
            before = sum;
        }
    }
};

struct ChainCase {
    int threads;
    std::size_t n, grain;
};

class PhaseBoardPoolTest : public ::testing::TestWithParam<ChainCase> {};

// Run by a pool's threads, over and over on one board: every cell right and
// computed once, whatever the thread count, the phase size (one cell, fewer
// cells than threads, many) and the run size.
TEST_P(PhaseBoardPoolTest, EveryPhaseSeesAllOfThePhaseBefore) {
    const ChainCase c = GetParam();
    ComputePool pool(c.threads);
    PhaseBoard board;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Chain chain(12, c.n, c.grain);
        board.reset(chain.phases, static_cast<std::size_t>(pool.threadCount()));
        pool.parallelFor(static_cast<std::size_t>(pool.threadCount()), [&](std::size_t) {
            chain.member(board, static_cast<std::size_t>(ComputePool::currentThread()));
        });
        chain.expectRight();
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PhaseBoardPoolTest,
                         ::testing::Values(ChainCase{1, 1000, 8}, ChainCase{2, 1, 1},
                                           ChainCase{3, 7, 4}, ChainCase{3, 1000, 8},
                                           ChainCase{8, 5, 1}, ChainCase{8, 4096, 64},
                                           ChainCase{8, 1000, 3}),
                         [](const auto& info) {
                             return std::to_string(info.param.threads) + "threads_" +
                                    std::to_string(info.param.n) + "cells_grain" +
                                    std::to_string(info.param.grain);
                         });

// Members come and go as a pool lends its threads to several callers: one
// joins long after the program started, one never comes, one stops inside a
// run for a while (long enough that the others sleep at the next gate instead
// of spinning). The program still completes, right, without waiting for the
// one that never came.
TEST(PhaseBoard, CompletesWhateverMembersComeLateStallOrNeverCome) {
    struct Member {
        std::chrono::milliseconds startAfter;
        std::size_t pauseIn;
        std::chrono::milliseconds pause;
    };
    const Member members[] = {
        {std::chrono::milliseconds(0), SIZE_MAX, {}},
        {std::chrono::milliseconds(0), 3, std::chrono::milliseconds(20)},
        {std::chrono::milliseconds(30), SIZE_MAX, {}},
    };
    for (std::size_t grain : {std::size_t{1}, std::size_t{16}}) {
        SCOPED_TRACE("grain " + std::to_string(grain));
        Chain chain(8, 600, grain);
        PhaseBoard board;
        board.reset(chain.phases, 4);  // room for a fourth member that never comes
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < std::size(members); ++i)
            threads.emplace_back([&chain, &board, m = members[i], i] {
                std::this_thread::sleep_for(m.startAfter);
                chain.member(board, i, m.pauseIn, m.pause);
            });
        for (auto& t : threads) t.join();
        chain.expectRight();
    }
}

// A single member runs the whole program alone, follow-ups included.
TEST(PhaseBoard, OneMemberRunsEverything) {
    Chain chain(5, 33, 8);
    PhaseBoard board;
    board.reset(chain.phases, 8);
    chain.member(board, 5);
    chain.expectRight();
}

}  // namespace
