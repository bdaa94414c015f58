// A 95 s recording of three spoken sentences with long pauses, transcribed
// by the task over real stages: with a random-weights model the run must end
// and report its fallbacks; with the trained test model, when it is present,
// the segments and words must sit on the sentences.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "platform/audio/FakeAudioBackend.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TempDir.hpp"
#include "support/WhisperEnglishTokenizer.hpp"
#include "vortilcore/core/Logging.hpp"

namespace {

namespace fs = std::filesystem;
using namespace auralith;

struct Sentence {
    const char* text;
    double at;  // seconds
    double end = 0;
};

// Three sentences at 4 s, 38 s and 71 s of 95 s of silence.
std::vector<float> recording(std::vector<Sentence>& sentences) {
    std::vector<float> audio(95 * 16000, 0.0f);
    for (auto& s : sentences) {
        const auto speech = testsupport::trimSilence(testsupport::speak(s.text));
        const auto start = static_cast<std::size_t>(s.at * 16000);
        std::copy(speech.begin(), speech.end(), audio.begin() + static_cast<std::ptrdiff_t>(start));
        s.end = s.at + static_cast<double>(speech.size()) / 16000.0;
    }
    return audio;
}

std::vector<Sentence> threeSentences() {
    return {{"The quick brown fox jumps over the lazy dog.", 4},
            {"Please call me back tomorrow morning.", 38},
            {"We will meet at the station at nine.", 71}};
}

struct Pipeline {
    std::shared_ptr<FeatureExtractor> features = std::make_shared<FeatureExtractor>();
    std::shared_ptr<AudioEncoder> encoder = std::make_shared<AudioEncoder>();
    std::shared_ptr<TextDecoder> decoder = std::make_shared<TextDecoder>();

    explicit Pipeline(const fs::path& folder) {
        const auto cpu = platform::ml::MLComputeUnits::cpuOnly;
        features->loadModel(folder / "MelSpectrogram.mlmodelc", cpu, false);
        encoder->loadModel(folder / "AudioEncoder.mlmodelc", cpu, false);
        decoder->loadModel(folder / "TextDecoder.mlmodelc", cpu, false);
        decoder->setTokenizer(testsupport::whisperEnglishTokenizer());
        decoder->setIsModelMultilingual(decoder->logitsSize() != 51864);
    }
    std::unique_ptr<TranscribeTask> task() const {
        return std::make_unique<TranscribeTask>(
            TranscriptionTimings{}, nullptr,
            std::make_shared<AudioProcessor>(std::make_shared<platform::FakeAudioBackend>()),
            encoder, features, std::make_shared<SegmentSeeker>(), decoder,
            testsupport::whisperEnglishTokenizer());
    }
};

class InfoLines {
  public:
    InfoLines() {
        vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::info);
        vortil::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~InfoLines() {
        vortil::Logging::updateCallback(nullptr);
        vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    }
    long count(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        return std::count_if(lines_.begin(), lines_.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(TranscribeTaskModelTest, RandomWeightsRunEndsAndReportsItsFallbacks) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    testsupport::TempDir dir;
    const auto folder = dir.path() / "model";
    const std::string command = std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random '" +
                                folder.string() + "' --seed 3 --tokenizer '" +
                                std::string(VERBOLIN_TEST_DATA_DIR) +
                                "/whisper-en-tokenizer' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    auto sentences = threeSentences();
    const auto audio = recording(sentences);
    const Pipeline pipeline(folder);
    auto task = pipeline.task();
    auto options = DecodingOptions::defaultSet();
    options.wordTimestamps = true;

    const InfoLines log;
    const auto result = task->run(audio, options);
    const auto timings = result->timings();
    // Random text never passes the log-probability threshold: every window
    // is tried at all six temperatures and each failure is reported.
    EXPECT_GE(timings.totalDecodingWindows, 1);
    EXPECT_EQ(timings.totalDecodingFallbacks, 5);
    EXPECT_EQ(log.count("Fallback #"), 6 * log.count("Decoding Temperature: 0.0"));
    EXPECT_EQ(log.count("Decoding Temperature: "), log.count("Fallback #"));
    EXPECT_GT(timings.decodingFallback, 0);
    EXPECT_EQ(task->progress()->completedUnitCount(), static_cast<std::int64_t>(audio.size()));
    for (const auto& segment : result->segments()) {
        EXPECT_LT(segment.start, segment.end);
        EXPECT_EQ(segment.tokens.size(), segment.tokenLogProbs.size());
        ASSERT_TRUE(segment.words);
    }
}

// The words of a text, lower-case, without punctuation.
std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::string current;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            current += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!current.empty()) {
            words.push_back(current);
            current.clear();
        }
    }
    return words;
}

double wordErrorRate(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis) {
    std::vector<std::size_t> row(hypothesis.size() + 1);
    for (std::size_t j = 0; j <= hypothesis.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hypothesis.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return static_cast<double>(row[hypothesis.size()]) / static_cast<double>(reference.size());
}

// The trained model's folder: VERBOLIN_TRAINED_MODEL, else the shared models
// folder beside the checkout.
std::optional<fs::path> trainedModel() {
    if (const char* env = std::getenv("VERBOLIN_TRAINED_MODEL"); env && fs::exists(env)) return fs::path(env);
    const auto beside = fs::path(VERBOLIN_TEST_DATA_DIR) / "../../../shared/models/whisper-synth-en";
    if (fs::exists(beside)) return beside;
    return std::nullopt;
}

TEST(TranscribeTaskModelTest, TrainedModelPlacesSegmentsAndWordsOnTheSentences) {
    const auto folder = trainedModel();
    if (!folder) GTEST_SKIP() << "the trained whisper-synth-en model is not here (set VERBOLIN_TRAINED_MODEL)";
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    auto sentences = threeSentences();
    const auto audio = recording(sentences);
    const Pipeline pipeline(*folder);
    auto options = DecodingOptions::defaultSet();
    options.wordTimestamps = true;
    const auto result = pipeline.task()->run(audio, options);

    auto inside = [&](double start, double end) {
        return std::any_of(sentences.begin(), sentences.end(), [&](const Sentence& s) {
            return start >= s.at - 0.5 && end <= s.end + 0.5;
        });
    };
    float lastStart = -1;
    for (const auto& segment : result->segments()) {
        if (wordsOf(segment.text).empty()) continue;
        EXPECT_TRUE(inside(segment.start, segment.end)) << segment.start << "-" << segment.end << segment.text;
        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
            EXPECT_GT(word.start, lastStart) << word.word;
            lastStart = word.start;
        }
    }
    std::string spoken;
    for (const auto& s : sentences) spoken += std::string(s.text) + " ";
    // The model card's word error rate on synthetic English speech.
    EXPECT_LE(wordErrorRate(wordsOf(spoken), wordsOf(result->text())), 0.15) << result->text();
}

}  // namespace
