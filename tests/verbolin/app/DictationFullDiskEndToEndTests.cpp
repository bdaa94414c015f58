// Dictating onto a full disk, end to end: the built `verbolin --listen` is
// started with its data folder on a full disk, hears one sentence, gets
// room, then fills the disk again and hears another. It must say why the
// transcript is not saved, say when it is saved again, and in the end hold
// every printed utterance exactly once in a sound database.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
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

std::vector<std::string> sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

}  // namespace

// `verbolin --listen` hearing the microphone, its data folder on a full small
// disk; the model pack, far larger, is linked in from elsewhere.
class DictationFullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
        SKIP_WITHOUT_SMALL_DISK(disk);
        testsupport::makeDictationPack(dir / "pack");
        fs::create_directory_symlink(disk.path(), dir / "data");
        fs::create_directories(disk / "Verbolin/models");
        fs::create_directory_symlink(dir / "pack/Verbolin/models/standard-v1",
                                     disk / "Verbolin/models/standard-v1");
        disk.fill();
        pulse.emplace(testsupport::PrivatePulseServer::pipeMicrophone());
        start();
    }

    // Starts `verbolin --listen` (again), in the environment as it is now.
    void start() {
        app.reset();
        fs::remove(dir / "debug/events.log");  // the last run's says it started
        app = std::make_unique<testsupport::HeadlessVerbolin>(dir, *pulse);
        ASSERT_TRUE(app->waitFor([&] {
            return app->events().find("\taudio_start\t") != std::string::npos;
        })) << app->err();
    }

    // Speaks `sentence` after a second of silence; whether a new final was printed.
    bool say(const std::string& sentence) {
        const size_t before = printedFinals(app->out()).size();
        std::vector<float> sound(16000, 0.0f);
        const auto words = testsupport::speak(sentence);
        sound.insert(sound.end(), words.begin(), words.end());
        testsupport::FifoSpeaker speaker(pulse->path("mic.fifo"), sound);
        return app->waitFor(
            [&] { return speaker.finished() && printedFinals(app->out()).size() > before; }, 60s);
    }

    testsupport::SmallDisk disk{4 << 20};
    testsupport::TempDir dir{"verbolin-fulldisk"};
    std::optional<testsupport::PrivatePulseServer> pulse;
    std::unique_ptr<testsupport::HeadlessVerbolin> app;
};

TEST_F(DictationFullDisk, FinalsSaidOnAFullDiskAreReportedAndLandOnceThereIsRoom) {
    EXPECT_NE(app->err().find("No space left on device"), std::string::npos) << app->err();
    EXPECT_EQ(occurrences(app->err(), "the transcript is not being saved"), 1u) << app->err();
    const auto waitForErr = [&](const std::string& text, size_t count) {
        return app->waitFor([&] { return occurrences(app->err(), text) >= count; }, 20s);
    };

    ASSERT_TRUE(say("Please send the report to the team by Friday afternoon."))
        << app->out() << app->err();
    disk.makeRoom();  // the retry timer opens the transcript and writes it
    ASSERT_TRUE(waitForErr("the transcript is saved again", 1)) << app->err();

    disk.fill();
    ASSERT_TRUE(say("The quick brown fox jumps over the lazy dog.")) << app->out() << app->err();
    ASSERT_TRUE(waitForErr("the transcript is not being saved", 2)) << app->err();
    disk.makeRoom();
    ASSERT_TRUE(waitForErr("the transcript is saved again", 2)) << app->err();

    app->signal(SIGINT);
    const auto status = app->wait(20s);
    ASSERT_TRUE(status.has_value()) << app->err();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app->err();

    const auto printed = printedFinals(app->out());
    ASSERT_GE(printed.size(), 2u) << app->out();
    verbolin::TranscriptDB db(disk / "Verbolin/transcript.sqlite");
    EXPECT_EQ(column(db.handle(), "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(sorted(column(db.handle(), "SELECT text FROM segments")), sorted(printed))
        << app->err();
}

// Killed (kill -9) while the disk is full: every final it printed is in the
// recovery file, and the first start with room stores each one once. Each
// row starts again with the disk full, the state folder unusable (a file)
// after the first: another user made the temporary folder's name first,
// so a folder of its own keeps the text; then no place at all can, which
// standard error says.
TEST_F(DictationFullDisk, AKillWhileTheDiskIsFullLosesNoPrintedFinal) {
    enum class Kept { inState, inOwnFolder, nowhere };
    testsupport::TempDir temporary;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", app->stateHome().string());
    const testsupport::ScopedEnv tmp("TMPDIR", temporary.path().string());
    std::vector<std::string> stored;
    for (const Kept kept : {Kept::inState, Kept::inOwnFolder, Kept::nowhere}) {
        SCOPED_TRACE(int(kept));
        const auto places = verbolin::TranscriptStore::recoveryFiles(app->dataFolder());
        const fs::path taken = temporary.path() / places[1].parent_path().filename();
        if (kept != Kept::inState) {
            fs::remove_all(app->stateHome());
            std::ofstream(app->stateHome()) << "not a folder";
            fs::create_directory(taken);
            ASSERT_EQ(::chown(taken.c_str(), 65534, 65534), 0);
            disk.fill();
            // Not for the test's own: it makes the speech in its TMPDIR.
            const testsupport::ScopedEnv noTemporary(
                "TMPDIR", (kept == Kept::nowhere ? app->stateHome() : temporary.path()).string());
            start();
        }
        ASSERT_TRUE(say("Please send the report to the team by Friday afternoon."))
            << app->out() << app->err();
        ASSERT_TRUE(kept == Kept::nowhere || say("The quick brown fox jumps over the lazy dog."))
            << app->out() << app->err();
        app->signal(SIGKILL);
        ASSERT_TRUE(app->wait(20s).has_value());

        const auto printed = printedFinals(app->out());
        const fs::path recovery =
            kept == Kept::inOwnFolder
                ? storage_test::uniqueFolders(temporary.path()).at(0) / places[0].filename()
                : places[0];
        const std::string said = kept == Kept::nowhere
                                     ? "held in memory only, and lost if Verbolin stops"
                                     : "kept in memory and in " + recovery.string() + "\n";
        EXPECT_EQ(occurrences(app->err(), "verbolin: what is not saved is now " + said), 1u)
            << app->err();
        if (kept == Kept::nowhere) break;  // lost with the process, as said
        const std::string text = testsupport::readFile(recovery);
        for (const auto& line : printed)
            EXPECT_EQ(occurrences(text, "\"text\":" + nlohmann::json(line).dump()), 1u)
                << line + "\n" + text;

        disk.makeRoom();
        stored.insert(stored.end(), printed.begin(), printed.end());
        for (int start = 0; start < 2; ++start)
            EXPECT_EQ(storage_test::textsIn(verbolin::TranscriptStore(app->dataFolder())),
                      sorted(stored))
                << "start " << start;
        EXPECT_FALSE(fs::exists(recovery));
        EXPECT_FALSE(fs::exists(recovery.parent_path()) && kept == Kept::inOwnFolder);
    }
}
