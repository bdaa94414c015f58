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
// recovery file, and the first start with room stores each one once.
TEST_F(DictationFullDisk, AKillWhileTheDiskIsFullLosesNoPrintedFinal) {
    ASSERT_TRUE(say("Please send the report to the team by Friday afternoon."))
        << app->out() << app->err();
    ASSERT_TRUE(say("The quick brown fox jumps over the lazy dog.")) << app->out() << app->err();
    app->signal(SIGKILL);
    ASSERT_TRUE(app->wait(20s).has_value());

    const auto printed = printedFinals(app->out());
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", app->stateHome().string());
    const auto recovery = verbolin::TranscriptStore::recoveryFiles(app->dataFolder()).front();
    const std::string kept = testsupport::readFile(recovery);
    for (const auto& text : printed)
        EXPECT_EQ(occurrences(kept, "\"text\":" + nlohmann::json(text).dump()), 1u) << text << "\n"
                                                                                    << kept;

    disk.makeRoom();
    for (int start = 0; start < 2; ++start) {
        verbolin::TranscriptStore store(app->dataFolder());
        std::vector<std::string> texts;
        for (const auto& s : store.segments.peek()) texts.push_back(s.text);
        EXPECT_EQ(sorted(texts), sorted(printed)) << "start " << start;
    }
    EXPECT_FALSE(fs::exists(recovery));
}
