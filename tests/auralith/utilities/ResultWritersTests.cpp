#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "auralith/WriteJSON.hpp"
#include "auralith/WriteSRT.hpp"
#include "auralith/WriteVTT.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "vortilcore/core/Unicode.hpp"

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

// Subtitle files are for sharing: they get the mode any new file gets.
TEST(ResultWriters, FilesGetTheUmasksMode) {
    testsupport::TempDir dir;
    const mode_t before = ::umask(022);
    const auto result = handBuiltResult();
    written(WriteJSON(dir.path().string()).write(*result, "shared"));
    written(WriteSRT(dir.path().string()).write(*result, "shared"));
    written(WriteVTT(dir.path().string()).write(*result, "shared"));
    ::umask(before);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        ++files;
        EXPECT_EQ(entry.status().permissions(), fs::perms(0644)) << entry.path();
    }
    EXPECT_EQ(files, 3u);
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
        {2.675f, true, ",", "00:00:02,674"},
        {2.675f, false, ".", "00:02.674"},
        {0.9f, false, ".", "00:00.900"},
        {1.5f, true, ",", "00:00:01,500"},
        {59.9996f, true, ",", "00:00:59,999"},
        {3600.0f, false, ".", "01:00:00.000"},
        {360000.5f, false, ".", "100:00:00.500"},
        {std::nanf(""), true, ",", "00:00:00,000"},
        {-5.25f, false, ".", "00:00.000"},
        {-inf, true, ",", "00:00:00,000"},
        {inf, true, ",", "9999:59:59,999"},
        {3.0e38f, false, ".", "9999:59:59.999"},
        {1e30f, true, ",", "9999:59:59,999"},
        {36000000.0f, false, ".", "9999:59:59.999"},
        {35999996.0f, true, ",", "9999:59:56,000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(ResultWriting::defaultFormatTime(c.seconds, c.hours, c.marker), c.expected);
    }
}

struct ReadCue {
    std::string timing;
    std::string text;
    bool operator==(const ReadCue&) const = default;
};

std::vector<std::string> fileLines(const std::string& content) {
    std::vector<std::string> out;
    std::string line;
    for (size_t i = 0; i < content.size(); ++i) {
        const char c = content[i];
        if (c == '\r' || c == '\n') {
            out.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) out.push_back(line);
    return out;
}

bool blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }
bool digits(const std::string& line) {
    return !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
}

// Reads cues as a lenient SubRip reader does: a line of digits followed by a
// timing line starts a cue wherever it stands; text runs to a blank line.
std::vector<ReadCue> readSRT(const std::string& content) {
    const auto ls = fileLines(content);
    std::vector<ReadCue> cues;
    for (size_t i = 0; i + 1 < ls.size(); ++i) {
        if (!digits(ls[i]) || ls[i + 1].find("-->") == std::string::npos) {
            if (!cues.empty() && !blank(ls[i])) {
                cues.back().text += (cues.back().text.empty() ? "" : "\n") + ls[i];
            }
            continue;
        }
        cues.push_back({ls[i + 1], ""});
        ++i;
    }
    if (!ls.empty() && !cues.empty() && !blank(ls.back()) && !digits(ls.back()))
        cues.back().text += (cues.back().text.empty() ? "" : "\n") + ls.back();
    return cues;
}

// Reads cues as the WebVTT parsing rules do: blocks end at an empty line, a
// block whose first line holds "-->" is a cue, and a text line holding
// "-->" ends the cue text and starts another block.
std::vector<ReadCue> readVTT(const std::string& content) {
    const auto ls = fileLines(content);
    std::vector<ReadCue> cues;
    bool inCue = false;
    for (size_t i = 1; i < ls.size(); ++i) {
        if (ls[i].empty()) {
            inCue = false;
        } else if (ls[i].find("-->") != std::string::npos) {
            cues.push_back({ls[i], ""});
            inCue = true;
        } else if (inCue) {
            cues.back().text += (cues.back().text.empty() ? "" : "\n") + ls[i];
        }
    }
    return cues;
}

