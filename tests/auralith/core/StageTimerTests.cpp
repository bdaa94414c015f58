#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "auralith/core/StageTimer.hpp"

using auralith::addingTo;
using auralith::StageTimer;
using auralith::TranscriptionTimings;

TEST(StageTimer, AddsOnceWhetherStoppedOrLeftToItsScope) {
    TranscriptionTimings t;
    double stopped = 0;
    {
        StageTimer timer(
            addingTo(t, &TranscriptionTimings::encoding, &TranscriptionTimings::totalEncodingRuns));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        stopped = timer.stop();
        EXPECT_EQ(timer.stop(), stopped);
    }
    EXPECT_GE(stopped, 0.002);
    EXPECT_EQ(t.encoding, stopped);
    EXPECT_EQ(t.totalEncodingRuns, 1);
    { StageTimer timer(addingTo(t, &TranscriptionTimings::encoding)); }
    EXPECT_GE(t.encoding, stopped);
    EXPECT_EQ(t.totalEncodingRuns, 1);  // no run field named, no run counted
    EXPECT_EQ(t.logmels, 0);
}

TEST(StageTimer, DiscardedOrUnwoundStagesAddNothing) {
    TranscriptionTimings t;
    {
        StageTimer timer(addingTo(t, &TranscriptionTimings::decodingWindowing,
                                  &TranscriptionTimings::totalDecodingWindows));
        timer.discard();
    }
    EXPECT_THROW(
        {
            StageTimer timer(addingTo(t, &TranscriptionTimings::decodingWindowing,
                                      &TranscriptionTimings::totalDecodingWindows));
            throw std::runtime_error("model failed");
        },
        std::runtime_error);
    EXPECT_EQ(t.decodingWindowing, 0);
    EXPECT_EQ(t.totalDecodingWindows, 0);
}

namespace {
// Times a whole stage of its own while it is destroyed by an unwinding stack.
struct CleanupDuringUnwinding {
    TranscriptionTimings& t;
    ~CleanupDuringUnwinding() {
        StageTimer timer(
            addingTo(t, &TranscriptionTimings::logmels, &TranscriptionTimings::totalLogmelRuns));
    }
};
}  // namespace

TEST(StageTimer, AStageThatBeginsDuringUnwindingStillCounts) {
    TranscriptionTimings t;
    try {
        CleanupDuringUnwinding cleanup{t};
        throw std::runtime_error("cancelled");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(t.totalLogmelRuns, 1);
}
