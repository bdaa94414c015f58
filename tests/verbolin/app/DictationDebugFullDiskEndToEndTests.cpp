// Recording diagnostics onto a full disk, end to end: the built
// `verbolin --listen` runs with VERBOLIN_DEBUG_DIR on a small disk that is
// full from the start or fills while it listens, and its transcript on a disk
// with room. Diagnostics must never cost a word: every final is printed and
// stored exactly once, nothing stalls, and once there is room again the
// recordings go on, holding whole lines and samples only.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/HeadlessVerbolin.hpp"
#include "support/SmallDisk.hpp"
#include "verbolin/storage/StorageTestSupport.hpp"
#include "verbolin/storage/TranscriptDB.hpp"

namespace fs = std::filesystem;
using testsupport::printedFinals;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> storedTexts(const fs::path& database) {
    verbolin::TranscriptDB db(database);
    return storage_test::column(db.handle(), "SELECT text FROM segments");
}

struct LogLine {
    std::string name, detail;
};

// The debug log's lines; one not of the form "<seconds>\t<name>\t<detail>"
// fails the test.
std::vector<LogLine> logLines(const std::string& text) {
    static const std::regex form(R"( *[0-9]+\.[0-9]{3}\t([a-z_]+)\t([^\t]*))");
    std::vector<LogLine> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, form)) << "malformed line: " << line;
        if (!m.empty()) lines.push_back({m[1], m[2]});
    }
    return lines;
}

}  // namespace

TEST(DictationDebugFullDisk, FinalsArePrintedAndStoredOnceAndDiagnosticsResumeWithRoom) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    struct Case {
        const char* name;
        off_t room;  // left on the debug disk when listening starts
    };
    const Case cases[] = {
        {"full from the start", 0},
        {"filled by the session recording", 48 << 10},  // about 1.5 s of audio
    };
    testsupport::TempDir packHome("verbolin-debugfull-pack");
    testsupport::makeDictationPack(packHome.path());

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::SmallDisk disk(2 << 20);
        SKIP_WITHOUT_SMALL_DISK(disk);
        testsupport::TempDir dir("verbolin-debugfull");
        fs::create_directories(dir / "data");
        fs::copy(packHome.path(), dir / "data", fs::copy_options::recursive);
        fs::create_directory_symlink(disk.path(), dir / "debug");
        disk.fill(c.room);

        testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
        testsupport::HeadlessVerbolin app(dir, pulse);
        // The debug log may hold nothing, so the audio server says when the
        // microphone is being recorded.
        ASSERT_TRUE(app.waitFor([&] {
            std::this_thread::sleep_for(100ms);
            return pulse.pactl("list short source-outputs | grep -q .") == 0;
        })) << app.err();

        const auto say = [&](const std::string& sentence, size_t finalsBefore) {
            std::vector<float> sound(16000, 0.0f);
            const auto words = testsupport::speak(sentence);
            sound.insert(sound.end(), words.begin(), words.end());
            testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
            return app.waitFor(
                [&] {
                    return speaker.finished() && printedFinals(app.out()).size() > finalsBefore;
                },
                60s);
        };

        ASSERT_TRUE(say("Please send the report to the team by Friday afternoon.", 0))
            << app.out() << app.err();
        EXPECT_TRUE(disk.isFull());
        EXPECT_FALSE(fs::exists(disk / "utterance-1.pcm"));  // never part of one
        disk.makeRoom();
        ASSERT_TRUE(
            say("The quick brown fox jumps over the lazy dog.", printedFinals(app.out()).size()))
            << app.out() << app.err();

        app.signal(SIGINT);
        const auto status = app.wait(20s);
        ASSERT_TRUE(status.has_value()) << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();

        auto printed = printedFinals(app.out());
        ASSERT_GE(printed.size(), 2u) << app.out();
        auto stored = storedTexts(app.dataFolder() / "transcript.sqlite");
        std::sort(printed.begin(), printed.end());
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(stored, printed) << app.err();

        // The recordings went on once there was room, and say what was lost.
        const auto lines = logLines(app.events());
        std::optional<std::string> lastFile;
        bool audioGap = false;
        for (const auto& l : lines) {
            if (l.name == "utterance_saved") {
                const auto at = l.detail.find("file=");
                if (at != std::string::npos) lastFile = l.detail.substr(at + 5);
            }
            audioGap = audioGap || l.name == "audio_dropped";
        }
        EXPECT_TRUE(audioGap) << app.events();
        ASSERT_TRUE(lastFile.has_value()) << app.events();
        ASSERT_TRUE(fs::exists(disk / *lastFile)) << *lastFile;
        EXPECT_GT(fs::file_size(disk / *lastFile), 16000u);  // half a second at least
        EXPECT_EQ(fs::file_size(disk / *lastFile) % 2, 0u);
        EXPECT_EQ(fs::file_size(disk / "session.pcm") % 2, 0u);
    }
}
