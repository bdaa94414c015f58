#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "auralith/core/TranscriptionResult.hpp"
#include "auralith/core/TranscriptionResultStruct.hpp"
#include "auralith/core/TranscriptionState.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"
#include "vortilcore/core/Logging.hpp"

using namespace auralith;
using Level = vortil::Logging::LogLevel;

namespace {

TranscriptionSegment segment(int64_t id, float start, float end, std::string text,
                             std::vector<int64_t> tokens,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    return TranscriptionSegment(id, 0, start, end, std::move(text), std::move(tokens), {}, 0, -0.3f,
                                1.2f, 0.01f, std::move(words));
}

class TranscriptionResultTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        vortil::Logging::updateCallback(nullptr);
        vortil::Logging::updateLogLevel(Level::none);
    }
    void capture(Level level) {
        vortil::Logging::updateLogLevel(level);
        vortil::Logging::updateCallback([this](const std::string& m) {
            std::lock_guard<std::mutex> guard(mutex);
            messages.push_back(m);
        });
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

}  // namespace

TEST_F(TranscriptionResultTest, JsonWritesNullSeekTimeAndRequiresTheKey) {
    TranscriptionResult result(" Hi", {segment(0, 0, 1, " Hi", {50364, 2000})}, "en",
                               TranscriptionTimings());
    nlohmann::ordered_json j = result;
    std::vector<std::string> keys;
    for (const auto& [key, value] : j.items()) keys.push_back(key);
    EXPECT_EQ(keys,
              (std::vector<std::string>{"text", "segments", "language", "timings", "seekTime"}));
    EXPECT_TRUE(j.at("seekTime").is_null());
    const nlohmann::json plain = result;
    EXPECT_EQ(plain, nlohmann::json::parse(j.dump()));

    const TranscriptionResult back(nlohmann::json::parse(j.dump()));
    EXPECT_EQ(back.text(), " Hi");
    EXPECT_EQ(back.segments(), result.segments());
    EXPECT_EQ(back.language(), "en");
    EXPECT_EQ(back.timings(), TranscriptionTimings());
    EXPECT_FALSE(back.seekTime().has_value());

    result.setSeekTime(12.5f);
    j = result;
    EXPECT_EQ(j.at("seekTime").dump(), "12.5");
    EXPECT_EQ(TranscriptionResult(j).seekTime(), 12.5f);

    for (const char* key : {"text", "segments", "language", "timings", "seekTime"}) {
        nlohmann::ordered_json partial = j;
        partial.erase(key);
        EXPECT_THROW(TranscriptionResult{partial}, DecodingError) << key;
    }
}

TEST_F(TranscriptionResultTest, StructLeavesOutAbsentSeekTimeAndAcceptsItsAbsence) {
    TranscriptionResultStruct value(" Hi", {segment(0, 0, 1, " Hi", {1})}, "en",
                                    TranscriptionTimings());
    nlohmann::ordered_json j = value;
    EXPECT_FALSE(j.contains("seekTime"));
    EXPECT_EQ(j.get<TranscriptionResultStruct>(), value);
    value.seekTime = 3.25f;
    j = value;
    EXPECT_EQ(j.at("seekTime").dump(), "3.25");
    EXPECT_EQ(nlohmann::json::parse(j.dump()).get<TranscriptionResultStruct>(), value);
    for (const char* key : {"text", "segments", "language", "timings"}) {
        nlohmann::ordered_json partial = j;
        partial.erase(key);
        EXPECT_THROW(partial.get<TranscriptionResultStruct>(), DecodingError) << key;
    }
}

TEST_F(TranscriptionResultTest, AllWordsJoinsTheSegmentsThatHaveWords) {
    const WordTiming a(" a", {1}, 0, 1, 0.5f), b(" b", {2}, 1, 2, 0.6f), c(" c", {3}, 3, 4, 0.7f);
    TranscriptionResult result(
        "",
        {segment(0, 0, 2, " a b", {1, 2}, std::vector{a, b}), segment(1, 2, 3, "", {}),
         segment(2, 3, 4, " c", {3}, std::vector{c})},
        "en", {});
    EXPECT_EQ(result.allWords(), (std::vector<WordTiming>{a, b, c}));
    result.setSegments({segment(0, 0, 1, " x", {}), segment(1, 1, 2, " y", {})});
    EXPECT_TRUE(result.allWords().empty());
}

