#include <gtest/gtest.h>

#include <vector>

#include "verbolin/listening/DecodeQueue.hpp"

using verbolin::DecodeJob;
using verbolin::DecodeQueue;

namespace {

DecodeJob job(bool isFinal, int64_t utterance) {
    return DecodeJob{std::vector<float>(size_t(utterance) + 1, 0.5f), isFinal, {}, {}, utterance};
}

}  // namespace

TEST(DecodeQueue, OneAtATimeFinalsInOrderBeforeTheLatestPreview) {
    DecodeQueue q;
    EXPECT_TRUE(q.idle());
    EXPECT_FALSE(q.take());
    q.offerPreview(job(false, 1));
    q.offerPreview(job(false, 2));  // replaces the first
    q.pushFinal(job(true, 3));
    q.pushFinal(job(true, 4));
    EXPECT_FALSE(q.idle());

    const int64_t expected[] = {3, 4, 2};
    for (int64_t utterance : expected) {
        std::optional<DecodeJob> next = q.take();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->utterance, utterance);
        EXPECT_FALSE(q.take()) << "a second job while one is in flight";
        EXPECT_FALSE(q.idle());
        q.done(*next);
    }
    EXPECT_TRUE(q.idle());
    EXPECT_TRUE(q.nothingWaiting());
    EXPECT_FALSE(q.take());
}

TEST(DecodeQueue, APreviewInFlightLeavesTheQueueIdle) {
    DecodeQueue q;
    q.offerPreview(job(false, 1));
    std::optional<DecodeJob> preview = q.take();
    ASSERT_TRUE(preview);
    EXPECT_TRUE(q.nothingWaiting());
    q.dropPreview();
    q.offerPreview(job(false, 2));
    q.dropPreview();
    q.done(*preview);
    EXPECT_FALSE(q.take());
}

// Abandoning hands back the audio of every final not yet reported, the one
// in flight first, and none twice.
TEST(DecodeQueue, AbandonReturnsEveryUnreportedFinalOnce) {
    DecodeQueue q;
    q.pushFinal(job(true, 1));
    q.pushFinal(job(true, 2));
    q.offerPreview(job(false, 9));
    ASSERT_TRUE(q.take());
    q.pushFinal(job(true, 3));

    std::vector<DecodeJob> left = q.abandon();
    ASSERT_EQ(left.size(), 3u);
    for (size_t i = 0; i < left.size(); ++i) {
        EXPECT_TRUE(left[i].isFinal);
        EXPECT_EQ(left[i].utterance, int64_t(i) + 1);
        EXPECT_EQ(left[i].samples.size(), i + 2) << "audio handed back intact";
    }
    EXPECT_TRUE(q.idle());
    EXPECT_TRUE(q.nothingWaiting());
    EXPECT_TRUE(q.abandon().empty());
}
