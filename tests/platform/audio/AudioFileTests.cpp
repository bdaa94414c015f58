// The FFmpeg file reader: exact lengths and positions, reads at the end, and
// repeated positioning in compressed files; the whole-buffer converter.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/audio/AudioConverter.hpp"
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

TEST(AudioFile, CompressedFilesReadTheSameFramesWhereverTheyAreReachedFrom) {
    TempDir dir("verbolin-audiofile");
    const std::pair<const char*, const char*> kinds[] = {
        {"x.mp3", "-c:a libmp3lame -b:a 192k"}, {"x.flac", "-c:a flac"}, {"x.ogg", "-c:a libvorbis"}};
    for (const auto& [name, codec] : kinds) {
        const auto file = makeAudio(dir / name, "0.5*sin(2*PI*(200+100*t)*t)", 44100, 30, codec);
        AudioFile audio(file.string());
        PCMBuffer first(audio.processingFormat(), 4410), again(audio.processingFormat(), 4410);
        // In order from the start, then by a long jump back and a long jump forward.
        audio.setFramePosition(20 * 44100);
        audio.read(first, 4410);
        audio.setFramePosition(0);
        audio.read(again, 4410);
        audio.setFramePosition(20 * 44100);
        audio.read(again, 4410);
        ASSERT_EQ(again.frameLength(), 4410u);
        double diff = 0;
        for (uint32_t i = 0; i < 4410; ++i) diff = std::max(diff, double(std::fabs(channel(first, 0)[i] - channel(again, 0)[i])));
        // The decoder settles within the pre-roll: the same samples, give or
        // take the lossy codec's own noise.
        EXPECT_LT(diff, 0.02) << codec;
    }
}

TEST(AudioFile, RefusesWhatIsNotAudio) {
    TempDir dir("verbolin-audiofile");
    std::ofstream(dir / "words.wav") << "no audio here";
    std::filesystem::create_directories(dir / "folder");
    for (const auto& p : {dir / "words.wav", dir / "folder", dir / "absent.wav"})
        EXPECT_THROW(AudioFile{p.string()}, platform::AudioFileError) << p;
}

TEST(AudioConverter, ConvertsWholeBuffersOfAnyLayoutWithoutCarryOver) {
    using platform::PCMFormat;
    const PCMFormat out{platform::CommonFormat::pcmFormatFloat32, 16000, 1, false};
    const struct {
        PCMFormat in;
    } cases[] = {{{platform::CommonFormat::pcmFormatFloat32, 44100, 2, false}},
                 {{platform::CommonFormat::pcmFormatFloat32, 48000, 2, true}},
                 {{platform::CommonFormat::pcmFormatFloat32, 8000, 1, false}}};
    for (const auto& c : cases) {
        auto converter = platform::AudioConverter::create(c.in, out);
        ASSERT_TRUE(converter);
        const uint32_t frames = uint32_t(c.in.sampleRate / 10);
        PCMBuffer in(c.in, frames);
        in.setFrameLength(frames);
        for (uint32_t i = 0; i < frames; ++i)
            for (uint32_t ch = 0; ch < c.in.channelCount; ++ch) {
                const float v = 0.5f * float(std::sin(2 * M_PI * 1000 * i / c.in.sampleRate));
                if (c.in.interleaved)
                    in.floatChannelData()[0][i * c.in.channelCount + ch] = v;
                else
                    in.floatChannelData()[ch][i] = v;
            }
        for (int round = 0; round < 2; ++round) {  // the second must not see the first's tail
            PCMBuffer result(out, 1600);
            ASSERT_EQ(converter->convert(result, in), platform::AudioConverter::OutputStatus::haveData);
            EXPECT_NEAR(double(result.frameLength()), 1600, 2) << c.in.sampleRate;
            EXPECT_NEAR(zeroCrossingHz(channel(result, 0), 16000), 1000, 25) << c.in.sampleRate;
        }
    }
    EXPECT_FALSE(platform::AudioConverter::create({platform::CommonFormat::pcmFormatInt16, 44100, 1, false}, out));
    EXPECT_FALSE(platform::AudioConverter::create({platform::CommonFormat::pcmFormatFloat32, 0, 1, false}, out));
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
