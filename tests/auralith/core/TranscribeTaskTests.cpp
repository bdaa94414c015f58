// The window loop over scripted stages: window layout and seek clips, seek
// rules and the guard against windows that do not advance, windows dropped
// as silence, temperature fallback, language detection, word timings,
// finalisation, failures and cancellation.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "auralith/core/TranscribeTask.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/SegmentSeeker.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "auralith/core/TranscribeTaskDoubles.hpp"
#include "platform/audio/FakeAudioBackend.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/WhisperEnglishTokenizer.hpp"
#include "vortilcore/core/Logging.hpp"

namespace {

using namespace auralith;
namespace doubles = auralith::testing;
using doubles::ScriptedDecoder;
using Ids = std::vector<std::int64_t>;
using Window = std::pair<std::int64_t, std::int64_t>;  // seek, segment size

const SpecialTokens& special() { return testsupport::whisperEnglishTokenizer()->specialTokens(); }
std::int64_t ts(double seconds) { return special().timeTokenBegin + std::llround(seconds / 0.02); }
std::int64_t hello() { return testsupport::textToken(" Hello"); }

// Log lines of one level and above while it lives; logging is off again after.
class CapturedLog {
  public:
    explicit CapturedLog(vortil::Logging::LogLevel level) {
        vortil::Logging::updateLogLevel(level);
        vortil::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~CapturedLog() {
        vortil::Logging::updateCallback(nullptr);
        vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool has(const std::string& part) const {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

DecodingResult answer(Ids tokens, float temperature = 0.0f,
                      std::optional<DecodingFallback> fallback = std::nullopt) {
    DecodingResult result;
    for (auto t : tokens) result.tokenLogProbs.push_back({{t, -0.1f}});
    result.tokens = std::move(tokens);
    result.language = "en";
    result.temperature = temperature;
    result.avgLogProb = -0.1f;
    result.fallback = std::move(fallback);
    TranscriptionTimings timings;
    timings.totalDecodingLoops = 3;
    timings.firstTokenTime = 42;
    result.timings = timings;
    return result;
}

// Text without timestamps: the seeker moves on by the whole window.
DecodingResult plainText(std::int64_t, int) { return answer({hello(), special().endToken}); }

struct Stages {
    std::shared_ptr<doubles::PassThroughFeatures> features =
        std::make_shared<doubles::PassThroughFeatures>();
    std::shared_ptr<doubles::PassThroughEncoder> encoder = std::make_shared<doubles::PassThroughEncoder>();
    std::shared_ptr<ScriptedDecoder> decoder = std::make_shared<ScriptedDecoder>();
    std::shared_ptr<SegmentSeeking> seeker = std::make_shared<SegmentSeeker>();
    std::shared_ptr<platform::Progress> progress = std::make_shared<platform::Progress>();

    Stages() {
        decoder->setTokenizer(testsupport::whisperEnglishTokenizer());
        decoder->answer = plainText;
    }

    std::unique_ptr<TranscribeTask> task() const {
        return std::make_unique<TranscribeTask>(
            TranscriptionTimings{}, progress,
            std::make_shared<AudioProcessor>(std::make_shared<platform::FakeAudioBackend>()),
            encoder, features, seeker, decoder, testsupport::whisperEnglishTokenizer());
    }
    std::vector<Window> windows(const std::vector<TranscriptionSegment>& segments) const {
        std::vector<Window> out;
        for (const auto& t : decoder->tries)
            if (out.empty() || out.back().first != t.seek) out.emplace_back(t.seek, 0);
        // The segment seek of each kept window tells nothing of its size; the
        // sizes come from the segments' ends (whole-window segments).
        for (auto& w : out)
            for (const auto& s : segments)
                if (s.seek == w.first) w.second = std::llround((s.end - s.start) * 16000.0);
        return out;
    }
};

DecodingOptions optionsWith(std::function<void(DecodingOptions&)> change) {
    auto options = DecodingOptions::defaultSet();
    change(options);
    return options;
}

TEST(TranscribeTaskTest, WindowsCoverTheClipsAndLeaveTheLastSecond) {
    struct Case {
        const char* name;
        double seconds;
        std::vector<float> clips;
        std::vector<Window> windows;
        std::int64_t progressTotal;
        double inputSeconds;
    };
    const Case cases[] = {
        {"empty", 0, {}, {}, 0, 0},
        {"one second", 1, {}, {}, 16000, 1},
        {"20 s", 20, {}, {{0, 320000}}, 320000, 20},
        {"70 s", 70, {}, {{0, 480000}, {480000, 480000}, {960000, 160000}}, 1120000, 70},
        {"last 0.8 s never decoded", 60.8, {}, {{0, 480000}, {480000, 480000}}, 972800, 60.8},
        {"one clip", 10, {2.0f, 5.0f}, {{32000, 48000}}, 48000, 8},
        {"odd clip list runs to the end", 10, {2.0f, 5.0f, 8.0f}, {{32000, 48000}, {128000, 32000}},
         80000, 8},
        {"clip past the audio is clamped", 10, {0.0f, 50.0f}, {{0, 160000}}, 160000, 10},
        {"clip outside the audio is skipped", 10, {12.0f, 14.0f}, {}, 0, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stages stages;
        auto task = stages.task();
        const auto audio = doubles::countingAudio(std::llround(c.seconds * 16000));
        std::vector<std::vector<TranscriptionSegment>> discovered;
        task->setSegmentDiscoveryCallback([&](const auto& s) { discovered.push_back(s); });
        const auto result =
            task->run(audio, optionsWith([&](DecodingOptions& o) { o.clipTimestamps = c.clips; }));
        const auto segments = result->segments();
        EXPECT_EQ(stages.windows(segments), c.windows);
        EXPECT_EQ(discovered.size(), c.windows.size());
        EXPECT_EQ(stages.progress->totalUnitCount(), c.progressTotal);
        EXPECT_EQ(stages.progress->completedUnitCount(), c.progressTotal);
        EXPECT_NEAR(result->timings().inputAudioSeconds, c.inputSeconds, 1e-6);
        EXPECT_EQ(result->timings().totalDecodingWindows, static_cast<double>(c.windows.size()));
        std::string text;
        for (std::size_t i = 0; i < c.windows.size(); ++i) text += i == 0 ? "Hello" : " Hello";
        EXPECT_EQ(result->text(), text);
    }
}

TEST(TranscribeTaskTest, SeekNeverStallsNorMovesBack) {
    struct Case {
        const char* name;
        ScriptedDecoder::Answer answer;
        std::optional<std::int64_t> maxWindowSeek;
        double seconds;
        std::vector<std::int64_t> seeks;
        bool stallLogged;
    };
    const auto zeroZero = [](std::int64_t, int) {
        return answer({ts(0), ts(0), special().endToken});
    };
    const Case cases[] = {
        // A model that answers silence with <|0.00|><|0.00|>: each window is
        // passed over whole, and the run ends.
        {"seeker seek does not advance", zeroZero, std::nullopt, 70, {0, 480000, 960000}, true},
        {"timestamps move the seek", [](std::int64_t, int) {
             return answer({ts(0), hello(), ts(2.5), ts(2.5), hello(), ts(4), special().endToken});
         },
         std::nullopt, 7, {0, 64000}, false},
        {"maxWindowSeek limits each advance", plainText, 16000, 5, {0, 16000, 32000, 48000}, false},
        {"maxWindowSeek 0 counts as absent", plainText, 0, 40, {0, 480000}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CapturedLog log(vortil::Logging::LogLevel::error);
        Stages stages;
        stages.decoder->answer = c.answer;
        stages.task()->run(doubles::countingAudio(std::llround(c.seconds * 16000)),
                           optionsWith([&](DecodingOptions& o) { o.maxWindowSeek = c.maxWindowSeek; }));
        std::vector<std::int64_t> seeks;
        for (const auto& t : stages.decoder->tries) seeks.push_back(t.seek);
        EXPECT_EQ(seeks, c.seeks);
        EXPECT_EQ(log.has("did not advance"), c.stallLogged);
    }
}

TEST(TranscribeTaskTest, WindowDroppedAsSilenceStillResetsTheDecoder) {
    Stages stages;
    // The second of three windows is silence.
    stages.decoder->answer = [](std::int64_t seek, int) {
        auto result = answer({hello(), special().endToken});
        result.noSpeechProb = seek == 480000 ? 0.9f : 0.0f;
        return result;
    };
    auto task = stages.task();
    std::vector<std::int64_t> discovered;
    task->setSegmentDiscoveryCallback([&](const auto& s) { discovered.push_back(s.front().seek); });
    std::vector<std::int64_t> completed;
    stages.progress->setOnChange([&](double) { completed.push_back(stages.progress->completedUnitCount()); });
    const auto result = task->run(doubles::countingAudio(70 * 16000), optionsWith([](DecodingOptions& o) {
                                      o.logProbThreshold = std::nullopt;
                                  }));
    EXPECT_EQ(discovered, (std::vector<std::int64_t>{0, 960000}));
    EXPECT_EQ(result->segments().size(), 2u);
    EXPECT_EQ(result->timings().totalDecodingWindows, 2);
    ASSERT_EQ(stages.decoder->tries.size(), 3u);
    for (const auto& t : stages.decoder->tries) EXPECT_EQ(t.cacheLengthAtStart, 0) << t.seek;
    EXPECT_EQ(stages.decoder->inputs->resets, 3);
    // No progress for the dropped window: 480000 jumps straight to the end.
    EXPECT_EQ(std::count(completed.begin(), completed.end(), 960000), 0);
}

TEST(TranscribeTaskTest, FallbackTemperaturesCountersAndTheLastResult) {
    struct Case {
        const char* name;
        std::int64_t fallbackCount;
        int failingTries;
        std::vector<float> temperatures;
        double totalFallbacks;
    };
    const Case cases[] = {
        {"default schedule, every try fails", 5, 99,
         {0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1.0f}, 5},
        {"application setting, every try fails", 2, 99, {0.0f, 0.199951171875f, 0.39990234375f}, 2},
        {"no fallback allowed", 0, 99, {0.0f}, 0},
        {"second try succeeds", 5, 1, {0.0f, 0.199951171875f}, 0},
        {"first try succeeds", 5, 0, {0.0f}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stages stages;
        stages.decoder->answer = [&](std::int64_t, int attempt) {
            std::optional<DecodingFallback> verdict;
            if (attempt < c.failingTries) verdict = DecodingFallback{true, "compressionRatioThreshold"};
            return answer({hello(), special().endToken}, static_cast<float>(attempt), verdict);
        };
        std::vector<std::string> lines;
        std::shared_ptr<TranscriptionResult> result;
        {
            const CapturedLog log(vortil::Logging::LogLevel::info);
            result = stages.task()->run(
            doubles::countingAudio(20 * 16000),
            optionsWith([&](DecodingOptions& o) { o.temperatureFallbackCount = c.fallbackCount; }));
            for (const auto& line : log.lines())
                if (line.rfind("Fallback #", 0) == 0) lines.push_back(line);
        }
        std::vector<float> temperatures;
        for (const auto& t : stages.decoder->tries) temperatures.push_back(t.temperature);
        EXPECT_EQ(temperatures, c.temperatures);
        EXPECT_EQ(result->timings().totalDecodingFallbacks, c.totalFallbacks);
        const auto failed = std::min<std::size_t>(c.temperatures.size(), static_cast<std::size_t>(c.failingTries));
        ASSERT_EQ(lines.size(), failed);
        if (failed > 0) {
            EXPECT_EQ(lines.back(), "Fallback #" + std::to_string(failed) + " (compressionRatioThreshold)");
        }
        // One reset per failed try, one after the window.
        EXPECT_EQ(stages.decoder->inputs->resets, static_cast<int>(failed) + 1);
        for (const auto& t : stages.decoder->tries) EXPECT_EQ(t.cacheLengthAtStart, 0);
        // The last try's result is the one kept, even when it still fails.
        EXPECT_EQ(result->segments().at(0).temperature, static_cast<float>(c.temperatures.size() - 1));
        EXPECT_EQ(result->timings().totalDecodingLoops, 3.0 * static_cast<double>(c.temperatures.size()));
        EXPECT_EQ(result->timings().firstTokenTime, 42);
    }
}

TEST(TranscribeTaskTest, NegativeFallbackCountFailsTheRun) {
    Stages stages;
    try {
        stages.task()->run(doubles::countingAudio(20 * 16000),
                           optionsWith([](DecodingOptions& o) { o.temperatureFallbackCount = -1; }));
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e, WhisperError::decodingFailed("Decoding failed"));
    }
}

TEST(TranscribeTaskTest, ProgressCarriesTheRunsWindowIdAndAlwaysReachesTheDecoder) {
    Stages stages;
    // Window 0 fails twice (fallback counter 1), so window 1 is numbered 1 - 1 = 0.
    stages.decoder->answer = [](std::int64_t seek, int attempt) {
        std::optional<DecodingFallback> verdict;
        if (seek == 0 && attempt < 2) verdict = DecodingFallback{true, "logProbThreshold"};
        return answer({hello(), special().endToken}, 0.0f, verdict);
    };
    std::vector<std::int64_t> ids;
    stages.task()->run(doubles::countingAudio(40 * 16000), std::nullopt,
                       [&](const TranscriptionProgress& p) -> std::optional<bool> {
                           ids.push_back(p.windowId);
                           return true;
                       });
    EXPECT_EQ(ids, (std::vector<std::int64_t>{0, 0, 0, 0}));
    EXPECT_EQ(stages.decoder->callbackAnswers, (std::vector<std::optional<bool>>(4, true)));

    Stages silent;
    silent.task()->run(doubles::countingAudio(20 * 16000), std::nullopt);
    EXPECT_EQ(silent.decoder->callbackAnswers, (std::vector<std::optional<bool>>{std::nullopt}));
}

TEST(TranscribeTaskTest, LanguageDetectionOnlyForAMultilingualModelWithoutALanguage) {
    struct Case {
        const char* name;
        bool multilingual;
        std::optional<std::string> language;
        bool detectionFails;
        int detections;
        std::optional<std::string> decodedWith;
        std::string resultLanguage;
    };
    const Case cases[] = {
        {"detected", true, std::nullopt, false, 1, "de", "de"},
        {"detection fails", true, std::nullopt, true, 1, std::nullopt, "fr"},
        {"language given", true, "en", false, 0, "en", "fr"},
        {"English-only model", false, std::nullopt, false, 0, std::nullopt, "fr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stages stages;
        stages.decoder->setIsModelMultilingual(c.multilingual);
        stages.decoder->detection = [&] {
            if (c.detectionFails) throw WhisperError::decodingLogitsFailed("Unable to decode logits");
            DecodingResult detected;
            detected.language = "de";
            return detected;
        };
        stages.decoder->answer = [](std::int64_t, int) {
            auto result = answer({hello(), special().endToken});
            result.language = "fr";
            return result;
        };
        const auto result = stages.task()->run(
            doubles::countingAudio(20 * 16000), optionsWith([&](DecodingOptions& o) {
                o.language = c.language;
                o.detectLanguage = true;
            }));
        EXPECT_EQ(stages.decoder->detections, c.detections);
        ASSERT_EQ(stages.decoder->tries.size(), 1u);
        EXPECT_EQ(stages.decoder->tries[0].language, c.decodedWith);
        EXPECT_EQ(result->language(), c.resultLanguage);
        if (c.name == std::string("detected")) {
            const auto german = testsupport::whisperEnglishTokenizer()->convertTokenToId("<|de|>");
            EXPECT_NE(std::find(stages.decoder->tries[0].prompt.begin(),
                                stages.decoder->tries[0].prompt.end(), german),
                      stages.decoder->tries[0].prompt.end());
        }
    }
}

// A seeker whose word timings collapse one segment and reach past the window.
class WordSeeker : public SegmentSeeker {
  public:
    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const platform::ml::MLMultiArray&,
        const WhisperTokenizer&, std::int64_t, std::int64_t, std::string_view, std::string_view,
        float, const DecodingOptions&, const std::optional<TranscriptionTimings>&) const override {
        auto out = segments;
        out.at(0).end = out.at(0).start;
        out.at(1).end = 9.5f;
        return out;
    }
};

TEST(TranscribeTaskTest, WordTimingsDropEmptySegmentsAndCanMoveTheSeek) {
    Stages stages;
    stages.seeker = std::make_shared<WordSeeker>();
    stages.decoder->answer = [](std::int64_t, int) {
        auto result = answer({ts(0), hello(), ts(1), ts(1), hello(), ts(2), special().endToken});
        result.cache = DecodingCache{nullptr, nullptr,
                                     platform::ml::MLMultiArray::make({8, 10}, platform::ml::MLMultiArrayDataType::float16)};
        return result;
    };
    const auto result = stages.task()->run(doubles::countingAudio(12 * 16000),
                                           optionsWith([](DecodingOptions& o) { o.wordTimestamps = true; }));
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_FLOAT_EQ(segments[0].end, 9.5f);
    // The seeker said 2 s; the last word timing said 9.5 s.
    ASSERT_EQ(stages.decoder->tries.size(), 2u);
    EXPECT_EQ(stages.decoder->tries[1].seek, 152000);
    EXPECT_EQ(result->timings().totalTimestampAlignmentRuns, 2);
}

TEST(TranscribeTaskTest, FinalResultTextLanguageAndTimings) {
    Stages stages;
    auto task = stages.task();
    const auto hello = ::hello();
    struct Case {
        Ids tokens;
        std::optional<std::string> language;
        std::string text, resultLanguage;
    };
    const auto begin = special().specialTokenBegin;
    const auto tokenizer = testsupport::whisperEnglishTokenizer();
    const auto tab = testsupport::textToken("\t"), newline = testsupport::textToken("\n");
    const Case cases[] = {
        {{begin, hello, begin - 1}, std::nullopt, tokenizer->decode({hello, begin - 1}).substr(1), "en"},
        {{tab, hello, ts(1), newline}, "de", "Hello\n", "de"},
    };
    TranscriptionTimings timings;
    timings.logmels = 1.25;
    for (const auto& c : cases) {
        const auto result = task->finalizeTranscriptionResult(c.tokens, {}, c.language, timings);
        EXPECT_EQ(result->text(), c.text);
        EXPECT_EQ(result->language(), c.resultLanguage);
        EXPECT_EQ(result->timings(), timings);
        EXPECT_FALSE(result->seekTime());
    }
}

TEST(TranscribeTaskTest, StageFailuresEndTheRunWithTheirMessage) {
    struct Case {
        const char* name;
        std::function<void(Stages&)> breakIt;
        std::string message;
    };
    const Case cases[] = {
        {"no window", [](Stages& s) { s.features->window = 0; }, "Audio samples are nil"},
        {"no features", [](Stages& s) { s.features->produceNothing = true; }, "Mel output is nil"},
        {"no embeddings", [](Stages& s) { s.encoder->produceNothing = true; }, "Encoder output is nil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stages stages;
        c.breakIt(stages);
        try {
            stages.task()->run(doubles::countingAudio(20 * 16000), std::nullopt);
            ADD_FAILURE() << "no error";
        } catch (const WhisperError& e) {
            EXPECT_EQ(e, WhisperError::transcriptionFailed(c.message));
        }
        EXPECT_TRUE(stages.decoder->tries.empty());
    }
}

TEST(TranscribeTaskTest, CancelledWhileEncodingNeverDecodes) {
    Stages stages;
    std::stop_source stop;
    stages.encoder->whileEncoding = [&] { stop.request_stop(); };
    auto task = stages.task();
    const platform::TaskCancellation::Scope scope(stop.get_token());
    EXPECT_THROW(task->run(doubles::countingAudio(20 * 16000), std::nullopt), platform::CancellationError);
    EXPECT_TRUE(stages.decoder->tries.empty());
    EXPECT_EQ(task->timings().totalEncodingRuns, 1);
}

TEST(TranscribeTaskTest, DebugLinesNameTheWindows) {
    std::vector<std::string> lines;
    {
        const CapturedLog log(vortil::Logging::LogLevel::debug);
        Stages stages;
        stages.task()->run(doubles::countingAudio(20 * 16000), std::nullopt);
        lines = log.lines();
    }
    for (const char* expected : {"Decoding Seek: 0 (0.00s)", "Decoding Window Size: 320000 (20.00s)",
                                 "Decoding 0.00s - 20.00s", "Segments for window:",
                                 "[0.00 --> 20.00]  Hello<|endoftext|>"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
}

// Another thread reads the timings and swaps the segment callback while a
// run is going on.
TEST(TranscribeTaskTest, TimingsAndCallbackCanBeTouchedDuringARun) {
    Stages stages;
    auto task = stages.task();
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::thread other([&] {
        while (!done) {
            (void)task->timings().totalDecodingWindows;
            task->setSegmentDiscoveryCallback([&](const auto&) { ++calls; });
        }
    });
    const auto result = task->run(doubles::countingAudio(200 * 16000), std::nullopt);
    done = true;
    other.join();
    EXPECT_EQ(result->segments().size(), 7u);
}

}  // namespace
