// Cutting long audio at silences, and moving chunk results back onto the
// whole array's timeline.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "auralith/core/audio/VADAudioChunker.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/SpeechAudio.hpp"

using namespace auralith;
using Bounds = std::vector<std::pair<std::int64_t, std::int64_t>>;

namespace {

constexpr std::int64_t kMax = 480000;  // one 30 s window
constexpr std::int64_t kRate = 16000;
constexpr std::int64_t kMid = kMax / 2;

// A tone the default detector hears everywhere except in `silences`.
std::vector<float> toneWithSilences(std::int64_t count, const Bounds& silences = {}) {
    std::vector<float> s(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = 0.3f * std::sin(0.07f * static_cast<float>(i % 9000));
    for (const auto& [from, to] : silences) std::fill(s.begin() + from, s.begin() + to, 0.0f);
    return s;
}

Bounds bounds(const std::vector<AudioChunk>& chunks) {
    Bounds out;
    for (const auto& c : chunks)
        out.emplace_back(c.seekOffsetIndex,
                         c.seekOffsetIndex + static_cast<std::int64_t>(c.audioSamples.size()));
    return out;
}

std::optional<DecodingOptions> clips(std::vector<float> clipTimestamps) {
    auto options = DecodingOptions::defaultSet();
    options.clipTimestamps = std::move(clipTimestamps);
    return options;
}

class ChunkerLogTest : public auralith::testing::LogCaptureTest {};

}  // namespace

TEST(VADAudioChunker, CutsWherePartsOfTheArrayAreSilent) {
    struct Row {
        const char* what;
        std::int64_t count;
        Bounds silences;
        std::optional<DecodingOptions> options;
        Bounds expected;
    };
    const Row rows[] = {
        {"one window, even with clips", kMax, {}, clips({1, 2}), {{0, kMax}}},
        {"remainder within the padding dropped", kMax + 10000, {}, std::nullopt, {{0, kMax}}},
        {"remainder above the padding kept",
         kMax + 20000,
         {},
         std::nullopt,
         {{0, kMax}, {kMax, kMax + 20000}}},
        {"silence in the first half unused",
         kMax + 100000,
         {{5 * kRate, 6 * kRate}},
         std::nullopt,
         {{0, kMax}, {kMax, kMax + 100000}}},
        // Two silences of 5 frames from the middle: the middle frame of the earlier.
        {"earlier of two equal silences",
         kMax + 100000,
         {{kMid + 20 * 1600, kMid + 25 * 1600}, {kMid + 60 * 1600, kMid + 65 * 1600}},
         std::nullopt,
         {{0, kMid + 22 * 1600}, {kMid + 22 * 1600, kMax + 100000}}},
        {"clip end beyond the array",
         kMax + 100000,
         {},
         clips({0, 100}),
         {{0, kMax}, {kMax, kMax + 100000}}},
        {"clip within the padding", kMax + 100000, {}, clips({10, 10.5f}), {}},
        {"clip outside within the padding", kMax + 100000, {}, clips({40, 40.5f}), {}},
    };
    const VADAudioChunker chunker(16000, nullptr);
    for (const auto& row : rows) {
        const auto audio = toneWithSilences(row.count, row.silences);
        const auto chunks = chunker.chunkAll(audio, kMax, row.options);
        EXPECT_EQ(bounds(chunks), row.expected) << row.what;
        for (const auto& c : chunks)
            EXPECT_TRUE(std::equal(c.audioSamples.begin(), c.audioSamples.end(),
                                   audio.begin() + c.seekOffsetIndex));
    }
}

TEST_F(ChunkerLogTest, CutsInTheMiddleOfTheLongestSilenceAndLogsEachChunk) {
    capture(vortil::Logging::LogLevel::debug);
    // 35 s; frames 100-109 of the first window's second half are silent.
    const auto audio = toneWithSilences(35 * kRate, {{kMid + 100 * 1600, kMid + 110 * 1600}});
    EXPECT_EQ(bounds(VADAudioChunker().chunkAll(audio, kMax, std::nullopt)),
              (Bounds{{0, 408000}, {408000, 560000}}));
    EXPECT_EQ(taken(), (std::vector<std::string>{"Found chunk from 0.00 to 25.50",
                                                 "Found chunk from 25.50 to 35.00"}));
}

TEST(VADAudioChunker, RefusesWhatWouldReadOutsideTheArray) {
    const auto audio = toneWithSilences(kMax + 100000);
    const VADAudioChunker chunker;
    const std::pair<std::int64_t, std::optional<DecodingOptions>> calls[] = {
        {kMax, clips({40, 45})}, {kMax, clips({-3, 5})}, {0, std::nullopt}, {-5, std::nullopt}};
    for (const auto& [max, options] : calls) {
        try {
            chunker.chunkAll(audio, max, options);
            ADD_FAILURE() << "no error for maximum " << max;
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.kind(), WhisperError::Kind::audioProcessingFailed) << e.message();
        }
    }
    // A detector that reports more frames than the half window holds.
    struct Liar : VoiceActivityDetector {
        Liar() : VoiceActivityDetector(16000, 1600) {}
        std::vector<bool> voiceActivity(const std::vector<float>&) const override {
            std::vector<bool> v(1000, true);
            std::fill(v.begin() + 900, v.end(), false);
            return v;
        }
    };
    EXPECT_EQ(
        bounds(
            VADAudioChunker(16000, std::make_shared<Liar>()).chunkAll(audio, kMax, std::nullopt)),
        (Bounds{{0, kMax}, {kMax, kMax + 100000}}));
}

