// The window loop over scripted stages. The features and embeddings are the
// audio window itself and sample i of the audio holds the value i, so the
// scripted decoder knows each window's seek from its first value.

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/WhisperEnglishTokenizer.hpp"

namespace {

using namespace auralith;
using Array = std::shared_ptr<platform::ml::MLMultiArray>;

const SpecialTokens& special() { return testsupport::whisperEnglishTokenizer()->specialTokens(); }
std::int64_t ts(double seconds) { return special().timeTokenBegin + std::llround(seconds / 0.02); }
std::int64_t hello() { return testsupport::textToken(" Hello"); }

std::vector<float> countingAudio(double seconds) {
    std::vector<float> audio(static_cast<std::size_t>(std::llround(seconds * 16000)));
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<float>(i);
    return audio;
}

DecodingResult answer(std::vector<std::int64_t> tokens,
                      std::optional<DecodingFallback> fallback = std::nullopt,
                      float temperature = 0) {
    DecodingResult result;
    for (auto t : tokens) result.tokenLogProbs.push_back({{t, -0.1f}});
    result.tokens = std::move(tokens);
    result.language = "fr";
    result.temperature = temperature;
    result.fallback = std::move(fallback);
    result.timings = TranscriptionTimings{};
    result.timings->totalDecodingLoops = 3;
    return result;
}
// Text without timestamps: the seeker moves on by the whole window.
DecodingResult plainText(std::int64_t, int) { return answer({hello(), special().endToken}); }

struct PassThrough : FeatureExtracting, AudioEncoding {
    std::optional<std::int64_t> window = 480000;
    std::function<void()> whileEncoding;
    std::string nothingFrom;  // "mel" or "encoder": that stage answers with nothing
    std::optional<std::int64_t> melCount() const override { return 80; }
    std::optional<std::int64_t> windowSamples() const override { return window; }
    std::optional<std::int64_t> embedSize() const override { return 4; }
    Array logMelSpectrogram(const Array& audio) override {
        return nothingFrom == "mel" ? nullptr : audio;
    }
    Array encodeFeatures(const Array& features) override {
        if (whileEncoding) whileEncoding();
        return nothingFrom == "encoder" ? nullptr : features;
    }
};

struct CountingInputs : DecodingInputs {
    using DecodingInputs::DecodingInputs;
    int resets = 0;
    void reset(std::int64_t n) override { ++resets, DecodingInputs::reset(n); }
};

struct ScriptedDecoder : TextDecoder {
    struct Try {
        std::int64_t seek;
        float temperature;
        std::optional<std::string> language;
        std::int64_t cacheLengthAtStart;  // 0 unless a reset was missed
    };
    std::function<DecodingResult(std::int64_t seek, int attempt)> answer = plainText;
    std::function<DecodingResult()> detection;
    std::vector<Try> tries;
    mutable std::shared_ptr<CountingInputs> inputs;

    std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) const override {
        auto make = [](std::vector<std::int64_t> shape, bool half) {
            using T = platform::ml::MLMultiArrayDataType;
            return platform::ml::MLMultiArray::make(std::move(shape), half ? T::float16 : T::int32);
        };
        inputs = std::make_shared<CountingInputs>(
            prompt, make({1}, false), make({1}, false), make({1, 4, 1, 8}, true),
            make({1, 4, 1, 8}, true), make({8, 10}, true), make({1, 8}, false), make({1, 8}, true));
        return inputs;
    }
    DecodingResult decodeText(const Array& encoderOutput,
                              const std::shared_ptr<DecodingInputsType>& decoderInputs,
                              TokenSampling& sampler, const DecodingOptions& options,
                              const TranscriptionCallback& callback) override {
        const auto seek = static_cast<std::int64_t>(encoderOutput->doubleValue(0));
        const auto attempt =
            std::count_if(tries.begin(), tries.end(), [&](const Try& t) { return t.seek == seek; });
        tries.push_back({seek, dynamic_cast<GreedyTokenSampler&>(sampler).temperature,
                         options.language,
                         static_cast<std::int64_t>(decoderInputs->cacheLength()->doubleValue(0))});
        decoderInputs->cacheLength()->setValue(0, 5);  // what a real decode leaves behind
        callback(TranscriptionProgress({}, "", {}, 0, 0, 0,
                                       99));  // always given, even without a run callback
        return answer(seek, static_cast<int>(attempt));
    }
    DecodingResult detectLanguage(const Array&, const std::shared_ptr<DecodingInputsType>&,
                                  TokenSampling&, const DecodingOptions&,
                                  platform::ml::Float16) override {
        return detection();
    }
};

