// The energy measures and the window cut, against values worked out by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/LogCapture.hpp"

namespace {

using auralith::AudioProcessor;
using vortil::Logging;

std::vector<float> constant(size_t n, float v) { return std::vector<float>(n, v); }

TEST(AudioEnergy, StatisticsOfABuffer) {
    const auto e = AudioProcessor::calculateEnergy({0.5f, -1.0f, 0.0f, 0.5f});
    EXPECT_NEAR(e.avg, 0.6124f, 1e-4);
    EXPECT_EQ(e.max, 1.0f);
    EXPECT_EQ(e.min, 0.0f);
    const auto empty = AudioProcessor::calculateEnergy({});
    EXPECT_EQ(empty.avg, 0.0f);
    EXPECT_EQ(empty.max, 0.0f);
}

TEST(AudioEnergy, RelativeEnergyTable) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float level;
        std::optional<float> reference;
        float expected;
    } cases[] = {
        {0.1f, std::nullopt, 40.0f / 60.0f},  // -20 dB against the -60 dB default
        {0.0f, std::nullopt, 0.0f},           // silence
        {1.0f, std::nullopt, 1.0f},           // full scale
        {2.0f, std::nullopt, 1.0f},           // above full scale is limited
        {0.01f, 0.01f, 0.0f},                 // at the reference
        {0.001f, 0.01f, 0.0f},                // below the reference
        {0.1f, 0.01f, 0.5f},                  // halfway in dB
        {0.1f, 0.0f, 7.0f / 8.0f},            // a zero reference counts as -160 dB
        {0.1f, inf, 0.0f},                    // no usable reference: NaN becomes 0
        {nan, std::nullopt, 0.0f},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(constant(64, c.level), c.reference),
                    c.expected, 1e-5)
            << c.level << " against " << (c.reference ? *c.reference : -1.0f);
    }
}

TEST(AudioEnergy, VoiceCheckLooksOnlyAtTheOlderPartOfTheRecentSpan) {
    // 25 energies; index i holds a spike only where the case puts one.
    auto withSpikeAt = [](size_t count, std::optional<size_t> at) {
        std::vector<float> e(count, 0.1f);
        if (at) e[*at] = 0.9f;
        return e;
    };
    const struct {
        size_t count;
        std::optional<size_t> spike;
        float seconds;
        bool expected;
    } cases[] = {
        {25, 5, 2.0f, true},  // last 20 start at 5; first 10 of them are 5..14
        {25, 14, 2.0f, true},
        {25, 15, 2.0f, false},  // the newest 10 are never looked at
        {25, 24, 2.0f, false},
        {25, 4, 2.0f, false},  // before the span
        {25, 5, 0.0f, false},  // no span, no voice
        {25, 5, -1.0f, false},
        {5, 4, 1.0f, true},  // fewer than 10: all of them
        {0, std::nullopt, 1.0f, false},
        {25, 0, 1e9f, true},  // a huge span covers everything: first 15
        {25, 15, 1e9f, false},
        {25, 24, std::numeric_limits<float>::quiet_NaN(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioProcessor::isVoiceDetected(withSpikeAt(c.count, c.spike), c.seconds, 0.3f),
                  c.expected)
            << c.count << " energies, spike at " << (c.spike ? int(*c.spike) : -1) << ", "
            << c.seconds << " s";
    }
    // Strictly above the threshold.
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(constant(5, 0.3f), 1.0f, 0.3f));
}

