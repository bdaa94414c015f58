// File, stream and batch transcription through the real stages: with the
// trained model when it is there (texts compared), else with random weights
// (the paths run and a batch matches single runs).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "auralith/Auralith.hpp"
#include "auralith/WriteSRT.hpp"
#include "auralith/core/AudioStreamTranscriber.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/StringExtensions.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/audio/PulseAudioBackend.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TrainedModel.hpp"

namespace {

using auralith::AudioInputOptions;
using auralith::Auralith;
using auralith::DecodingOptions;
namespace fs = std::filesystem;

const std::vector<std::string> kSentences = {
    "The quick brown fox jumps over the lazy dog.", "Please send the report to the team by Friday.",
    "It is going to rain later this afternoon.",    "My favourite colour has always been green.",
    "We will meet again at the station tomorrow.",  "Seven people came to the party last night.",
    "The library closes early on public holidays.", "Turn left after the second traffic light."};

using testsupport::trainedModel;

class AuralithFileModel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testsupport::speechToolsAvailable()) return;
        dir = std::make_unique<testsupport::TempDir>("verbolin-file-model");
        folder = *dir / "model";
        const std::string tool = std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models";
        if (const auto trained = trainedModel()) {
            testsupport::runTool(tool + " convert '" + trained->string() + "' '" + folder.string() +
                                 "' >/dev/null");
        } else {
            testsupport::runTool(tool + " random '" + folder.string() +
                                 "' --tokenizer '" VERBOLIN_TEST_DATA_DIR
                                 "/whisper-en-tokenizer' --dims "
                                 "d_model=64,heads=2,ffn=128,layers=2,vocab_size=51864 >/dev/null");
        }
        std::string script;
        for (std::size_t i = 0; i < kSentences.size(); ++i) {
            const auto wav = (*dir / ("s" + std::to_string(i) + ".wav")).string();
            testsupport::runTool("espeak-ng -v en-us -w '" + wav + "' '" + kSentences[i] + "'");
            script += " '" + wav + "' '" + (*dir / "gap.wav").string() + "'";
        }
        // About 95 s: the sentences three times, each after a second of silence.
        testsupport::runTool("sox -n -r 22050 -c 1 -b 16 '" + (*dir / "gap.wav").string() +
                             "' trim 0 1");
        testsupport::runTool("sox" + script + script + script + " '" +
                             (*dir / "long.wav").string() + "'");
    }
    static void TearDownTestSuite() { dir.reset(); }

    void SetUp() override {
        if (!dir) GTEST_SKIP() << "espeak-ng or sox is missing";
        if (!trainedModel()) std::cout << "No trained model: only checking that the paths run\n";
        auralith::AuralithConfig::Arguments a;
        a.modelFolder = folder.string();
        a.tokenizerFolder = folder / "tokenizer";
        a.download = false;
        a.verbose = false;
        pipeline = Auralith::create(auralith::AuralithConfig(a));
    }

    static DecodingOptions options(std::int64_t workers) {
        DecodingOptions::Arguments a;
        a.language = "en";
        a.temperatureFallbackCount = 0;  // greedy only, so runs are repeatable
        a.concurrentWorkerCount = workers;
        return DecodingOptions(a);
    }
    static std::string textOf(const Auralith::Results& results) {
        std::string text;
        for (const auto& r : results) text += " " + r->text();
        return auralith::normalized(text);
    }

    static inline std::unique_ptr<testsupport::TempDir> dir;
    static inline fs::path folder;
    std::shared_ptr<Auralith> pipeline;
};

TEST_F(AuralithFileModel, WholeAndStreamedFileAgree) {
    const auto path = (*dir / "long.wav").string();
    const auto whole =
        pipeline->transcribe(path,
                             AudioInputOptions{AudioInputOptions::ChannelMode::sumChannels(),
                                               AudioInputOptions::AudioLoadingMode::fullFile()},
                             options(0));
    const auto streamed = pipeline->transcribe(
        path,
        AudioInputOptions{AudioInputOptions::ChannelMode::sumChannels(),
                          AudioInputOptions::AudioLoadingMode::incremental(30, 2)},
        options(0));
    ASSERT_FALSE(whole.empty());
    ASSERT_FALSE(streamed.empty());
    for (std::size_t i = 1; i < streamed.size(); ++i) {
        EXPECT_LE(streamed[i - 1]->seekTime().value_or(0), streamed[i]->seekTime().value_or(0));
    }
    if (!trainedModel()) return;
    EXPECT_EQ(textOf(whole), textOf(streamed));
    for (const auto& sentence : kSentences)
        EXPECT_NE(textOf(whole).find(auralith::normalized(sentence)), std::string::npos);

    // Every cue lies inside the audio.
    auralith::WriteSRT(dir->path().string()).write(*whole.front(), "long");
    for (const auto& s : whole.front()->segments()) {
        EXPECT_GE(s.start, 0);
        EXPECT_LE(s.end, 96);
        EXPECT_LE(s.start, s.end);
    }
}

TEST_F(AuralithFileModel, BatchOfEightOnFourWorkersMatchesSingleRuns) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < kSentences.size(); ++i)
        paths.push_back((*dir / ("s" + std::to_string(i) + ".wav")).string());
    const AudioInputOptions whole{AudioInputOptions::ChannelMode::sumChannels(),
                                  AudioInputOptions::AudioLoadingMode::fullFile()};
    const auto batch = pipeline->transcribe(paths, whole, options(4));
    ASSERT_EQ(batch.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        ASSERT_TRUE(batch[i].has_value()) << i;
        EXPECT_EQ(textOf(*batch[i]), textOf(pipeline->transcribe(paths[i], whole, options(0))))
            << i;
        if (trainedModel()) {
            EXPECT_EQ(textOf(*batch[i]), auralith::normalized(kSentences[i]));
        }
    }
}

