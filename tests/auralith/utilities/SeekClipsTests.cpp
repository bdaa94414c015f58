#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "auralith/utilities/SeekClips.hpp"

using auralith::prepareSeekClips;
using Clips = std::vector<std::pair<int64_t, int64_t>>;

TEST(SeekClipsTest, TimestampsBecomePairedSampleRanges) {
    const float inf = std::numeric_limits<float>::infinity();
    const int64_t max = std::numeric_limits<int64_t>::max();
    const int64_t min = std::numeric_limits<int64_t>::min();
    struct Case {
        std::vector<float> timestamps;
        int64_t contentFrames;
        Clips expected;
    };
    const Case cases[] = {
        {{}, 1000, {{0, 1000}}},
        {{1.5f}, 500000, {{24000, 500000}}},
        {{1.5f, 3.0f, 10.0f}, 500000, {{24000, 48000}, {160000, 500000}}},
        {{0.00003125f}, 10, {{1, 10}}},         // 0.5 samples rounds away from zero
        {{-0.00003125f, 0.0f}, 10, {{-1, 0}}},  // and so does -0.5
        {{5.0f, 2.0f}, 10, {{80000, 32000}}},   // neither sorted
        {{100.0f}, 16000, {{1600000, 16000}}},  // nor clamped
        {{std::nanf(""), inf, -inf, 1e30f}, 0, {{0, max}, {min, max}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(prepareSeekClips(c.timestamps, c.contentFrames), c.expected)
            << c.timestamps.size();
    }
}

TEST(SeekClipsTest, SecondsTimesRateIsRoundedInSinglePrecision) {
    // Each of these floats times 16000 lies just below a half in exact
    // arithmetic but rounds to the half in float, so the single-precision
    // product rounds up where a double product would round down.
    struct Case {
        float seconds;
        int64_t sample;
    };
    const Case cases[] = {
        {0x1.16872ap-11f, 9}, {-0x1.16872ap-11f, -9}, {0x1.2b020cp-9f, 37}, {-0x1.2b020cp-9f, -37}};
    for (const auto& c : cases) {
        EXPECT_EQ(prepareSeekClips({c.seconds, 0.0f}, 0), (Clips{{c.sample, 0}})) << c.seconds;
    }
}