TEST_F(TranscriptionResultTest, LogSegmentsNumbersByPositionNotById) {
    TranscriptionResult result(
        "", {segment(7, 0, 2.5f, " Hello", {}), segment(9, 2.5f, 4.5f, " world", {})}, "en", {});
    capture(Level::debug);
    result.logSegments();
    EXPECT_EQ(messages, (std::vector<std::string>{"[Segment 0] [0.00 --> 2.50]  Hello",
                                                  "[Segment 1] [2.50 --> 4.50]  world"}));
    messages.clear();
    TranscriptionResult("", {}, "en", {}).logSegments();
    EXPECT_TRUE(messages.empty());
}

TEST_F(TranscriptionResultTest, SegmentsLogAtDebugAndTimingsAtInfo) {
    const TranscriptionResult result("", {segment(0, 0, 1, " a", {1}), segment(1, 1, 2, " b", {2})},
                                     "en", {});
    struct Case {
        const char* name;
        void (TranscriptionResult::*log)() const;
        Level level;
        size_t lines;
    };
    const Case cases[] = {{"segments", &TranscriptionResult::logSegments, Level::debug, 2},
                          {"timings", &TranscriptionResult::logTimings, Level::info, 1}};
    for (const auto& c : cases) {
        for (Level level : {Level::debug, Level::info, Level::error}) {
            capture(level);
            (result.*c.log)();
            std::lock_guard<std::mutex> guard(mutex);
            EXPECT_EQ(messages.size(), level <= c.level ? c.lines : 0u)
                << c.name << " " << static_cast<int>(level);
            messages.clear();
        }
    }
}

TEST_F(TranscriptionResultTest, TimingsReportIsExact) {
    TranscriptionTimings t;
    t.audioLoading = 0.1;
    t.audioProcessing = 0.2;
    t.logmels = 0.05;
    t.encoding = 0.3;
    t.decodingInit = 0.01;
    t.decodingPredictions = 0.6;
    t.decodingNonPrediction = 0.4;
    t.decodingFiltering = 0.07;
    t.decodingSampling = 0.08;
    t.decodingKvCaching = 0.09;
    t.decodingWordTimestamps = 0.04;
    t.decodingWindowing = 0.1;
    t.decodingFallback = 0.25;
    t.decodingLoop = 1.5;
    t.totalAudioProcessingRuns = 2;
    t.totalLogmelRuns = 2;
    t.totalEncodingRuns = 2;
    t.totalDecodingLoops = 40;
    t.totalKVUpdateRuns = 39;
    t.totalTimestampAlignmentRuns = 3;
    t.totalDecodingFallbacks = 2;
    t.totalDecodingWindows = 2;
    t.fullPipeline = 2.0;
    t.modelLoading = 1.25;
    t.prewarmLoadTime = 0.5;
    t.encoderLoadTime = 0.3;
    t.decoderLoadTime = 0.4;
    t.tokenizerLoadTime = 0.05;
    t.pipelineStart = 100.0;
    t.firstTokenTime = 100.75;
    t.inputAudioSeconds = 8.0;
    // 7 tokens in the segments against 40 decoding loops: the report counts tokens.
    TranscriptionResult result(
        "", {segment(0, 0, 1, "", {1, 2, 3}), segment(1, 1, 2, "", {4, 5, 6, 7})}, "en", t);

    const std::string expected =
        "---- Transcription Timings ----\n"
        "Audio Load:            100.00 ms /      1 runs (  100.00 ms/run)  5.00%\n"
        "Audio Processing:      200.00 ms /      2 runs (  100.00 ms/run) 10.00%\n"
        "Mels:                   50.00 ms /      2 runs (   25.00 ms/run)  2.50%\n"
        "Encoding:              300.00 ms /      2 runs (  150.00 ms/run) 15.00%\n"
        "Matrices Init:          10.00 ms /      1 runs (   10.00 ms/run)  0.50%\n"
        "Decoding:              600.00 ms /     40 runs (   15.00 ms/run) 30.00%\n"
        "Non-inference:         400.00 ms /     40 runs (   10.00 ms/run) 20.00%\n"
        "- Logit Filtering:      70.00 ms /     40 runs (    1.75 ms/run)  3.50%\n"
        "- Sampling:             80.00 ms /     40 runs (    2.00 ms/run)  4.00%\n"
        "- Kv Caching:           90.00 ms /     39 runs (    2.31 ms/run)  4.50%\n"
        "- Word Timestamps:      40.00 ms /      3 runs (   13.33 ms/run)  2.00%\n"
        "- Windowing:            60.00 ms /      2 runs (   30.00 ms/run)  3.00%\n"
        "Fallbacks:             250.00 ms /      2 runs (  125.00 ms/run) 12.50%\n"
        "Decoding Full Loop:   1500.00 ms /     40 runs (   37.50 ms/run) 75.00%\n"
        "-------------------------------\n"
        "Model Load Time:               1.25 seconds\n"
        "- Prewarm:                     0.50 seconds\n"
        "- Encoder:                     0.30 seconds\n"
        "- Decoder:                     0.40 seconds\n"
        "- Tokenizer:                   0.05 seconds\n"
        "Inference Duration (Global):   2.00 seconds\n"
        "- Decoding Loop (Avg/window):  0.75 seconds\n"
        "- Audio Windows:               2.00\n"
        "Time to first token:           0.75 seconds\n"
        "Total Tokens:                  7\n"
        "Tokens per Second:             20.00 tok/s\n"
        "Real Time Factor:              0.250\n"
        "Speed Factor:                  4.000\n"
        "Fallbacks:                     2.0";
    capture(Level::info);
    result.logTimings();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], expected);

    // Nothing decoded: the per-window average is 0/0, printed as "nan" whatever its sign.
    const std::string empty =
        TranscriptionResult("", {}, "en", TranscriptionTimings()).timingsReport();
    EXPECT_NE(empty.find("- Decoding Loop (Avg/window):  nan seconds\n"), std::string::npos)
        << empty;
    EXPECT_EQ(empty.find("-nan"), std::string::npos) << empty;
    // With a zero total every share of the first block is 0/0 as well.
    EXPECT_NE(
        empty.find("Audio Load:              0.00 ms /      1 runs (    0.00 ms/run)   nan%\n"),
        std::string::npos)
        << empty;
}