TEST_F(AuralithFileModel, LanguageDetectionLoadsTheModelsAndNeedsAMultilingualOne) {
    pipeline->unloadModels();
    try {
        pipeline->detectLangauge(std::vector<float>(160000, 0.1f));
        ADD_FAILURE() << "an English-only model detected a language";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e.message(), "Language detection not supported for this model");
    }
    EXPECT_EQ(pipeline->modelState(), vortil::ModelState::loaded);
}

// Reads only the first 30 s, every channel summed whatever the pipeline's mode.
TEST_F(AuralithFileModel, LanguageDetectionOfAFileReadsTheFirstWindowSummed) {
    struct Capture : Auralith {
        using Auralith::Auralith;
        DetectedLanguage detectLangauge(const std::vector<float>& audio) override {
            seen = audio;
            return {"en", {}};
        }
        std::vector<float> seen;
    };
    auralith::AuralithConfig::Arguments a;
    a.download = false;
    auto capture = Auralith::create<Capture>(auralith::AuralithConfig(a));
    capture->setAudioInputOptions({AudioInputOptions::ChannelMode::specificChannel(1),
                                   AudioInputOptions::AudioLoadingMode::fullFile()});
    const auto stereo = testsupport::makeAudio(*dir / "stereo.wav", "0.25*sin(2*PI*440*t)|0", 44100,
                                               90, "-c:a pcm_s16le");
    EXPECT_EQ(capture->detectLanguage(stereo.string()).language, "en");
    EXPECT_NEAR(static_cast<double>(capture->seen.size()), 30 * 16000, 16);
    // The configured channel 1 is silent; the sum is not.
    EXPECT_NEAR(testsupport::peak(capture->seen), 0.25, 0.02);

    const auto missing = (*dir / "missing.wav").string();
    try {
        capture->detectLanguage(missing);
        ADD_FAILURE() << "a missing file was read";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e.message(), "Resource path does not exist " + missing);
    }
}

// Two sentences spoken into a private PulseAudio server's microphone at real
// time while the streaming transcriber runs on it.
TEST_F(AuralithFileModel, StreamingOverAPulseServerConfirmsSentencesInOrder) {
    std::unique_ptr<testsupport::PrivatePulseServer> server;
    try {
        server = std::make_unique<testsupport::PrivatePulseServer>(
            std::vector<std::string>{"load-module module-null-sink sink_name=speakers",
                                     "load-module module-pipe-source source_name=mic "
                                     "file={dir}/mic.fifo format=s16le rate=16000 channels=1",
                                     "set-default-source mic"});
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    const auto raw = (*dir / "spoken.raw").string();
    const auto gap = "'" + (*dir / "gap.wav").string() + "' ";
    testsupport::runTool("sox " + gap + "'" + (*dir / "s0.wav").string() + "' " + gap + "'" +
                         (*dir / "s1.wav").string() + "' " + gap + gap +
                         "-r 16000 -c 1 -b 16 -e signed -t raw '" + raw + "'");
    const std::string speech = testsupport::readFile(raw);

    auto processor = std::make_shared<auralith::AudioProcessor>(
        std::make_shared<platform::PulseAudioBackend>(server->serverString()));
    auto transcriber = auralith::AudioStreamTranscriber::create(
        pipeline->audioEncoder(), pipeline->featureExtractor(), pipeline->segmentSeeker(),
        pipeline->textDecoder(), pipeline->tokenizer(), processor, options(0), std::int64_t{1},
        0.3f, std::int64_t{20}, false);
    std::thread listening([&] { transcriber->startStreamTranscription(); });

    // At real time, a tenth of a second per write.
    const int fd = ::open(server->path("mic.fifo").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto next = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < speech.size(); at += 3200) {
        const auto n = std::min<std::size_t>(3200, speech.size() - at);
        ASSERT_EQ(::write(fd, speech.data() + at, n), static_cast<ssize_t>(n));
        std::this_thread::sleep_until(next += std::chrono::milliseconds(100));
    }
    const auto heard = static_cast<std::int64_t>(speech.size() / 2) * 8 / 10;
    for (int i = 0; i < 300 && transcriber->state().lastBufferSize < heard; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    transcriber->stopStreamTranscription();
    listening.join();
    ::close(fd);

    const auto state = transcriber->state();
    EXPECT_FALSE(state.isRecording);
    EXPECT_GE(state.lastBufferSize, heard);
    for (std::size_t i = 1; i < state.confirmedSegments.size(); ++i) {
        EXPECT_LE(state.confirmedSegments[i - 1].end, state.confirmedSegments[i].end);
    }
    if (!trainedModel()) return;
    std::string text;
    for (const auto& list : {state.confirmedSegments, state.unconfirmedSegments}) {
        for (const auto& segment : list) text += segment.text;
    }
    const auto first = auralith::normalized(text).find(auralith::normalized(kSentences[0]));
    const auto second = auralith::normalized(text).find(auralith::normalized(kSentences[1]));
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(first, second);
}

}  // namespace