struct Stages {
    std::shared_ptr<PassThrough> stages = std::make_shared<PassThrough>();
    std::shared_ptr<ScriptedDecoder> decoder = std::make_shared<ScriptedDecoder>();
    std::shared_ptr<platform::Progress> progress = std::make_shared<platform::Progress>();
    std::unique_ptr<TranscribeTask> task;

    Stages() {
        decoder->setTokenizer(testsupport::whisperEnglishTokenizer());
        task = std::make_unique<TranscribeTask>(
            TranscriptionTimings{}, progress,
            std::make_shared<AudioProcessor>(std::make_shared<platform::FakeAudioBackend>()),
            stages, stages, std::make_shared<SegmentSeeker>(), decoder,
            testsupport::whisperEnglishTokenizer());
    }
    std::shared_ptr<TranscriptionResult> run(double seconds,
                                             std::function<void(DecodingOptions&)> change = {},
                                             TranscriptionCallback callback = {}) {
        auto options = DecodingOptions::defaultSet();
        if (change) change(options);
        return task->run(countingAudio(seconds), options, std::move(callback));
    }
    std::vector<std::int64_t> seeks() const {
        std::vector<std::int64_t> out;
        for (const auto& t : decoder->tries) out.push_back(t.seek);
        return out;
    }
};

// Log lines of the run that start with a prefix.
class TranscribeTaskTest : public auralith::testing::LogCaptureTest {
  protected:
    std::vector<std::string> takenStarting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& line : taken())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }
};

TEST_F(TranscribeTaskTest, WindowsCoverTheClipsInsideTheAudio) {
    struct Case {
        double seconds;
        std::vector<float> clips;
        std::vector<std::pair<std::int64_t, float>> windows;  // seek, end in seconds
        std::int64_t total;
        double inputSeconds;
    };
    const Case cases[] = {
        {0, {}, {}, 0, 0},
        {1, {}, {}, 16000, 1},  // a clip no longer than 1 s has no window
        {20, {}, {{0, 20}}, 320000, 20},
        {70, {}, {{0, 30}, {480000, 60}, {960000, 70}}, 1120000, 70},
        {60.8, {}, {{0, 30}, {480000, 60}}, 972800, 60.8},  // the last 0.8 s is never decoded
        {10, {2, 5}, {{32000, 5}}, 48000, 8},
        {10, {2, 5, 8}, {{32000, 5}, {128000, 10}}, 80000, 8},  // an odd list runs to the end
        {10, {0, 50}, {{0, 10}}, 160000, 10},                   // a clip past the audio is clamped
        {10, {12, 14}, {}, 0, -2},                              // one outside it is skipped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        Stages s;
        std::vector<std::pair<std::int64_t, float>> windows;
        s.task->setSegmentDiscoveryCallback([&](const auto& segments) {
            windows.emplace_back(segments.at(0).seek, segments.at(0).end);
        });
        const auto result =
            s.run(c.seconds, [&](DecodingOptions& o) { o.clipTimestamps = c.clips; });
        EXPECT_EQ(windows, c.windows);
        EXPECT_EQ(s.progress->totalUnitCount(), c.total);
        EXPECT_EQ(s.progress->completedUnitCount(), c.total);
        EXPECT_NEAR(result->timings().inputAudioSeconds, c.inputSeconds, 1e-6);
        EXPECT_EQ(result->text().size(),
                  c.windows.empty() ? 0 : 6 * c.windows.size() - 1);  // "Hello Hello"
    }
}

