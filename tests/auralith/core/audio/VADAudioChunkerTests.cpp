// Cutting long audio at silences, and moving chunk results back onto the
// whole array's timeline.

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <stdexcept>

#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/core/audio/VADAudioChunker.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "support/SpeechAudio.hpp"

using namespace auralith;

namespace {

constexpr std::int64_t kMax = 480000;  // one 30 s window
constexpr std::int64_t kRate = 16000;

// A tone loud enough for the default detector everywhere, with the given
// stretches (in samples) silent.
std::vector<float> speechLike(std::int64_t count,
                              std::vector<std::pair<std::int64_t, std::int64_t>> silences = {}) {
    std::vector<float> s(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
        s[static_cast<std::size_t>(i)] = 0.3f * std::sin(0.07f * static_cast<float>(i % 9000));
    for (const auto& [from, to] : silences)
        for (std::int64_t i = from; i < to && i < count; ++i) s[static_cast<std::size_t>(i)] = 0.0f;
    return s;
}

std::vector<std::pair<std::int64_t, std::int64_t>> bounds(const std::vector<AudioChunk>& chunks) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& c : chunks)
        out.emplace_back(c.seekOffsetIndex,
                         c.seekOffsetIndex + static_cast<std::int64_t>(c.audioSamples.size()));
    return out;
}

DecodingOptions withClips(std::vector<float> clips) {
    auto options = DecodingOptions::defaultSet();
    options.clipTimestamps = std::move(clips);
    return options;
}

class ChunkerLogTest : public auralith::testing::LogCaptureTest {};

}  // namespace

TEST(VADAudioChunker, CutsWherePartsOfTheArrayAreSilent) {
    using B = std::vector<std::pair<std::int64_t, std::int64_t>>;
    struct Row {
        const char* what;
        std::int64_t count;
        B silences;
        std::optional<DecodingOptions> options;
        B expected;
    };
    const Row rows[] = {
        {"exactly one window, even with clips", kMax, {}, withClips({1.0f, 2.0f}), {{0, kMax}}},
        {"no silence, short remainder dropped", kMax + 10000, {}, std::nullopt, {{0, kMax}}},
        {"no silence, remainder above the padding kept", kMax + 20000, {}, std::nullopt,
         {{0, kMax}, {kMax, kMax + 20000}}},
        {"silence only in the first half is not used", kMax + 100000,
         {{5 * kRate, 6 * kRate}}, std::nullopt, {{0, kMax}, {kMax, kMax + 100000}}},
        // Frames from the window's middle (240000): both silences span 5 frames;
        // the cut goes to the middle frame of the earlier one.
        {"of two equal silences the earlier", kMax + 100000,
         {{240000 + 20 * 1600, 240000 + 25 * 1600}, {240000 + 60 * 1600, 240000 + 65 * 1600}},
         std::nullopt, {{0, 240000 + 22 * 1600}, {240000 + 22 * 1600, kMax + 100000}}},
        {"clip end beyond the array stops at the array", kMax + 100000, {},
         withClips({0.0f, 100.0f}), {{0, kMax}, {kMax, kMax + 100000}}},
        {"clip no longer than the padding gives nothing", kMax + 100000, {},
         withClips({10.0f, 10.5f}), {}},
    };
    const VADAudioChunker chunker(16000, nullptr);
    for (const auto& row : rows) {
        const auto audio = speechLike(row.count, row.silences);
        const auto chunks = chunker.chunkAll(audio, kMax, row.options);
        EXPECT_EQ(bounds(chunks), row.expected) << row.what;
        for (const auto& c : chunks) {
            ASSERT_LE(static_cast<std::int64_t>(c.audioSamples.size()), kMax) << row.what;
            EXPECT_TRUE(std::equal(c.audioSamples.begin(), c.audioSamples.end(),
                                   audio.begin() + c.seekOffsetIndex))
                << row.what;
        }
    }
}

TEST_F(ChunkerLogTest, CutsInTheMiddleOfTheLongestSilenceAndLogsEachChunk) {
    capture(vortil::Logging::LogLevel::debug);
    // 35 s; frames 100-109 of the first window's second half are silent.
    const auto audio = speechLike(35 * kRate, {{240000 + 100 * 1600, 240000 + 110 * 1600}});
    const auto chunks = VADAudioChunker().chunkAll(audio, kMax, std::nullopt);
    EXPECT_EQ(bounds(chunks), (std::vector<std::pair<std::int64_t, std::int64_t>>{
                                  {0, 408000}, {408000, 35 * kRate}}));
    const auto logs = taken();
    EXPECT_NE(std::find(logs.begin(), logs.end(), "Found chunk from 0.00 to 25.50"), logs.end());
    EXPECT_NE(std::find(logs.begin(), logs.end(), "Found chunk from 25.50 to 35.00"), logs.end());
}

