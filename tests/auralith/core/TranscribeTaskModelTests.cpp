// A 95 s recording of three spoken sentences with long pauses, transcribed
// over real stages: with a random-weights model the run must end and report
// its fallbacks; with the trained test model, when present, segments and
// words must sit on the sentences and the text must be close to them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TrainedModel.hpp"
#include "support/WhisperEnglishTokenizer.hpp"
#include "support/WordErrorRate.hpp"

namespace {

namespace fs = std::filesystem;
using namespace auralith;

struct Sentence {
    std::string text;
    double start, end;
};

// Three sentences at 4 s, 38 s and 71 s of 95 s of silence.
std::vector<float> recording(std::vector<Sentence>& sentences) {
    sentences = {{"The quick brown fox jumps over the lazy dog.", 4, 0},
                 {"Please call me back tomorrow morning.", 38, 0},
                 {"We will meet at the station at nine.", 71, 0}};
    std::vector<float> audio(95 * 16000, 0.0f);
    for (auto& s : sentences) {
        const auto speech = testsupport::trimSilence(testsupport::speak(s.text));
        std::copy(speech.begin(), speech.end(),
                  audio.begin() + static_cast<std::ptrdiff_t>(s.start * 16000));
        s.end = s.start + static_cast<double>(speech.size()) / 16000.0;
    }
    return audio;
}

std::shared_ptr<TranscriptionResult> transcribe(const fs::path& folder,
                                                const std::vector<float>& audio,
                                                std::int64_t* completed = nullptr) {
    const auto cpu = platform::ml::MLComputeUnits::cpuOnly;
    auto features = std::make_shared<FeatureExtractor>();
    auto encoder = std::make_shared<AudioEncoder>();
    auto decoder = std::make_shared<TextDecoder>();
    features->loadModel(folder / "MelSpectrogram.mlmodelc", cpu, false);
    encoder->loadModel(folder / "AudioEncoder.mlmodelc", cpu, false);
    decoder->loadModel(folder / "TextDecoder.mlmodelc", cpu, false);
    decoder->setTokenizer(testsupport::whisperEnglishTokenizer());
    decoder->setIsModelMultilingual(decoder->logitsSize() != 51864);
    TranscribeTask task(
        {}, nullptr,
        std::make_shared<AudioProcessor>(std::make_shared<platform::FakeAudioBackend>()), encoder,
        features, std::make_shared<SegmentSeeker>(), decoder,
        testsupport::whisperEnglishTokenizer());
    auto options = DecodingOptions::defaultSet();
    options.wordTimestamps = true;
    auto result = task.run(audio, options);
    if (completed) *completed = task.progress()->completedUnitCount();
    return result;
}

using TranscribeTaskModelTest = auralith::testing::LogCaptureTest;

TEST_F(TranscribeTaskModelTest, RandomWeightsRunEndsAndReportsItsFallbacks) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    testsupport::TempDir dir;
    const std::string command = std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random '" +
                                (dir.path() / "model").string() + "' --seed 3 --tokenizer '" +
                                VERBOLIN_TEST_DATA_DIR + "/whisper-en-tokenizer' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<Sentence> sentences;
    const auto audio = recording(sentences);
    capture(vortil::Logging::LogLevel::info);
    std::int64_t completed = 0;
    const auto result = transcribe(dir.path() / "model", audio, &completed);
    const auto lines = taken();
    auto count = [&](const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
    };
    // Random text never passes the log-probability threshold: every window
    // is tried at all six temperatures, and every failed try is reported.
    const auto timings = result->timings();
    EXPECT_EQ(timings.totalDecodingFallbacks, 5);
    EXPECT_EQ(count("Fallback #"), 6 * count("Decoding Temperature: 0.0"));
    EXPECT_EQ(count("Fallback #"), count("Decoding Temperature: "));
    EXPECT_EQ(count("Decoding Temperature: 0.0"), timings.totalDecodingWindows);
    EXPECT_EQ(completed, static_cast<std::int64_t>(audio.size()));
    for (const auto& segment : result->segments()) {
        EXPECT_EQ(segment.tokens.size(), segment.tokenLogProbs.size());
        EXPECT_TRUE(segment.words);
    }
}

TEST_F(TranscribeTaskModelTest, TrainedModelPlacesSegmentsAndWordsOnTheSentences) {
    const fs::path folder = testsupport::trainedModelLocation();
    if (!fs::exists(folder))
        GTEST_SKIP() << "the trained whisper-synth-en model is absent (set VERBOLIN_TRAINED_MODEL)";
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    std::vector<Sentence> sentences;
    const auto result = transcribe(folder, recording(sentences));
    float lastStart = -1;
    for (const auto& segment : result->segments()) {
        EXPECT_TRUE(std::any_of(sentences.begin(), sentences.end(),
                                [&](const Sentence& s) {
                                    return segment.start >= s.start - 0.5 &&
                                           segment.end <= s.end + 0.5;
                                }))
            << segment.start << "-" << segment.end << segment.text;
        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{}))
            EXPECT_GT(word.start, std::exchange(lastStart, word.start)) << word.word;
    }
    // The error rate published for the model on synthetic English speech.
    EXPECT_LE(
        testsupport::wordErrorRate(
            sentences[0].text + " " + sentences[1].text + " " + sentences[2].text, result->text()),
        0.15)
        << result->text();
}

}  // namespace