TEST_F(TranscriptionResultTest, ConcurrentReadersAndWritersSeeWholeValues) {
    TranscriptionResult result("", {}, "en", {});
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                result.setText(std::string(static_cast<size_t>(i % 50), w ? 'b' : 'a'));
                result.setSegments(std::vector<TranscriptionSegment>(static_cast<size_t>(i % 5)));
                result.modifyTimings([](TranscriptionTimings& t) { t.fullPipeline += 1; });
                result.setSeekTime(static_cast<float>(i));
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const std::string text = result.text();
                if (text.find_first_not_of(text.empty() ? "" : text.substr(0, 1)) !=
                    std::string::npos)
                    torn = true;
                (void)result.segments().size();
                (void)result.timings().fullPipeline;
                nlohmann::ordered_json j = result;
                (void)j;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(torn);
}

TEST(TranscriptionStateTest, Descriptions) {
    EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
    EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}

TEST(TranscriptionResultEncoding, NonFiniteValueDeepInsideIsRefusedWithoutLeaks) {
    // A refused word inside a segment inside the result: every level unwinds
    // through the JSON library's converting constructors (checked under ASan).
    const WordTiming bad(" a", {1}, 0, std::numeric_limits<float>::quiet_NaN(), 1);
    const auto withBadWord = segment(0, 0, 1, " a", {1}, std::vector{bad});
    TranscriptionTimings timings;
    TranscriptionResultStruct value(" a", {withBadWord}, "en", timings);
    EXPECT_THROW(nlohmann::json j = value, EncodingError);
    EXPECT_THROW(nlohmann::ordered_json j = value, EncodingError);
    TranscriptionResult result(" a", {withBadWord}, "en", timings);
    nlohmann::ordered_json out;
    EXPECT_THROW(result.encode(out), EncodingError);
    timings.fullPipeline = std::numeric_limits<double>::infinity();
    TranscriptionResultStruct badTimings(" a", {}, "en", timings);
    EXPECT_THROW(nlohmann::json j = badTimings, EncodingError);
}