TEST(VADAudioChunker, RefusesStartsOutsideTheArrayAndEmptyWindows) {
    const VADAudioChunker chunker;
    const auto audio = speechLike(kMax + 100000);
    const auto expectError = [&](std::int64_t max, std::optional<DecodingOptions> options,
                                 const std::string& message) {
        try {
            chunker.chunkAll(audio, max, options);
            ADD_FAILURE() << "no error for " << message;
        } catch (const WhisperError& e) {
            EXPECT_EQ(e.kind(), WhisperError::Kind::audioProcessingFailed);
            EXPECT_EQ(e.message(), message);
        }
    };
    expectError(kMax, withClips({40.0f, 45.0f}), "startIndex is outside the buffer size");
    expectError(kMax, withClips({-3.0f, 5.0f}), "startIndex is outside the buffer size");
    expectError(0, std::nullopt, "maxChunkLength must be at least 1");
    expectError(-5, std::nullopt, "maxChunkLength must be at least 1");
    // A clip outside the array that asks for no more than the padding is no error.
    EXPECT_TRUE(chunker.chunkAll(audio, kMax, withClips({40.0f, 40.5f})).empty());
}

TEST(VADAudioChunker, DetectorWithTooManyFramesCannotCutPastTheWindow) {
    // Claims 1000 frames for every half window, silent at the end.
    class Liar : public VoiceActivityDetector {
      public:
        Liar() : VoiceActivityDetector(16000, 1600) {}
        std::vector<bool> voiceActivity(const std::vector<float>&) const override {
            std::vector<bool> v(1000, true);
            std::fill(v.begin() + 900, v.end(), false);
            return v;
        }
    };
    const VADAudioChunker chunker(16000, std::make_shared<Liar>());
    const auto chunks = chunker.chunkAll(speechLike(kMax + 100000), kMax, std::nullopt);
    EXPECT_EQ(bounds(chunks), (std::vector<std::pair<std::int64_t, std::int64_t>>{
                                  {0, kMax}, {kMax, kMax + 100000}}));
}

TEST(VADAudioChunker, ConcurrentCallsGiveTheSameChunks) {
    const VADAudioChunker chunker;
    const auto audio =
        speechLike(100 * kRate, {{20 * kRate, 21 * kRate}, {47 * kRate, 48 * kRate}, {70 * kRate, 71 * kRate}});
    const auto expected = bounds(chunker.chunkAll(audio, kMax, std::nullopt));
    ASSERT_GE(expected.size(), 4u);
    std::vector<std::future<std::vector<std::pair<std::int64_t, std::int64_t>>>> runs;
    for (int t = 0; t < 6; ++t)
        runs.push_back(std::async(std::launch::async,
                                  [&] { return bounds(chunker.chunkAll(audio, kMax, std::nullopt)); }));
    for (auto& r : runs) EXPECT_EQ(r.get(), expected);
}

namespace {

std::shared_ptr<TranscriptionResult> resultWith(std::vector<TranscriptionSegment> segments) {
    return std::make_shared<TranscriptionResult>("text", std::move(segments), "en",
                                                 TranscriptionTimings{});
}

TranscriptionSegment segment(std::int64_t seek, float start, float end, bool withWord) {
    TranscriptionSegment s;
    s.seek = seek;
    s.start = start;
    s.end = end;
    s.text = "t";
    if (withWord) s.words = std::vector<WordTiming>{WordTiming(" w", {5}, start, end, 0.9f)};
    return s;
}

}  // namespace

