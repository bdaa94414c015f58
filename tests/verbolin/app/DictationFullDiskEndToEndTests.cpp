// Dictating onto a full disk, end to end: the built `verbolin --listen` is
// started with its data folder on a full disk, hears one sentence, gets
// room, then fills the disk again and hears another. It must say why the
// transcript is not saved, say when it is saved again, and in the end hold
// every printed utterance exactly once in a sound database.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/HeadlessVerbolin.hpp"
#include "support/ScopedEnv.hpp"
#include "support/SmallDisk.hpp"
#include "verbolin/storage/StorageTestSupport.hpp"
#include "verbolin/storage/TranscriptDB.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;
using storage_test::column;
using testsupport::printedFinals;
using namespace std::chrono_literals;
using testsupport::occurrences;

namespace {

// The data folder on the small disk; the model pack, far larger, is linked
// in from elsewhere.
void putDataOn(const testsupport::SmallDisk& disk, const testsupport::TempDir& dir) {
    testsupport::makeDictationPack(dir / "pack");
    fs::create_directory_symlink(disk.path(), dir / "data");
    fs::create_directories(disk / "Verbolin/models");
    fs::create_directory_symlink(dir / "pack/Verbolin/models/standard-v1",
                                 disk / "Verbolin/models/standard-v1");
}

// Speaks `sentence` into the microphone after a second of silence; whether
// a final was printed after the `finalsBefore` ones.
bool say(testsupport::HeadlessVerbolin& app, const testsupport::PrivatePulseServer& pulse,
         const std::string& sentence, size_t finalsBefore) {
    std::vector<float> sound(16000, 0.0f);
    const auto words = testsupport::speak(sentence);
    sound.insert(sound.end(), words.begin(), words.end());
    testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
    return app.waitFor(
        [&] { return speaker.finished() && printedFinals(app.out()).size() > finalsBefore; }, 60s);
}

}  // namespace

TEST(DictationFullDisk, FinalsSaidOnAFullDiskAreReportedAndLandOnceThereIsRoom) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    testsupport::SmallDisk disk(4 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    testsupport::TempDir dir("verbolin-fulldisk");
    putDataOn(disk, dir);
    disk.fill();

    testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
    testsupport::HeadlessVerbolin app(dir, pulse);
    ASSERT_TRUE(app.waitFor([&] {
        return app.events().find("\taudio_start\t") != std::string::npos;
    })) << app.err();
    EXPECT_NE(app.err().find("No space left on device"), std::string::npos) << app.err();
    EXPECT_EQ(occurrences(app.err(), "the transcript is not being saved"), 1u) << app.err();

    const auto say = [&](const std::string& sentence, size_t finalsBefore) {
        return ::say(app, pulse, sentence, finalsBefore);
    };
    const auto waitForErr = [&](const std::string& text, size_t count) {
        return app.waitFor([&] { return occurrences(app.err(), text) >= count; }, 20s);
    };

    ASSERT_TRUE(say("Please send the report to the team by Friday afternoon.", 0))
        << app.out() << app.err();
    disk.makeRoom();  // the retry timer opens the transcript and writes it
    ASSERT_TRUE(waitForErr("the transcript is saved again", 1)) << app.err();

    disk.fill();
    ASSERT_TRUE(
        say("The quick brown fox jumps over the lazy dog.", printedFinals(app.out()).size()))
        << app.out() << app.err();
    ASSERT_TRUE(waitForErr("the transcript is not being saved", 2)) << app.err();
    disk.makeRoom();
    ASSERT_TRUE(waitForErr("the transcript is saved again", 2)) << app.err();

    app.signal(SIGINT);
    const auto status = app.wait(20s);
    ASSERT_TRUE(status.has_value()) << app.err();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();

    auto printed = printedFinals(app.out());
    ASSERT_GE(printed.size(), 2u) << app.out();
    verbolin::TranscriptDB db(disk / "Verbolin/transcript.sqlite");
    EXPECT_EQ(column(db.handle(), "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    auto stored = column(db.handle(), "SELECT text FROM segments");
    std::sort(printed.begin(), printed.end());
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, printed) << app.err();
}

// Killed (kill -9) while the disk is full: every final it printed is in the
// recovery file, and the first start with room stores each one once.
TEST(DictationFullDisk, AKillWhileTheDiskIsFullLosesNoPrintedFinal) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    testsupport::SmallDisk disk(4 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    testsupport::TempDir dir("verbolin-fulldisk");
    putDataOn(disk, dir);
    disk.fill();
    testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
    testsupport::HeadlessVerbolin app(dir, pulse);
    ASSERT_TRUE(app.waitFor([&] {
        return app.events().find("\taudio_start\t") != std::string::npos;
    })) << app.err();
    ASSERT_TRUE(say(app, pulse, "Please send the report to the team by Friday afternoon.", 0))
        << app.out() << app.err();
    ASSERT_TRUE(say(app, pulse, "The quick brown fox jumps over the lazy dog.",
                    printedFinals(app.out()).size()))
        << app.out() << app.err();
    app.signal(SIGKILL);
    ASSERT_TRUE(app.wait(20s).has_value());

    auto printed = printedFinals(app.out());
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", app.stateHome().string());
    const auto recovery = verbolin::TranscriptStore::recoveryFiles(app.dataFolder()).front();
    const std::string kept = testsupport::readFile(recovery);
    for (const auto& text : printed)
        EXPECT_EQ(occurrences(kept, "\"text\":" + nlohmann::json(text).dump()), 1u) << text << "\n"
                                                                                    << kept;

    disk.makeRoom();
    std::sort(printed.begin(), printed.end());
    for (int start = 0; start < 2; ++start) {
        verbolin::TranscriptStore store(app.dataFolder());
        std::vector<std::string> texts;
        for (const auto& s : store.segments.peek()) texts.push_back(s.text);
        std::sort(texts.begin(), texts.end());
        EXPECT_EQ(texts, printed) << "start " << start;
    }
    EXPECT_FALSE(fs::exists(recovery));
}