// Texts a hand-made result or a merged edit may hold: each must stay inside
// its own cue, as valid UTF-8, with its words kept.
TEST(ResultWriters, HostileTextsStayInsideTheirCue) {
    testsupport::TempDir dir;
    const struct {
        std::string text;
        std::string srt;  // the text as an SRT reader gets it
        std::string vtt;  // and a WebVTT reader
    } cases[] = {
        {" one\n\n two", " one\n two", " one\n two"},
        {" one\r\n\r\n two\rthree\n \t\nfour", " one\n two\nthree\nfour",
         " one\n two\nthree\nfour"},
        {"\n\n lead", " lead", " lead"},
        {" trail\n\n", " trail", " trail"},
        {" x\n7\n00:00:01,000 --> 00:00:02,000\nforged",
         " x\n7\n00:00:01,000 -> 00:00:02,000\nforged",
         " x\n7\n00:00:01,000 -> 00:00:02,000\nforged"},
        {"7\n\n00:00:01,000 --> 00:00:02,000\n\nforged", "7\n00:00:01,000 -> 00:00:02,000\nforged",
         "7\n00:00:01,000 -> 00:00:02,000\nforged"},
        {" 00:01.000 --> 00:02.000", " 00:01.000 --> 00:02.000", " 00:01.000 -> 00:02.000"},
        {" a ---> b --> c", " a ---> b --> c", " a -> b -> c"},
        {" bad \xff\xfe end \xc3", " bad \xef\xbf\xbd\xef\xbf\xbd end \xef\xbf\xbd",
         " bad \xef\xbf\xbd\xef\xbf\xbd end \xef\xbf\xbd"},
        {" \xed\xa0\x80 surrogate", " \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd surrogate",
         " \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd surrogate"},
        {" Naïve café.", " Naïve café.", " Naïve café."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<TranscriptionSegment> segments{
            segment(0, 1.0f, 2.0f, " before", std::nullopt),
            segment(1, 2.0f, 3.0f, c.text, std::nullopt),
            segment(2, 3.0f, 4.0f, " after", std::nullopt),
        };
        TranscriptionResult result("", std::move(segments), "en", TranscriptionTimings{});
        written(WriteSRT(dir.path().string()).write(result, "hostile"));
        written(WriteVTT(dir.path().string()).write(result, "hostile"));
        const std::string srt = readFile(dir / "hostile.srt");
        const std::string vtt = readFile(dir / "hostile.vtt");
        EXPECT_TRUE(vortil::unicode::isValidUtf8(srt));
        EXPECT_TRUE(vortil::unicode::isValidUtf8(vtt));
        EXPECT_EQ(readSRT(srt), (std::vector<ReadCue>{
                                    {"00:00:01,000 --> 00:00:02,000", " before"},
                                    {"00:00:02,000 --> 00:00:03,000", c.srt},
                                    {"00:00:03,000 --> 00:00:04,000", " after"},
                                }))
            << srt;
        EXPECT_EQ(readVTT(vtt), (std::vector<ReadCue>{
                                    {"00:01.000 --> 00:02.000", " before"},
                                    {"00:02.000 --> 00:03.000", c.vtt},
                                    {"00:03.000 --> 00:04.000", " after"},
                                }))
            << vtt;
        // The cue helpers give the same cue texts.
        WriteSRT helper("unused");
        EXPECT_NE(srt.find(helper.formatSegment(2, 2.0f, 3.0f, c.text)), std::string::npos);
        EXPECT_NE(vtt.find(helper.formatTiming(2.0f, 3.0f, c.text)), std::string::npos);
    }
}

// A time a subtitle file cannot show as a number is refused, as JSON refuses
// it, and the file that was there stays; huge finite times are capped.
TEST(ResultWriters, TimesOutsideTheFormatAreRefusedOrCapped) {
    testsupport::TempDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    WriteJSON json(dir.path().string());
    WriteSRT srt(dir.path().string());
    WriteVTT vtt(dir.path().string());
    ResultWriting* writers[] = {&json, &srt, &vtt};
    const auto good = handBuiltResult();
    for (auto* writer : writers) written(writer->write(*good, "kept"));
    const std::string keptSRT = readFile(dir / "kept.srt");

    const struct {
        float start, end;
        bool word;
    } refused[] = {
        {0, inf, false}, {std::nanf(""), 1, false}, {1, std::nanf(""), true}, {-inf, 1, true}};
    for (const auto& c : refused) {
        SCOPED_TRACE(std::to_string(c.start) + " " + std::to_string(c.end));
        std::vector<TranscriptionSegment> segments{segment(
            0, c.word ? 0.0f : c.start, c.word ? 5.0f : c.end, " x",
            c.word ? std::optional<std::vector<WordTiming>>({{" x", {1}, c.start, c.end, 1.0f}})
                   : std::nullopt)};
        TranscriptionResult result(" x", std::move(segments), "en", TranscriptionTimings{});
        for (auto* writer : writers)
            EXPECT_TRUE(std::holds_alternative<std::exception_ptr>(writer->write(result, "kept")));
    }
    EXPECT_EQ(readFile(dir / "kept.srt"), keptSRT);

    std::vector<TranscriptionSegment> segments{segment(0, 1e30f, 3.4e38f, " far", std::nullopt)};
    TranscriptionResult far(" far", std::move(segments), "en", TranscriptionTimings{});
    written(srt.write(far, "far"));
    written(vtt.write(far, "far"));
    EXPECT_EQ(readFile(dir / "far.srt"), "1\n9999:59:59,999 --> 9999:59:59,999\n far\n\n");
    EXPECT_EQ(readFile(dir / "far.vtt"), "WEBVTT\n\n9999:59:59.999 --> 9999:59:59.999\n far\n\n");
}

// On a full disk each writer returns an error naming its file and the
// reason, and the file of that name keeps what it held.
TEST(ResultWriters, AFullDiskIsAnErrorNamingTheFileAndKeepsTheOldOne) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    const fs::path out = disk / "results";
    fs::create_directory(out);
    WriteJSON json(out.string());
    WriteSRT srt(out.string());
    WriteVTT vtt(out.string());
    const struct {
        ResultWriting* writer;
        const char* extension;
    } cases[] = {{&json, ".json"}, {&srt, ".srt"}, {&vtt, ".vtt"}};
    TranscriptionResult old(" Old.", {segment(0, 0, 1, " Old.", std::nullopt)}, "en",
                            TranscriptionTimings{});
    for (const auto& c : cases) written(c.writer->write(old, "result"));
    const auto result = handBuiltResult();
    disk.fill();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extension);
        const fs::path file = out / (std::string("result") + c.extension);
        const std::string before = readFile(file);
        const auto outcome = c.writer->write(*result, "result");
        const auto* error = std::get_if<std::exception_ptr>(&outcome);
        ASSERT_NE(error, nullptr) << "written on a full disk";
        try {
            std::rethrow_exception(*error);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(file.string()), std::string::npos) << what;
            EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
        }
        EXPECT_EQ(readFile(file), before);
    }
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out)) ++entries;
    EXPECT_EQ(entries, 3u) << "no temporary is left";
    disk.makeRoom();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extension);
        written(c.writer->write(*result, "result"));
        EXPECT_EQ(readFile(out / (std::string("result") + c.extension)),
                  readFile(golden / (std::string("result") + c.extension)));
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
