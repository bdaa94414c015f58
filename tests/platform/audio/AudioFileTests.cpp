// The FFmpeg file reader: exact lengths and positions, reads at the end.

#include <gtest/gtest.h>

#include "platform/audio/AudioFile.hpp"
#include "support/GeneratedAudio.hpp"

namespace {

using namespace testsupport;
using platform::AudioFile;
using platform::PCMBuffer;

std::vector<float> channel(const PCMBuffer& b, uint32_t c) {
    return {b.floatChannelData()[c], b.floatChannelData()[c] + b.frameLength()};
}

TEST(AudioFile, ReportsTheFormatAndReadsFromAnyPosition) {
    TempDir dir("verbolin-audiofile");
    // Left channel counts time (t), right is its negative: every frame says where it is.
    const auto wav = makeAudio(dir / "ramp.wav", "t/4|-t/4", 44100, 3, "-c:a pcm_f32le");
    AudioFile file(wav.string());
    EXPECT_EQ(file.fileFormat().sampleRate, 44100);
    EXPECT_EQ(file.fileFormat().channelCount, 2u);
    EXPECT_EQ(file.length(), 3 * 44100);
    PCMBuffer buffer(file.processingFormat(), 1000);
    for (int64_t at : {int64_t(44100), int64_t(0), int64_t(100000), int64_t(44100)}) {
        file.setFramePosition(at);
        ASSERT_EQ(file.read(buffer, 1000), 1000u);
        EXPECT_NEAR(channel(buffer, 0)[0], float(at) / 44100 / 4, 1e-6) << at;
        EXPECT_NEAR(channel(buffer, 1)[999], -float(at + 999) / 44100 / 4, 1e-6) << at;
        EXPECT_EQ(file.framePosition(), at + 1000);
    }
    // At the end: what is left, then nothing.
    file.setFramePosition(file.length() - 300);
    EXPECT_EQ(file.read(buffer, 1000), 300u);
    EXPECT_EQ(file.read(buffer, 1000), 0u);
    EXPECT_EQ(buffer.frameLength(), 0u);
    // Positions outside the file are clamped.
    file.setFramePosition(-5);
    EXPECT_EQ(file.framePosition(), 0);
    // A buffer of another format is refused rather than overrun.
    PCMBuffer mono({platform::CommonFormat::pcmFormatFloat32, 44100, 1, false}, 1000);
    EXPECT_THROW(file.read(mono, 1000), platform::AudioFileError);
}

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
}

}  // namespace