TEST_F(TranscribeTaskTest, SeekAlwaysMovesForward) {
    struct Case {
        std::function<DecodingResult(std::int64_t, int)> answer;
        std::optional<std::int64_t> maxWindowSeek;
        double seconds;
        std::vector<std::int64_t> seeks;
        std::size_t stallLines;
        float windowClipTime = 1;
    };
    // A model answering silence with <|0.00|><|0.00|>: each window is passed over.
    const auto zeroZero = [](auto, int) { return answer({ts(0), ts(0), special().endToken}); };
    const auto pairs = [](auto, int) {
        return answer({ts(0), hello(), ts(2.5), ts(2.5), hello(), ts(4), special().endToken});
    };
    const Case cases[] = {
        {zeroZero, {}, 70, {0, 480000, 960000}, 3},
        {pairs, {}, 7, {0, 64000}, 0},
        {plainText, 16000, 5, {0, 16000, 32000, 48000}, 0},
        {plainText, 0, 40, {0, 480000}, 0},       // 0 counts as no limit
        {plainText, {}, 40, {0, 480000}, 0, -3},  // a negative clip time decodes to the end
    };
    capture(vortil::Logging::LogLevel::error);
    for (const auto& c : cases) {
        Stages s;
        s.decoder->answer = c.answer;
        s.run(c.seconds, [&](DecodingOptions& o) {
            o.maxWindowSeek = c.maxWindowSeek;
            o.windowClipTime = c.windowClipTime;
        });
        EXPECT_EQ(s.seeks(), c.seeks);
        EXPECT_EQ(takenStarting("Window at seek").size(), c.stallLines);
    }
}

TEST_F(TranscribeTaskTest, WindowDroppedAsSilenceStillResetsTheDecoder) {
    Stages s;
    s.decoder->answer = [](std::int64_t seek, int) {
        auto result = answer({hello(), special().endToken});
        result.noSpeechProb = seek == 480000 ? 0.9f : 0;
        return result;
    };
    std::vector<std::int64_t> completed;
    s.progress->setOnChange([&](double) { completed.push_back(s.progress->completedUnitCount()); });
    const auto result = s.run(70, [](DecodingOptions& o) { o.logProbThreshold.reset(); });
    EXPECT_EQ(result->segments().size(), 2u);
    EXPECT_EQ(result->timings().totalDecodingWindows, 2);
    for (const auto& t : s.decoder->tries) EXPECT_EQ(t.cacheLengthAtStart, 0) << t.seek;
    EXPECT_EQ(std::count(completed.begin(), completed.end(), 960000),
              0);  // no progress for the dropped window
}

TEST_F(TranscribeTaskTest, FallbackTriesTheScheduleAndKeepsTheLastResult) {
    struct Case {
        std::int64_t fallbackCount;
        int failingTries;
        std::vector<float> temperatures;
        double totalFallbacks;
    };
    const Case cases[] = {
        {5, 99, {0, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1}, 5},
        {2, 99, {0, 0.199951171875f, 0.39990234375f}, 2},
        {0, 99, {0}, 0},
        {5, 1, {0, 0.199951171875f}, 0},
        {5, 0, {0}, 0},
    };
    for (const auto& c : cases) {
        Stages s;
        s.decoder->answer = [&](std::int64_t, int attempt) {
            std::optional<DecodingFallback> verdict;
            if (attempt < c.failingTries)
                verdict = DecodingFallback{true, "compressionRatioThreshold"};
            return answer({hello(), special().endToken}, verdict, static_cast<float>(attempt));
        };
        capture(vortil::Logging::LogLevel::info);
        std::set<std::int64_t> windowIds;  // the run's numbering, not the decoder's 99
        const auto result = s.run(
            20, [&](DecodingOptions& o) { o.temperatureFallbackCount = c.fallbackCount; },
            [&](const TranscriptionProgress& p) {
                return windowIds.insert(p.windowId), std::optional<bool>();
            });
        EXPECT_EQ(windowIds, std::set<std::int64_t>{0});
        std::vector<float> temperatures;
        for (const auto& t : s.decoder->tries) {
            temperatures.push_back(t.temperature);
            EXPECT_EQ(t.cacheLengthAtStart, 0);
        }
        EXPECT_EQ(temperatures, c.temperatures);
        EXPECT_EQ(result->timings().totalDecodingFallbacks, c.totalFallbacks);
        const auto failed =
            std::min(c.temperatures.size(), static_cast<std::size_t>(c.failingTries));
        const auto lines = takenStarting("Fallback #");
        ASSERT_EQ(lines.size(), failed);
        if (failed > 0) {
            EXPECT_EQ(lines.back(),
                      "Fallback #" + std::to_string(failed) + " (compressionRatioThreshold)");
        }
        EXPECT_EQ(result->segments().at(0).temperature,
                  c.temperatures.size() - 1);  // the last try's
        EXPECT_EQ(result->timings().totalDecodingLoops, 3.0 * c.temperatures.size());
    }
    Stages negative;
    EXPECT_THROW(negative.run(20, [](DecodingOptions& o) { o.temperatureFallbackCount = -1; }),
                 WhisperError);
}

