// The streaming transcriber's passes over a scripted recording and a
// scripted per-pass transcription.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/AudioStreamTranscriber.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/WhisperEnglishTokenizer.hpp"

namespace {

using auralith::AudioStreamTranscriber;
using auralith::DecodingOptions;
using auralith::TranscriptionSegment;
using State = AudioStreamTranscriber::State;

// A recording whose buffer and energies the test sets.
class FakeRecorder : public auralith::AudioProcessor {
  public:
    // Grows by `growth` samples at every read, as a live recording does.
    std::vector<float> audioSamples() const override {
        samples.resize(samples.size() + growth);
        return samples;
    }
    std::vector<float> relativeEnergy() const override { return energy; }
    void startRecordingLive(std::optional<uint32_t>,
                            auralith::AudioBufferCallback callback) override {
        if (failStart) throw auralith::WhisperError::microphoneUnavailable("no microphone");
        ++starts;
        if (callback) callback({});
    }
    void stopRecording() override { ++stops; }
    mutable std::vector<float> samples;
    std::vector<float> energy;
    std::size_t growth = 0;
    bool failStart = false;
    int starts = 0, stops = 0;
};

// Passes answer the next scripted segment list, or throw when none is left.
class Scripted : public AudioStreamTranscriber {
  public:
    using AudioStreamTranscriber::AudioStreamTranscriber;
    using AudioStreamTranscriber::onProgressCallback;
    using AudioStreamTranscriber::transcribeCurrentBuffer;
    std::shared_ptr<auralith::TranscriptionResult> transcribeAudioSamples(
        const std::vector<float>&) override {
        if (passes.empty()) throw auralith::WhisperError::transcriptionFailed("no more passes");
        auto segments = passes.front();
        passes.pop_front();
        return std::make_shared<auralith::TranscriptionResult>("", segments, "en",
                                                               auralith::TranscriptionTimings{});
    }
    std::deque<std::vector<TranscriptionSegment>> passes;
};

std::vector<TranscriptionSegment> segments(std::initializer_list<float> ends) {
    std::vector<TranscriptionSegment> out;
    for (float end : ends) {
        TranscriptionSegment s;
        s.id = static_cast<int64_t>(out.size());
        s.start = end - 1, s.end = end;
        out.push_back(s);
    }
    return out;
}

std::vector<float> ends(const std::vector<TranscriptionSegment>& list) {
    std::vector<float> out;
    for (const auto& s : list) out.push_back(s.end);
    return out;
}

struct AudioStreamTranscriberTest : auralith::testing::LogCaptureTest {
    std::shared_ptr<FakeRecorder> recorder = std::make_shared<FakeRecorder>();
    std::vector<std::pair<State, State>> reports;
    std::shared_ptr<Scripted> make(bool vad = false) {
        return std::make_shared<Scripted>(
            std::make_shared<auralith::AudioEncoder>(),
            std::make_shared<auralith::FeatureExtractor>(),
            std::make_shared<auralith::SegmentSeeker>(), std::make_shared<auralith::TextDecoder>(),
            testsupport::whisperEnglishTokenizer(), recorder, DecodingOptions::defaultSet(), 2,
            0.3f, 5, vad, [this](const State& o, const State& n) { reports.emplace_back(o, n); });
    }
    void SetUp() override {
        LogCaptureTest::SetUp();
        capture(vortil::Logging::LogLevel::debug);
    }
    void TearDown() override {
        auralith::AudioProcessor::setRecordPermissionForTesting(std::nullopt);
        LogCaptureTest::TearDown();
    }
    bool logged(const std::string& text) {
        for (auto& m : taken()) seen.push_back(std::move(m));
        return std::any_of(seen.begin(), seen.end(),
                           [&](const auto& m) { return m.find(text) != std::string::npos; });
    }
    std::vector<std::string> seen;
};

TEST_F(AudioStreamTranscriberTest, PassesNeedMoreThanOneSecondAndConfirmAllButTheNewest) {
    auto t = make();
    t->passes = {segments({1, 2, 3, 4, 5}), segments({1, 2, 3, 4, 5}), segments({1, 2, 3, 6}),
                 segments({1, 2, 3, 4, 5}), segments({6, 7})};
    auto pass = [&](size_t samples) {
        recorder->samples.resize(samples);
        t->transcribeCurrentBuffer();
        return t->state();
    };
    State s = pass(16000);  // exactly one second: no pass
    EXPECT_EQ(s.currentText, "Waiting for speech...");
    EXPECT_EQ(s.lastBufferSize, 0);
    EXPECT_EQ(t->passes.size(), 5u);

    s = pass(17000);
    EXPECT_EQ(ends(s.confirmedSegments), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(ends(s.unconfirmedSegments), (std::vector<float>{4, 5}));
    EXPECT_EQ(s.lastConfirmedSegmentEndSeconds, 3);
    EXPECT_EQ(s.currentText, "");

    s = pass(34000);  // the same run again ends no later: nothing new
    EXPECT_EQ(s.confirmedSegments.size(), 3u);
    EXPECT_EQ(ends(s.unconfirmedSegments), (std::vector<float>{4, 5}));

    s = pass(51000);  // confirmable up to 2 s only: nothing new
    EXPECT_EQ(s.lastConfirmedSegmentEndSeconds, 3);
    EXPECT_EQ(ends(s.unconfirmedSegments), (std::vector<float>{3, 6}));

    s.lastConfirmedSegmentEndSeconds = 0;
    t->setState(s);
    s = pass(68000);  // ends later now, but the run is held already: kept once
    EXPECT_EQ(s.lastConfirmedSegmentEndSeconds, 3);
    EXPECT_EQ(ends(s.confirmedSegments), (std::vector<float>{1, 2, 3}));

    s = pass(85000);  // no more than R segments: all unconfirmed
    EXPECT_EQ(s.confirmedSegments.size(), 3u);
    EXPECT_EQ(ends(s.unconfirmedSegments), (std::vector<float>{6, 7}));
    EXPECT_EQ(s.lastBufferSize, 85000);
}

TEST_F(AudioStreamTranscriberTest, SilenceWithVadLeavesTheBufferCountedAgain) {
    auto t = make(true);
    t->passes = {segments({1})};
    recorder->samples.resize(40000);
    recorder->energy.assign(25, 0.01f);
    t->transcribeCurrentBuffer();
    EXPECT_EQ(t->state().lastBufferSize, 0);
    EXPECT_TRUE(logged("No voice detected, skipping transcribe"));
    recorder->energy.assign(25, 0.9f);
    t->transcribeCurrentBuffer();
    EXPECT_EQ(t->state().lastBufferSize, 40000);
}

TEST_F(AudioStreamTranscriberTest, FailedPassEndsTheRecordingAndAStartCanFollow) {
    auto t = make();
    recorder->samples.resize(40000);
    t->startStreamTranscription();  // the only pass throws
    EXPECT_FALSE(t->state().isRecording);
    EXPECT_EQ(recorder->starts, 1);
    EXPECT_EQ(recorder->stops, 1);
    EXPECT_TRUE(logged("Error: no more passes"));

    State recording = t->state();
    recording.isRecording = true;
    t->setState(recording);
    t->startStreamTranscription();  // already recording: the microphone is left alone
    EXPECT_EQ(recorder->starts, 1);

    t->stopStreamTranscription();
    auralith::AudioProcessor::setRecordPermissionForTesting(false);
    t->startStreamTranscription();
    EXPECT_EQ(recorder->starts, 1);
    EXPECT_TRUE(logged("Microphone access was not granted."));

    auralith::AudioProcessor::setRecordPermissionForTesting(true);
    recorder->failStart = true;  // a start that fails must not leave the transcriber "recording"
    EXPECT_THROW(t->startStreamTranscription(), auralith::WhisperError);
    EXPECT_FALSE(t->state().isRecording);
    recorder->failStart = false;
    recorder->growth = 20000;
    t->passes = {segments({1})};
    reports.clear();
    t->startStreamTranscription();  // one pass, then the failure again
    EXPECT_EQ(recorder->starts, 2);
    EXPECT_FALSE(t->state().isRecording);
    EXPECT_TRUE(reports.front().second.isRecording);
}

TEST_F(AudioStreamTranscriberTest, ProgressMovesAbandonedWindowTextAside) {
    auto t = make();
    auralith::TranscriptionProgress p;
    p.text = " Hello there";
    t->onProgressCallback(p);
    p.text = " Next";
    t->onProgressCallback(p);
    EXPECT_EQ(t->state().unconfirmedText, std::vector<std::string>{" Hello there"});
    p.text = " N";
    p.timings.totalDecodingFallbacks = 1;
    t->onProgressCallback(p);
    EXPECT_EQ(t->state().unconfirmedText.size(), 1u);
    EXPECT_EQ(t->state().currentFallbacks, 1);
    EXPECT_TRUE(logged("Fallback occured: 1"));
}

TEST(AudioStreamTranscriberStop, EarlyStopRules) {
    auralith::TranscriptionProgress repeated;
    repeated.tokens.assign(40, 7);  // compresses far better than 2.4
    auralith::TranscriptionProgress varied;
    for (int i = 0; i < 40; ++i) varied.tokens.push_back(1000 + i * 37);
    auto withThresholds = [](std::optional<float> ratio, std::optional<float> logProb) {
        auto o = DecodingOptions::defaultSet();
        o.compressionRatioThreshold = ratio;
        o.logProbThreshold = logProb;
        return o;
    };
    auralith::TranscriptionProgress unsure = varied;
    unsure.avgLogprob = -2;
    struct Case {
        auralith::TranscriptionProgress progress;
        DecodingOptions options;
        int64_t window;
        std::optional<bool> expected;
    } cases[] = {
        {repeated, withThresholds(2.4f, std::nullopt), 20, false},
        {repeated, withThresholds(2.4f, std::nullopt), 40,
         std::nullopt},  // not more tokens than the window
        {repeated, withThresholds(std::nullopt, std::nullopt), 20, std::nullopt},
        {varied, withThresholds(2.4f, -1.0f), 20, std::nullopt},
        {unsure, withThresholds(2.4f, -1.0f), 20, false},
        {unsure, withThresholds(2.4f, std::nullopt), 20, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(c.progress, c.options, c.window),
                  c.expected);
    }
}

}  // namespace
