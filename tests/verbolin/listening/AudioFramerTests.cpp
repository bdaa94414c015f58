#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <vector>

#include "verbolin/listening/AudioFramer.hpp"

using verbolin::AudioFramer;

// However the capture chunks the stream, the frames are the stream cut into
// whole frames in order, and the tail short of a frame is held back until taken.
TEST(AudioFramer, FramesDoNotDependOnChunking) {
    constexpr size_t kFrame = 4;
    std::vector<float> stream(23);
    std::iota(stream.begin(), stream.end(), 0.0f);
    const std::vector<std::vector<size_t>> chunkings = {
        {23},
        {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {3, 5, 0, 7, 8},
        {4, 4, 4, 4, 4, 3},
        {0, 0, 22, 1},
        {12, 11},
    };
    for (const std::vector<size_t>& sizes : chunkings) {
        AudioFramer framer(kFrame);
        std::vector<float> out;
        size_t at = 0;
        for (size_t n : sizes) {
            for (const std::vector<float>& frame :
                 framer.push(std::span<const float>(stream).subspan(at, n))) {
                ASSERT_EQ(frame.size(), kFrame);
                out.insert(out.end(), frame.begin(), frame.end());
            }
            at += n;
        }
        ASSERT_EQ(at, stream.size());
        EXPECT_EQ(out, std::vector<float>(stream.begin(), stream.begin() + 20));
        // The tail is handed over once, and the next frame starts afresh.
        EXPECT_EQ(framer.takeRemainder(), std::vector<float>(stream.begin() + 20, stream.end()));
        EXPECT_TRUE(framer.takeRemainder().empty());
        const std::vector<float> next = {100, 101, 102, 103};
        EXPECT_EQ(framer.push(next), std::vector<std::vector<float>>{next});
    }
}

TEST(AudioFramer, RefusesAnEmptyFrame) { EXPECT_THROW(AudioFramer(0), std::invalid_argument); }
