#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/audio/PCMBuffer.hpp"

namespace {

using platform::PCMBuffer;

// A copy whose channel pointers still pointed into the original would read
// freed memory once the original goes away.
TEST(PCMBuffer, CopiesOwnTheirSamples) {
    PCMBuffer a({platform::CommonFormat::pcmFormatFloat32, 16000, 2, false}, 4);
    a.setFrameLength(4);
    a.floatChannelData()[1][3] = 7;
    PCMBuffer b = a;
    a.floatChannelData()[1][3] = 1;
    EXPECT_EQ(b.floatChannelData()[1][3], 7);
    EXPECT_NE(b.floatChannelData()[1], a.floatChannelData()[1]);
    b = a;
    EXPECT_EQ(b.floatChannelData()[1][3], 1);
    auto c = std::make_unique<PCMBuffer>(b);
    b = PCMBuffer({platform::CommonFormat::pcmFormatFloat32, 16000, 1, false}, 1);
    EXPECT_EQ(c->floatChannelData()[1][3], 1);
}

// Growing keeps every channel's frames where the channel pointers say, and
// the new room is silent, for every layout and across the size at which the
// storage moves from the heap to its own mapping.
TEST(PCMBuffer, GrowingKeepsFramesAndClearsTheNewRoom) {
    const struct {
        uint32_t channels;
        bool interleaved;
        uint32_t from, to;
    } cases[] = {{1, false, 0, 5},        {1, false, 3, 3},
                 {2, false, 4, 9},        {3, false, 1000, 300000},
                 {2, true, 4, 9},         {3, true, 1000, 300000},
                 {1, false, 1, 1u << 22}, {2, false, 1u << 20, (1u << 20) + 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + (c.interleaved ? " interleaved " : " planar ") +
                     std::to_string(c.from) + " -> " + std::to_string(c.to));
        PCMBuffer buffer(
            {platform::CommonFormat::pcmFormatFloat32, 16000, c.channels, c.interleaved}, c.from);
        const uint32_t perBuffer = c.interleaved ? c.channels : 1;
        const uint32_t buffers = c.interleaved ? 1 : c.channels;
        auto value = [](uint32_t b, uint32_t i) { return float(b * 1000003u + i + 1); };
        for (uint32_t b = 0; b < buffers; ++b)
            for (uint32_t i = 0; i < c.from * perBuffer; ++i)
                buffer.floatChannelData()[b][i] = value(b, i);
        buffer.setFrameLength(c.from);
        buffer.reserveFrames(c.to);
        EXPECT_EQ(buffer.frameCapacity(), std::max(c.from, c.to));
        EXPECT_EQ(buffer.frameLength(), c.from);
        for (uint32_t b = 0; b < buffers; ++b) {
            const float* data = buffer.floatChannelData()[b];
            for (uint32_t i = 0; i < c.from * perBuffer; ++i) ASSERT_EQ(data[i], value(b, i)) << b;
            for (uint32_t i = c.from * perBuffer; i < buffer.frameCapacity() * perBuffer; ++i)
                ASSERT_EQ(data[i], 0.0f) << b << " at " << i;
        }
        buffer.setFrameLength(buffer.frameCapacity());
        PCMBuffer copy = buffer;
        EXPECT_EQ(copy.floatChannelData()[buffers - 1][0],
                  buffer.floatChannelData()[buffers - 1][0]);
    }
}

}  // namespace