TEST_F(ChunkerLogTest, ResultsMoveOntoTheWholeTimelineAndFailuresAreLeftOut) {
    capture(vortil::Logging::LogLevel::debug);
    const auto result = [](std::int64_t seek, float start, float end) {
        TranscriptionSegment s(0, seek, start, end, "t", {}, {}, 0, 0, 0, 0,
                               std::vector<WordTiming>{WordTiming(" w", {5}, start, end, 0.9f)});
        return std::make_shared<TranscriptionResult>("t", std::vector{s}, "en",
                                                     TranscriptionTimings{});
    };
    auto r1 = result(0, 0, 2), r2 = result(0, 1, 3), r3 = result(16000, 4, 5.5f);
    const std::vector<AudioChunk> chunks = {{0, {}}, {30 * kRate, {}}, {60 * kRate, {}}};
    const std::vector<AudioChunking::ChunkResult> results = {
        std::vector{r1}, std::make_exception_ptr(std::runtime_error("chunk broke")),
        std::vector{r2, r3},
        std::vector{result(0, 0, 1)}};  // one more than there are chunks: ignored
    EXPECT_EQ(VADAudioChunker().updateSeekOffsetsForResults(results, chunks),
              (std::vector{r1, r2, r3}));
    EXPECT_EQ(r1->seekTime(), 0.0f);
    EXPECT_EQ(r3->seekTime(), 60.0f);
    const auto s = r3->segments()[0];
    EXPECT_EQ(std::make_tuple(s.seek, s.start, s.end, s.words->at(0).start, s.words->at(0).end),
              std::make_tuple(16000 + 60 * kRate, 64.0f, 65.5f, 64.0f, 65.5f));
    EXPECT_EQ(r2->segments()[0].start, 61.0f);
    EXPECT_EQ(taken(), std::vector<std::string>{"Error transcribing chunk 1: chunk broke"});
}

// 95 s of speech made at test time, with pauses between sentences: every cut
// falls inside a pause and no chunk is longer than a window.
TEST(VADAudioChunker, SpokenRecordingIsCutOnlyInsidePauses) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    const char* sentences[] = {
        "The morning train left the station before the sun came over the hills",
        "Several passengers were reading newspapers while others looked out of the windows",
        "A conductor walked slowly along the carriages and checked every ticket",
        "Outside the fields were green and a few horses stood near the fence",
        "The journey to the coast usually takes about three hours",
    };
    const std::int64_t pauses[] = {20000, 24000, 18000, 28000, 22000, 19000, 26000};
    std::vector<float> audio;
    Bounds pauseRanges;
    for (std::size_t i = 0; audio.size() < 95 * kRate; ++i) {
        const auto words =
            testsupport::trimSilence(testsupport::speak(sentences[i % std::size(sentences)]));
        audio.insert(audio.end(), words.begin(), words.end());
        const auto start = static_cast<std::int64_t>(audio.size());
        audio.resize(audio.size() + pauses[i % std::size(pauses)], 0.0f);
        pauseRanges.emplace_back(start, static_cast<std::int64_t>(audio.size()));
    }
    audio.resize(95 * kRate);  // ends inside speech

    const auto chunks = bounds(VADAudioChunker().chunkAll(audio, kMax, std::nullopt));
    ASSERT_GE(chunks.size(), 4u);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto start = chunks[i].first;
        const auto end = chunks[i].second;
        EXPECT_EQ(start, i == 0 ? 0 : chunks[i - 1].second);
        EXPECT_LE(end - start, kMax);
        if (end == 95 * kRate) continue;
        EXPECT_TRUE(std::any_of(pauseRanges.begin(), pauseRanges.end(),
                                [&](auto& p) { return p.first <= end && end <= p.second; }))
            << "cut at " << end / 16000.0 << " s";
    }
}
