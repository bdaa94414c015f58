#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "auralith/WriteJSON.hpp"
#include "auralith/WriteSRT.hpp"
#include "auralith/WriteVTT.hpp"
#include "support/TempDir.hpp"

namespace auralith {
namespace {

using testsupport::readFile;
namespace fs = std::filesystem;

const fs::path golden = fs::path(VERBOLIN_TEST_DATA_DIR) / "result-writers";

TranscriptionSegment segment(int64_t id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words) {
    return {
        id, 0,     start, end,  std::move(text), {50364, 400}, {{{50364, -0.25f}}, {{400, -0.5f}}},
        0,  -0.3f, 1.2f,  0.1f, std::move(words)};
}

// Word cues and segment cues mixed, a present but empty word list, the
// single-precision truncation cases, and a time past 99 hours.
std::unique_ptr<TranscriptionResult> handBuiltResult() {
    std::vector<TranscriptionSegment> segments{
        segment(0, 0.0f, 2.675f, " Hello there.",
                std::vector<WordTiming>{{" Hello", {400}, 0.0f, 0.9f, 0.9f},
                                        {" there.", {401}, 0.9f, 2.675f, 0.8f}}),
        segment(1, 2.675f, 59.9996f, " Naïve café.", std::nullopt),
        segment(2, 3599.5f, 3600.0f, " Past the hour.", std::vector<WordTiming>{}),
        segment(3, 3600.0f, 360000.5f, " Long.",
                std::vector<WordTiming>{{" Long.", {402}, 3600.0f, 360000.5f, 1.0f}}),
    };
    TranscriptionTimings timings;
    timings.pipelineStart = 10;
    timings.fullPipeline = 2.5;
    timings.firstTokenTime = 10.5;
    return std::make_unique<TranscriptionResult>(" Hello there. Naïve café. Past the hour. Long.",
                                                 std::move(segments), "en", timings, 1.5f);
}

std::string written(const ResultWriting::WriteResult& outcome) {
    if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        try {
            std::rethrow_exception(*error);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "write failed: " << e.what();
        }
        return {};
    }
    return std::get<std::string>(outcome);
}

TEST(ResultWriters, MatchGoldenFilesAndReturnFileURL) {
    testsupport::TempDir dir;
    const fs::path out = dir / "out dir";
    fs::create_directory(out);
    const auto result = handBuiltResult();

    WriteJSON json(out.string());
    WriteSRT srt(out.string());
    WriteVTT vtt(out.string());
    struct Case {
        ResultWriting* writer;
        const char* extension;
    } cases[] = {{&json, ".json"}, {&srt, ".srt"}, {&vtt, ".vtt"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extension);
        const std::string url = written(c.writer->write(*result, "result"));
        EXPECT_EQ(url, "file://" + dir.path().string() + "/out%20dir/result" + c.extension);
        EXPECT_EQ(readFile(out / (std::string("result") + c.extension)),
                  readFile(golden / (std::string("result") + c.extension)));
    }
}

TEST(ResultWriters, EmptyResultAndRelativeFolder) {
    testsupport::TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    TranscriptionResult empty("", {}, "en", TranscriptionTimings{});
    const std::string srtURL = written(WriteSRT(".").write(empty, "empty"));
    written(WriteVTT(".").write(empty, "empty"));
    written(WriteJSON(".").write(empty, "empty"));
    fs::current_path(before);

    EXPECT_EQ(srtURL.rfind("file://" + dir.path().string(), 0), 0u) << srtURL;
    EXPECT_EQ(readFile(dir / "empty.srt"), "");
    EXPECT_EQ(readFile(dir / "empty.vtt"), "WEBVTT\n\n");
    const auto json = nlohmann::json::parse(readFile(dir / "empty.json"));
    EXPECT_TRUE(json["segments"].is_array() && json["segments"].empty());
    EXPECT_TRUE(json["seekTime"].is_null());
}

TEST(ResultWriters, FailuresAreReturnedAndLeaveFilesAlone) {
    testsupport::TempDir dir;
    const auto result = handBuiltResult();
    const fs::path missing = dir / "missing";
    EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(
        WriteJSON(missing.string()).write(*result, "x")));
    EXPECT_TRUE(
        std::holds_alternative<std::exception_ptr>(WriteSRT(missing.string()).write(*result, "x")));
    EXPECT_TRUE(
        std::holds_alternative<std::exception_ptr>(WriteVTT(missing.string()).write(*result, "x")));
    EXPECT_FALSE(fs::exists(missing));

    // A result that cannot be encoded must not destroy the file it would replace.
    WriteJSON json(dir.path().string());
    written(json.write(*result, "kept"));
    const std::string good = readFile(dir / "kept.json");
    TranscriptionResult broken("\xff\xfe", {}, "en", TranscriptionTimings{});
    EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(json.write(broken, "kept")));
    EXPECT_EQ(readFile(dir / "kept.json"), good);
}

TEST(ResultWriters, FormatTimeTruncatesInSinglePrecisionAndSurvivesHostileTimes) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float seconds;
        bool hours;
        const char* marker;
        const char* expected;
    } cases[] = {
        {2.675f, true, ",", "00:00:02,674"},      {2.675f, false, ".", "00:02.674"},
        {0.9f, false, ".", "00:00.900"},          {1.5f, true, ",", "00:00:01,500"},
        {59.9996f, true, ",", "00:00:59,999"},    {3600.0f, false, ".", "01:00:00.000"},
        {360000.5f, false, ".", "100:00:00.500"}, {std::nanf(""), true, ",", "00:00:00,000"},
        {-5.25f, false, ".", "00:00.000"},        {-inf, true, ",", "00:00:00,000"},
        {inf, true, ",", "9223372036854775807:"}, {3.0e38f, false, ".", "9223372036854775807:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const std::string text = ResultWriting::defaultFormatTime(c.seconds, c.hours, c.marker);
        EXPECT_EQ(text.substr(0, std::string(c.expected).size()), c.expected);
        if (std::isfinite(c.seconds) && c.seconds < 1e6f) {
            EXPECT_EQ(text, c.expected);
        }
    }
}

// A writer's own time format reaches the cue helpers.
TEST(ResultWriters, CueHelpersUseTheWritersFormatTime) {
    struct Ticks : WriteSRT {
        using WriteSRT::WriteSRT;
        std::string formatTime(float seconds, bool, const std::string&) const override {
            return std::to_string(static_cast<int>(seconds * 100));
        }
    } ticks("unused");
    EXPECT_EQ(ticks.formatSegment(7, 1.5f, 2.0f, " hi"), "7\n150 --> 200\n hi\n\n");
    EXPECT_EQ(ticks.formatTiming(1.5f, 2.0f, " hi"), "150 --> 200\n hi\n\n");
    EXPECT_EQ(WriteVTT("unused").formatTiming(1.5f, 3600.0f, "x"),
              "00:01.500 --> 01:00:00.000\nx\n\n");
}

}  // namespace
}  // namespace auralith
