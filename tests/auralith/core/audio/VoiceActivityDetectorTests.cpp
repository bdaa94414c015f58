// Energy framing, silence search and range conversions of the voice-activity
// detectors.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"

using namespace auralith;
using Range = VoiceActivityDetector::IndexRange;

namespace {

// Labels chosen by the test, whatever the samples.
class ScriptedVAD : public VoiceActivityDetector {
  public:
    ScriptedVAD(std::vector<bool> labels, std::int64_t frameLength = 1600)
        : VoiceActivityDetector(16000, frameLength), labels_(std::move(labels)) {}
    std::vector<bool> voiceActivity(const std::vector<float>&) const override { return labels_; }

  private:
    std::vector<bool> labels_;
};

// `count` samples of `level`, with [loudFrom, loudTo) at `loud`.
std::vector<float> signal(std::size_t count, float level, std::size_t loudFrom = 0,
                          std::size_t loudTo = 0, float loud = 0.5f) {
    std::vector<float> s(count, level);
    for (std::size_t i = loudFrom; i < loudTo && i < count; ++i) s[i] = loud;
    return s;
}

}  // namespace

TEST(EnergyVAD, FramesAndThreshold) {
    struct Row {
        const char* what;
        std::vector<float> samples;
        std::int64_t frameLength, overlap;
        float threshold;
        std::vector<bool> expected;
    };
    const Row rows[] = {
        {"empty", {}, 1600, 0, 0.02f, {}},
        {"short last frame holds one loud sample", signal(16001, 0.0f, 16000, 16001), 1600, 0,
         0.02f, {false, false, false, false, false, false, false, false, false, false, true}},
        // 0.25 squares and sums exactly, so the RMS equals the threshold.
        {"rms equal to threshold is silent", signal(3200, 0.25f), 1600, 0, 0.25f, {false, false}},
        {"rms just above is voiced", signal(3200, std::nextafter(0.25f, 1.0f)), 1600, 0, 0.25f,
         {true, true}},
        {"without overlap only the frame holding the sound", signal(4800, 0.0f, 1600, 2000), 1600,
         0, 0.02f, {false, true, false}},
        {"overlap lets the frame before reach into it", signal(4800, 0.0f, 1600, 2000), 1600, 400,
         0.02f, {true, true, false}},
        {"zero frame length finds no frames", signal(4800, 0.5f), 0, 0, 0.02f, {}},
        {"negative frame length finds no frames", signal(4800, 0.5f), -1600, 0, 0.02f, {}},
    };
    for (const auto& row : rows) {
        const EnergyVAD vad(16000, row.frameLength, row.overlap, row.threshold);
        EXPECT_EQ(vad.voiceActivity(row.samples), row.expected) << row.what;
        EXPECT_EQ(vad.voiceActivityAsync(row.samples), row.expected) << row.what;
    }
}

TEST(EnergyVAD, ZeroFrameLengthGivesNoRangesOrSilence) {
    const EnergyVAD vad(16000, 0, 0, 0.02f);
    const auto samples = signal(48000, 0.0f, 16000, 32000);
    EXPECT_TRUE(vad.calculateActiveChunks(samples).empty());
    EXPECT_EQ(vad.findLongestSilence(vad.voiceActivity(samples)), std::nullopt);
    EXPECT_TRUE(vad.voiceActivityClipTimestamps(samples).empty());
}

TEST(EnergyVAD, SecondsAreConvertedToWholeSamples) {
    struct Row {
        float frameLength, overlap;
        std::int64_t samples, overlapSamples;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Row rows[] = {{0.1f, 0.0f, 1600, 0},   {0.025f, 0.0125f, 400, 200},
                        {0.00009f, 0.0f, 1, 0},  {nan, inf, 0, 0},
                        {-inf, 0.1f, 0, 1600}};
    for (const auto& row : rows) {
        const auto vad = EnergyVAD::fromSeconds(16000, row.frameLength, row.overlap, 0.3f);
        EXPECT_EQ(vad.frameLengthSamples(), row.samples) << row.frameLength;
        EXPECT_EQ(vad.frameOverlapSamples(), row.overlapSamples) << row.overlap;
        EXPECT_EQ(vad.energyThreshold(), 0.3f);
    }
}

TEST(VoiceActivityDetector, LongestSilenceIsTheEarliestOfTheLongestRuns) {
    const ScriptedVAD vad({});
    struct Row {
        std::vector<bool> activity;
        std::optional<Range> expected;
    };
    const Row rows[] = {
        {{}, std::nullopt},
        {{true, true}, std::nullopt},
        {{false, false, false}, Range{0, 3}},
        {{true, false, false, true, false, false}, Range{1, 3}},
        {{false, true, false, false, true, false, false, false}, Range{5, 8}},
        {{true, false, true}, Range{1, 2}},
    };
    for (const auto& row : rows) EXPECT_EQ(vad.findLongestSilence(row.activity), row.expected);
}

TEST(VoiceActivityDetector, ActiveRangesEndAtFrameStepsOrTheArrayEnd) {
    const std::vector<float> samples(6000, 0.0f);
    struct Row {
        std::vector<bool> activity;
        std::vector<Range> expected;
    };
    const Row rows[] = {
        {{true, true, false, true}, {{0, 3200}, {4800, 6000}}},
        {{false, false, false, false}, {}},
        {{true, false, true, false}, {{0, 1600}, {3200, 4800}}},
        {{}, {}},
    };
    for (const auto& row : rows) {
        const ScriptedVAD vad(row.activity);
        EXPECT_EQ(vad.calculateActiveChunks(samples), row.expected);
    }
    const ScriptedVAD vad({true, true, false, true});
    EXPECT_EQ(vad.calculateNonSilentSeekClips(samples),
              (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 3200}, {4800, 6000}}));
    EXPECT_EQ(vad.voiceActivityClipTimestamps(samples),
              (std::vector<float>{0.0f, 0.2f, 0.3f, 0.375f}));
    EXPECT_EQ(vad.voiceActivityIndexToSeconds(5), 0.5f);
    EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(5), 8000);
}

TEST(EnergyVAD, ProcessorFindsVoicedRangesWithTheDefaultDetector) {
    auto samples = signal(10000, 0.0f, 1600, 4800);
    std::fill(samples.begin() + 8000, samples.begin() + 8100, 0.5f);  // RMS 0.125 over its frame
    std::fill(samples.begin() + 9700, samples.end(), 0.01f);           // below 0.02
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(samples),
              (std::vector<Range>{{1600, 4800}, {8000, 9600}}));
    EXPECT_TRUE(AudioProcessor::calculateNonSilentChunks({}).empty());
}
