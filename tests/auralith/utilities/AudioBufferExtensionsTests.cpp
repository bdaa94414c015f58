#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "auralith/utilities/AudioBufferExtensions.hpp"

using auralith::appendContents;
using platform::CommonFormat;
using platform::PCMBuffer;
using platform::PCMFormat;
using Level = vortil::Logging::LogLevel;

namespace {

class AppendContentsTest : public auralith::testing::LogCaptureTest {
  protected:
    // A mono float buffer holding 0, 1, 2, ... up to its length.
    static PCMBuffer ramp(uint32_t length, uint32_t capacity, PCMFormat format = {}) {
        PCMBuffer buffer(format, capacity);
        buffer.setFrameLength(length);
        if (auto* data = buffer.floatChannelData()) std::iota(data[0], data[0] + length, 0.0f);
        return buffer;
    }
    static std::vector<float> samples(const PCMBuffer& b) {
        const float* data = b.floatChannelData()[0];
        return {data, data + b.frameLength() * b.format().bytesPerFrame() / 4};
    }
};

}  // namespace

TEST_F(AppendContentsTest, AppendsAfterTheCurrentFrames) {
    capture(Level::debug);
    PCMBuffer destination = ramp(2, 10);
    const PCMBuffer source = ramp(8, 8);
    EXPECT_TRUE(appendContents(destination, source, 3, 4));
    EXPECT_EQ(samples(destination), (std::vector<float>{0, 1, 3, 4, 5, 6}));
    EXPECT_TRUE(taken().empty());
}

TEST_F(AppendContentsTest, ShortensTheAppendToTheRoomLeft) {
    capture(Level::debug);
    PCMBuffer destination(PCMFormat{}, 60);
    const PCMBuffer source = ramp(100, 100);
    EXPECT_TRUE(appendContents(destination, source, 0, 100));
    EXPECT_EQ(destination.frameLength(), 60u);
    EXPECT_EQ(samples(destination).back(), 59.0f);
    EXPECT_EQ(
        taken(),
        (std::vector<std::string>{"Insufficient space in buffer, reducing frame count to fit"}));
}

TEST_F(AppendContentsTest, InterleavedFramesCopyEveryChannel) {
    const PCMFormat stereo{CommonFormat::pcmFormatFloat32, 16000, 2, true};
    PCMBuffer destination(stereo, 4);
    PCMBuffer source(stereo, 3);
    source.setFrameLength(3);
    std::iota(source.floatChannelData()[0], source.floatChannelData()[0] + 6, 0.0f);
    EXPECT_TRUE(appendContents(destination, source, 1, 2));
    EXPECT_EQ(samples(destination), (std::vector<float>{2, 3, 4, 5}));
}

TEST_F(AppendContentsTest, RefusalsLeaveTheDestinationUnchanged) {
    const PCMFormat stereo{CommonFormat::pcmFormatFloat32, 16000, 2, false};
    const PCMFormat int16{CommonFormat::pcmFormatInt16, 16000, 1, false};
    struct Case {
        const char* name;
        PCMBuffer source;
        PCMFormat destinationFormat;
        int64_t startingFrame;
        uint32_t frameCount;
        std::string message;
    };
    Case cases[] = {
        {"other rate", ramp(10, 10, PCMFormat{CommonFormat::pcmFormatFloat32, 48000, 1, false}),
         PCMFormat{}, 0, 1, "Format mismatch"},
        {"other channels", ramp(10, 10, stereo), PCMFormat{}, 0, 1, "Format mismatch"},
        {"past the end", ramp(10, 10), PCMFormat{}, 6, 5, "Insufficient audio in buffer"},
        {"negative start", ramp(10, 10), PCMFormat{}, -1, 1, "Insufficient audio in buffer"},
        {"huge start", ramp(10, 10), PCMFormat{}, std::numeric_limits<int64_t>::max(), 1,
         "Insufficient audio in buffer"},
        {"count beyond length", ramp(10, 10), PCMFormat{}, 0, std::numeric_limits<uint32_t>::max(),
         "Insufficient audio in buffer"},
        {"no float data", ramp(10, 10, int16), int16, 0, 1, "Failed to access float channel data"},
    };
    for (auto& c : cases) {
        capture(Level::debug);
        PCMBuffer destination(c.destinationFormat, 20);
        destination.setFrameLength(2);
        EXPECT_FALSE(appendContents(destination, c.source, c.startingFrame, c.frameCount))
            << c.name;
        EXPECT_EQ(destination.frameLength(), 2u) << c.name;
        EXPECT_EQ(taken(), std::vector<std::string>{c.message}) << c.name;
    }
}

TEST_F(AppendContentsTest, EachMessageHasItsLevel) {
    // Refusals that mean lost audio are errors; a format mismatch and a
    // shortened append are debug notes only.
    const PCMFormat int16{CommonFormat::pcmFormatInt16, 16000, 1, false};
    const PCMFormat otherRate{CommonFormat::pcmFormatFloat32, 48000, 1, false};
    struct Case {
        const char* message;
        Level level;
        PCMFormat format;
        uint32_t destinationCapacity;
        int64_t startingFrame;
        uint32_t frameCount;
    };
    const Case cases[] = {
        {"Format mismatch", Level::debug, otherRate, 20, 0, 1},
        {"Insufficient space in buffer, reducing frame count to fit", Level::debug, PCMFormat{}, 3,
         0, 5},
        {"Insufficient audio in buffer", Level::error, PCMFormat{}, 20, 8, 5},
        {"Failed to access float channel data", Level::error, int16, 20, 0, 1},
    };
    for (const auto& c : cases) {
        for (Level level : {Level::debug, Level::info, Level::error}) {
            capture(level);
            PCMBuffer destination(c.format == otherRate ? PCMFormat{} : c.format,
                                  c.destinationCapacity);
            appendContents(destination, ramp(10, 10, c.format), c.startingFrame, c.frameCount);
            const auto expected =
                level <= c.level ? std::vector<std::string>{c.message} : std::vector<std::string>{};
            EXPECT_EQ(taken(), expected) << c.message << " at level " << static_cast<int>(level);
        }
    }
}