TEST(AudioEnergy, FrameActivityCoversOverlappingFramesAndSurvivesBadBounds) {
    // 3200 samples: the first 1600 loud, the rest silent.
    std::vector<float> s(3200, 0.0f);
    for (size_t i = 0; i < 1600; ++i) s[i] = 0.5f;
    // Frame 1 spans 1600..3200 with overlap 800: silent. Frame 0 spans 0..2400.
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(s, 2, 1600, 800, 0.02f),
              (std::vector<bool>{true, false}));
    // Overlap reaching into the loud part makes frame 0 of a shifted array loud.
    std::vector<float> late(3200, 0.0f);
    for (size_t i = 2000; i < 2400; ++i) late[i] = 1.0f;
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(late, 2, 1600, 800, 0.02f),
              (std::vector<bool>{true, true}));
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(late, 2, 1600, 0, 0.02f),
              (std::vector<bool>{false, true}));
    // Frames starting past the end, negative counts and lengths, overflowing
    // products: no read outside the samples.
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(s, 4, 1600, 0, 0.02f),
              (std::vector<bool>{true, false, false, false}));
    EXPECT_TRUE(AudioProcessor::calculateVoiceActivityInChunks(s, -3, 1600, 0, 0.02f).empty());
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(
                  s, 3, std::numeric_limits<int64_t>::max() / 2, 5, 0.02f),
              (std::vector<bool>{true, false, false}));
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(s, 2, -1600, -5, 0.02f),
              (std::vector<bool>{false, false}));
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks({}, 2, 1600, 0, 0.02f),
              (std::vector<bool>{false, false}));
}

class AudioWindowTest : public auralith::testing::LogCaptureTest {};

TEST_F(AudioWindowTest, CopiesAndZeroPadsTheWindow) {
    std::vector<float> tenSeconds(160000);
    for (size_t i = 0; i < tenSeconds.size(); ++i)
        tenSeconds[i] = float(i % 1000) / 1000.0f + 0.001f;
    const struct {
        int64_t start, length;
        int64_t copied;  // samples taken from the array; the rest must be zero
    } cases[] = {
        {0, 480000, 160000}, {159000, 480000, 1000}, {0, 160000, 160000},
        {100, 50, 50},       {159999, 1, 1},
    };
    for (const auto& c : cases) {
        auto window = AudioProcessor().padOrTrim(tenSeconds, c.start, c.length);
        ASSERT_TRUE(window) << c.start;
        ASSERT_EQ(window->shape(), (std::vector<int64_t>{c.length}));
        const auto values = window->span<float>();
        for (int64_t i = 0; i < c.copied; ++i)
            ASSERT_EQ(values[size_t(i)], tenSeconds[size_t(c.start + i)]);
        for (int64_t i = c.copied; i < c.length; ++i) ASSERT_EQ(values[size_t(i)], 0.0f) << i;
    }
}

TEST_F(AudioWindowTest, RefusesStartsOutsideTheSamplesAndEmptyWindows) {
    capture(Logging::LogLevel::error);
    const std::vector<float> samples(100, 0.5f);
    const struct {
        std::vector<float> samples;
        int64_t start, length;
        const char* message;
    } cases[] = {
        {samples, 100, 10, "startIndex is outside the buffer size"},
        {samples, -1, 10, "startIndex is outside the buffer size"},
        {samples, std::numeric_limits<int64_t>::min(), 10, "startIndex is outside the buffer size"},
        {{}, 0, 10, "startIndex is outside the buffer size"},
        {samples, 0, 0, "Window length must be greater than 0"},
        {samples, 0, -5, "Window length must be greater than 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioProcessor::padOrTrimAudio(c.samples, c.start, c.length), nullptr);
        const auto logged = taken();
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_NE(logged[0].find(c.message), std::string::npos) << logged[0];
    }
}

TEST(AudioSampleBuffer, PurgeKeepsTheNewestSamples) {
    const struct {
        int64_t keep;
        std::vector<float> expected;
    } cases[] = {{0, {}}, {2, {3, 4}}, {4, {1, 2, 3, 4}}, {9, {1, 2, 3, 4}}, {-1, {}}};
    for (const auto& c : cases) {
        AudioProcessor p;
        p.setAudioSamples({1, 2, 3, 4});
        p.setAudioEnergy({{0.5f, 1, 1, 1}});
        p.purgeAudioSamples(c.keep);
        EXPECT_EQ(p.audioSamples(), c.expected) << c.keep;
        EXPECT_EQ(p.audioEnergy().size(), 1u);
    }
}

}  // namespace
