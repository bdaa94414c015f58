// Energy framing, silence search and range conversions of the detectors.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"

using namespace auralith;
using Range = VoiceActivityDetector::IndexRange;

namespace {

// Labels chosen by the test, whatever the samples.
struct ScriptedVAD : VoiceActivityDetector {
    explicit ScriptedVAD(std::vector<bool> labels)
        : VoiceActivityDetector(16000, 1600), labels(std::move(labels)) {}
    std::vector<bool> voiceActivity(const std::vector<float>&) const override { return labels; }
    std::vector<bool> labels;
};

// `count` samples of `level`, [from, to) at 0.5.
std::vector<float> signal(std::size_t count, float level, std::size_t from = 0,
                          std::size_t to = 0) {
    std::vector<float> s(count, level);
    std::fill(s.begin() + static_cast<std::ptrdiff_t>(from),
              s.begin() + static_cast<std::ptrdiff_t>(to), 0.5f);
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
    const float above = std::nextafter(0.25f, 1.0f);
    const Row rows[] = {
        {"empty", {}, 1600, 0, 0.02f, {}},
        {"short last frame",
         signal(4801, 0.0f, 4800, 4801),
         1600,
         0,
         0.02f,
         {false, false, false, true}},
        // 0.25 squares and sums exactly, so the RMS equals the threshold.
        {"rms at threshold is silent", signal(3200, 0.25f), 1600, 0, 0.25f, {false, false}},
        {"rms above is voiced", signal(3200, above), 1600, 0, 0.25f, {true, true}},
        {"no overlap", signal(4800, 0.0f, 1600, 2000), 1600, 0, 0.02f, {false, true, false}},
        {"overlap reaches the next step",
         signal(4800, 0.0f, 1600, 2000),
         1600,
         400,
         0.02f,
         {true, true, false}},
        {"zero frame length", signal(4800, 0.5f), 0, 0, 0.02f, {}},
        {"negative frame length", signal(4800, 0.5f), -1600, 0, 0.02f, {}},
    };
    for (const auto& row : rows) {
        const EnergyVAD vad(16000, row.frameLength, row.overlap, row.threshold);
        EXPECT_EQ(vad.voiceActivity(row.samples), row.expected) << row.what;
        EXPECT_EQ(vad.calculateActiveChunks(row.samples).empty(),
                  std::find(row.expected.begin(), row.expected.end(), true) == row.expected.end())
            << row.what;
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(EnergyVAD::fromSeconds(16000, 0.1f, 0.025f, 0.3f).frameLengthSamples(), 1600);
    EXPECT_EQ(EnergyVAD::fromSeconds(16000, 0.1f, 0.025f, 0.3f).frameOverlapSamples(), 400);
    EXPECT_EQ(EnergyVAD::fromSeconds(16000, nan, 0.0f, 0.3f).voiceActivity(signal(3200, 0.5f)),
              std::vector<bool>{});
}

TEST(VoiceActivityDetector, LongestSilenceIsTheEarliestOfTheLongestRuns) {
    const ScriptedVAD vad({});
    const std::pair<std::vector<bool>, std::optional<Range>> rows[] = {
        {{}, std::nullopt},
        {{true, true}, std::nullopt},
        {{false, false, false}, Range{0, 3}},
        {{true, false, false, true, false, false}, Range{1, 3}},
        {{false, true, false, false, true, false, false, false}, Range{5, 8}},
    };
    for (const auto& [activity, expected] : rows)
        EXPECT_EQ(vad.findLongestSilence(activity), expected);
}

TEST(VoiceActivityDetector, RangesEndAtFrameStepsOrTheArrayEnd) {
    const std::vector<float> samples(6000, 0.0f);
    EXPECT_EQ(ScriptedVAD({true, true, false, true}).calculateActiveChunks(samples),
              (std::vector<Range>{{0, 3200}, {4800, 6000}}));
    EXPECT_EQ(ScriptedVAD({true, false, true, false}).calculateSeekTimestamps(samples),
              (std::vector<std::pair<float, float>>{{0.0f, 0.1f}, {0.2f, 0.3f}}));
    EXPECT_EQ(ScriptedVAD({}).voiceActivityIndexToSeconds(5), 0.5f);
    // The processor's ranges are the default detector's.
    auto loud = signal(10000, 0.0f, 1600, 4800);
    std::fill(loud.begin() + 8000, loud.begin() + 8100, 0.5f);  // RMS 0.125 over its frame
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(loud),
              (std::vector<Range>{{1600, 4800}, {8000, 9600}}));
}
