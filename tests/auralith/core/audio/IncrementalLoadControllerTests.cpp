#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "auralith/core/audio/IncrementalLoadController.hpp"

using auralith::IncrementalLoadController;

TEST(IncrementalLoadController, ActiveChunksCountGrantedSlotsNotYetSignalled) {
    IncrementalLoadController controller(2);
    EXPECT_EQ(controller.activeChunks(), 0);
    controller.signalChunkConsumed();  // a stray signal never goes below zero
    EXPECT_EQ(controller.activeChunks(), 0);
    EXPECT_TRUE(controller.requestChunkSlot());
    EXPECT_TRUE(controller.requestChunkSlot());
    EXPECT_EQ(controller.activeChunks(), 2);
    controller.signalChunkConsumed();
    EXPECT_EQ(controller.activeChunks(), 1);
    controller.resumeWaitingProducers();
    EXPECT_FALSE(controller.requestChunkSlot());  // terminated: no slot is counted
    EXPECT_EQ(controller.activeChunks(), 1);
}

TEST(IncrementalLoadController, ProducersNeverHoldMoreThanTheBound) {
    constexpr int kProducers = 4, kChunksEach = 50, kBound = 2;
    IncrementalLoadController controller(kBound);
    std::atomic<int> outstanding = 0, worst = 0, consumed = 0;
    std::vector<std::jthread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&] {
            for (int c = 0; c < kChunksEach; ++c) {
                ASSERT_TRUE(controller.requestChunkSlot());
                const int now = ++outstanding;
                for (int seen = worst; now > seen && !worst.compare_exchange_weak(seen, now);) {
                }
                EXPECT_LE(controller.activeChunks(), kBound);
                --outstanding;
                controller.signalChunkConsumed();
                ++consumed;
            }
        });
    producers.clear();
    EXPECT_EQ(consumed, kProducers * kChunksEach);
    EXPECT_LE(worst, kBound);
    EXPECT_EQ(controller.activeChunks(), 0);
}