TEST_F(ChunkerLogTest, ResultsMoveOntoTheWholeTimelineAndFailuresAreLeftOut) {
    capture(vortil::Logging::LogLevel::debug);
    const std::vector<AudioChunk> chunks = {{0, {}}, {30 * kRate, {}}, {60 * kRate, {}}};
    auto r1 = resultWith({segment(0, 0.0f, 2.0f, false)});
    auto r2 = resultWith({segment(0, 1.0f, 3.0f, true)});
    auto r3 = resultWith({segment(16000, 4.0f, 5.5f, false), segment(32000, 5.5f, 7.0f, true)});
    const std::vector<AudioChunking::ChunkResult> results = {
        std::vector{r1}, std::make_exception_ptr(std::runtime_error("chunk broke")),
        std::vector{r2, r3},
        // One more than there are chunks: ignored.
        std::vector{resultWith({segment(0, 0.0f, 1.0f, false)})}};
    const auto merged = VADAudioChunker().updateSeekOffsetsForResults(results, chunks);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0], r1);
    EXPECT_EQ(merged[1], r2);
    EXPECT_EQ(merged[2], r3);
    EXPECT_EQ(r1->seekTime(), 0.0f);
    EXPECT_EQ(r2->seekTime(), 60.0f);
    EXPECT_EQ(r3->seekTime(), 60.0f);
    const auto s3 = r3->segments();
    EXPECT_EQ(s3[0].seek, 16000 + 60 * kRate);
    EXPECT_EQ(s3[0].start, 64.0f);
    EXPECT_EQ(s3[1].end, 67.0f);
    ASSERT_TRUE(s3[1].words.has_value());
    EXPECT_EQ((*s3[1].words)[0].start, 65.5f);
    EXPECT_EQ((*s3[1].words)[0].end, 67.0f);
    EXPECT_EQ((*r2->segments()[0].words)[0].start, 61.0f);

    const auto logs = taken();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Error transcribing chunk 1: chunk broke"), 1);
}

// Made at test time: 95 s of speech with pauses between sentences. Every cut
// must fall inside a pause, and no chunk may be longer than a window.
TEST(VADAudioChunker, SpokenRecordingIsCutOnlyInsidePauses) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    const char* sentences[] = {
        "The morning train left the station before the sun came over the hills",
        "Several passengers were reading newspapers while others looked out of the windows",
        "A conductor walked slowly along the carriages and checked every ticket",
        "Outside the fields were green and a few horses stood near the fence",
        "The journey to the coast usually takes about three hours",
        "Many families travel there in summer to enjoy the beaches and the fresh air",
        "Near the harbour there is a small market that sells fish and vegetables",
        "In the evening the lights of the town are reflected in the calm water",
        "Some visitors stay for a week while others return home the same day",
        "The last train back to the city departs shortly after ten o clock",
    };
    const std::int64_t pauses[] = {20000, 24000, 18000, 28000, 22000, 19000, 26000, 21000, 25000};
    std::vector<std::vector<float>> spoken;
    for (const char* sentence : sentences) {
        spoken.push_back(testsupport::trimSilence(testsupport::speak(sentence)));
        ASSERT_GT(spoken.back().size(), 16000u);
    }
    // Sentences and pauses in turn until 95 s are filled; the recording ends
    // inside speech.
    std::vector<float> audio;
    std::vector<std::pair<std::int64_t, std::int64_t>> pauseRanges;
    for (std::size_t i = 0; static_cast<std::int64_t>(audio.size()) < 95 * kRate; ++i) {
        const auto& words = spoken[i % spoken.size()];
        audio.insert(audio.end(), words.begin(), words.end());
        const auto start = static_cast<std::int64_t>(audio.size());
        audio.resize(audio.size() + static_cast<std::size_t>(pauses[i % std::size(pauses)]), 0.0f);
        pauseRanges.emplace_back(start, static_cast<std::int64_t>(audio.size()));
    }
    audio.resize(95 * kRate);

    const auto chunks = VADAudioChunker().chunkAll(audio, kMax, std::nullopt);
    ASSERT_GE(chunks.size(), 4u);
    std::int64_t expectedStart = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto& c = chunks[i];
        EXPECT_EQ(c.seekOffsetIndex, expectedStart) << "chunks are contiguous";
        const auto end = c.seekOffsetIndex + static_cast<std::int64_t>(c.audioSamples.size());
        EXPECT_LE(end - c.seekOffsetIndex, kMax);
        expectedStart = end;
        if (i + 1 == chunks.size() && end == 95 * kRate) break;
        const bool inPause = std::any_of(pauseRanges.begin(), pauseRanges.end(), [&](auto& p) {
            return p.first <= end && end <= p.second;
        });
        EXPECT_TRUE(inPause) << "cut at sample " << end << " (" << end / 16000.0 << " s)";
    }
}
