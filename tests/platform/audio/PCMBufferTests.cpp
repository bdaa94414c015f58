#include <gtest/gtest.h>

#include <memory>

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

}  // namespace