TEST_F(TranscribeTaskTest, LanguageDetectionOnlyForAMultilingualModelWithoutALanguage) {
    struct Case {
        bool multilingual, detectionFails;
        std::optional<std::string> language, decodedWith;
        std::string result;
    };
    for (const Case& c : {Case{true, false, {}, "de", "de"}, Case{true, true, {}, {}, "fr"},
                          Case{true, false, "en", "en", "fr"}, Case{false, false, {}, {}, "fr"}}) {
        Stages s;
        s.decoder->setIsModelMultilingual(c.multilingual);
        s.decoder->detection = [&] {
            if (c.detectionFails)
                throw WhisperError::decodingLogitsFailed("Unable to decode logits");
            DecodingResult detected;
            detected.language = "de";
            return detected;
        };
        const auto result = s.run(
            20, [&](DecodingOptions& o) { o.language = c.language, o.detectLanguage = true; });
        EXPECT_EQ(s.decoder->tries.at(0).language, c.decodedWith);
        EXPECT_EQ(result->language(), c.result);
    }
}

TEST_F(TranscribeTaskTest, FinalTextKeepsOnlyTextTokensTrimmedOfBlanks) {
    Stages s;
    const auto begin = special().specialTokenBegin;
    const auto tab = testsupport::textToken("\t"), newline = testsupport::textToken("\n");
    const auto result =
        s.task->finalizeTranscriptionResult({tab, begin, hello(), ts(1), newline}, {}, {}, {});
    EXPECT_EQ(result->text(), "Hello\n");
    EXPECT_EQ(result->language(), "en");
    EXPECT_NE(s.task->finalizeTranscriptionResult({begin - 1}, {}, "de", {})->text(), "");
}

TEST_F(TranscribeTaskTest, StagesThatProduceNothingEndTheRun) {
    struct Case {
        std::int64_t window;
        const char* nothingFrom;
        const char* message;
    };
    for (const auto& c :
         {Case{0, "", "Audio samples are nil"}, Case{-5, "", "Audio samples are nil"},
          Case{480000, "mel", "Mel output is nil"},
          Case{480000, "encoder", "Encoder output is nil"}}) {
        Stages s;
        s.stages->window = c.window;
        s.stages->nothingFrom = c.nothingFrom;
        try {
            s.run(20);
            ADD_FAILURE() << "no error";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e, WhisperError::transcriptionFailed(c.message));
        }
        EXPECT_TRUE(s.decoder->tries.empty());
    }
}

TEST_F(TranscribeTaskTest, CancelledWhileEncodingNeverDecodes) {
    Stages s;
    std::stop_source stop;
    s.stages->whileEncoding = [&] { stop.request_stop(); };
    const platform::TaskCancellation::Scope scope(stop.get_token());
    EXPECT_THROW(s.run(20), platform::CancellationError);
    EXPECT_TRUE(s.decoder->tries.empty());
}

TEST_F(TranscribeTaskTest, TimingsAndCallbackCanBeTouchedDuringARun) {
    Stages s;
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            (void)s.task->timings().totalDecodingWindows;
            s.task->setSegmentDiscoveryCallback([](const auto&) {});
        }
    });
    const auto result = s.run(200);
    done = true;
    other.join();
    EXPECT_EQ(result->segments().size(), 7u);
}

}  // namespace
