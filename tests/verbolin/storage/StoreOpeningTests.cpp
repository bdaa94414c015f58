// A long transcript opened in two (its newest part at once, the rest read on
// a thread of its own) must end exactly as one read whole: the same records,
// the same paragraphs, the same messages about a damaged file, and nothing
// written before the file passed its check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "StorageTestSupport.hpp"
#include "support/ChildTest.hpp"
#include "support/DictationTranscript.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/ScopedEnv.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

namespace fs = std::filesystem;

// Twenty days of dictation (about 4,500 segments in some 80 sessions).
const fs::path& dictation() {
    static TempDir folder("opening-dictation");
    static const bool written = [] {
        testsupport::writeTranscript(folder.path(), testsupport::makeDictation({.days = 20}));
        return true;
    }();
    (void)written;
    return folder.path();
}

fs::path copyOf(const fs::path& into, const std::string& name) {
    const fs::path folder = into / name;
    fs::create_directories(folder);
    fs::copy_file(dictation() / "transcript.sqlite", folder / "transcript.sqlite");
    return folder;
}

void sql(const fs::path& folder, const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder / "transcript.sqlite").c_str(), &db), SQLITE_OK);
    run(db, text);
    sqlite3_close(db);
}

// Runs what the store posts until it holds the whole transcript.
void untilWhole(TranscriptStore& store, platform::ManualMainExecutor& main) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!store.readWhole() && std::chrono::steady_clock::now() < limit) {
        if (main.runPending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(store.readWhole()) << "the earlier part never joined";
}

std::vector<std::string> texts(const std::vector<Block>& blocks) {
    std::vector<std::string> out;
    for (const Block& b : blocks) out.push_back(b.id.string() + " " + b.text());
    return out;
}

// What the storage log says meanwhile, with the store's folder named alike.
struct Said {
    std::vector<std::string> lines;
    StorageLogSink previous;
    explicit Said(const fs::path& folder) {
        previous = setStorageLogSink([this, folder = folder.string()](const std::string& line) {
            std::string text = line;
            for (size_t at; (at = text.find(folder)) != std::string::npos;)
                text.replace(at, folder.size(), "<folder>");
            lines.push_back(text);
        });
    }
    ~Said() { setStorageLogSink(previous); }
};

// While it lives and until released, every read of a database file's pages
// on a thread other than the one that made it waits, as a disk too busy to
// answer would keep it: the read of the earlier part stands still, the
// store's own thread reads on. Where that thread waits for the read
// itself, a guard lets the reads go after a minute, so that the test fails
// rather than hangs, and outwaited() says so.
class HeldReads {
  public:
    HeldReads() : owner_(std::this_thread::get_id()) {
        self_ = this;
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.zName = "held-reads";
        vfs_.xOpen = &HeldReads::open;
        sqlite3_vfs_register(&vfs_, 1);
        guard_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, std::chrono::minutes(1), [this] { return !held_; })) {
                outwaited_ = true;
                held_ = false;
                changed_.notify_all();
            }
        });
    }
    ~HeldReads() {
        release();
        guard_.join();
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
        self_ = nullptr;
    }
    HeldReads(const HeldReads&) = delete;
    HeldReads& operator=(const HeldReads&) = delete;

    void release() {
        {
            const std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool outwaited() const {
        const std::lock_guard lock(mutex_);
        return outwaited_;
    }

  private:
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        const int rc = self_->real_->xOpen(self_->real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods || !(flags & SQLITE_OPEN_MAIN_DB)) return rc;
        const std::lock_guard lock(self_->mutex_);
        if (!self_->original_) {
            self_->original_ = file->pMethods;
            self_->methods_ = *file->pMethods;
            self_->methods_.xRead = &HeldReads::read;
        }
        if (file->pMethods == self_->original_) file->pMethods = &self_->methods_;
        return rc;
    }
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        const sqlite3_io_methods* original = nullptr;
        {
            std::unique_lock lock(self_->mutex_);
            if (std::this_thread::get_id() != self_->owner_)
                self_->changed_.wait(lock, [] { return !self_->held_; });
            original = self_->original_;
        }
        return original->xRead(file, data, n, at);
    }

    static inline HeldReads* self_ = nullptr;
    const std::thread::id owner_;
    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    const sqlite3_io_methods* original_ = nullptr;
    sqlite3_io_methods methods_{};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = true;
    bool outwaited_ = false;
    std::thread guard_;
};

// A key in the newest paragraph and an utterance heard, as the window and
// the listening engine make them.
void typeAndSpeak(TranscriptStore& s) {
    const Block last = s.allBlocks()->back();
    s.replace(last, last.text() + " zebrafinch");
    Segment heard = segment(4.0e8, 4.0e8 + 2, "heard while the rest was read");
    heard.id = *platform::Uuid::parse("0E984725-C51C-4BF4-9960-E1C80E27ABA0");
    s.append(heard);
}

struct Case {
    const char* name;
    size_t newest;
    bool inTwo;  // the newest part is read at once, the rest later
    // What another program did to the file first (both copies alike).
    std::function<void(const fs::path&)> before = {};
    // What the user does before the earlier part joined (both stores alike).
    std::function<void(TranscriptStore&)> change = {};
    // Damage may also keep the newest part from being read at once.
    bool eitherWay = false;
    // The read of the rest stands still until the change is made.
    bool held = false;
    // The file fails its check: once its newest part was shown, that stays
    // shown as read, and the file is not opened.
    bool failsCheck = false;
};

// Damages a page in the first third of the file, where the earliest rows are.
void damageEarlierPages(const fs::path& folder) {
    const fs::path file = folder / "transcript.sqlite";
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = fs::file_size(file);
    for (std::uintmax_t at = size / 6; at < size / 3; at += 4096 * 7) {
        f.seekp(std::streamoff(at));
        const std::string junk(512, '\xA5');
        f.write(junk.data(), std::streamsize(junk.size()));
    }
}

std::vector<Case> readInTwoCases() {
    return {
        {"newest part, then the rest", 300, true},
        {"a part of one session", 1, true},
        {"too short to be worth two reads", 4000, false},
        {"a change before the rest is read joins it first",
         300,
         true,
         {},
         [](TranscriptStore& s) {
             Segment added = segment(4.0e8, 4.0e8 + 2, "said after a start");
             added.id = *platform::Uuid::parse("6F9619FF-8B86-4011-B42D-00C04FC964FF");
             s.append(added);
         }},
        {"an edit of the newest paragraph before the rest is read",
         300,
         true,
         {},
         [](TranscriptStore& s) { s.replace(s.allBlocks()->back(), "edited at once"); }},
        {"a session renamed before the rest is read",
         300,
         true,
         {},
         [](TranscriptStore& s) { s.rename(s.sessions.peek().back().id, "Newest"); }},
        {"a key and an utterance while the read of the rest stands still",
         300,
         true,
         {},
         typeAndSpeak,
         false,
         true},
        {"ids written in lower case among the earliest rows", 300, true,
         [](const fs::path& f) {
             sql(f,
                 "UPDATE segments SET id = lower(id) WHERE rowid IN (SELECT rowid FROM "
                 "segments ORDER BY start LIMIT 5)");
         }},
        {"a file damaged among its earliest rows",
         300,
         true,
         damageEarlierPages,
         {},
         true,
         false,
         true},
    };
}

TEST(StoreOpening, ALongTranscriptReadInTwoEndsAsOneReadWhole) {
    for (const Case& c : readInTwoCases()) {
        SCOPED_TRACE(c.name);
        TempDir root("opening");
        const fs::path twoFolder = copyOf(root.path(), "two"),
                       wholeFolder = copyOf(root.path(), "whole");
        if (c.before) {
            c.before(twoFolder);
            c.before(wholeFolder);
        }
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);

        std::vector<std::string> saidWhole, saidInTwo;
        std::vector<Segment> wholeSegments, unchanged;
        std::vector<SessionMarker> wholeSessions;
        std::vector<std::string> wholeBlocks;
        // Found through the start index.
        std::unordered_set<platform::Uuid> some;
        std::vector<size_t> wholeHeld;
        bool wholeNotSaved = false;
        {
            Said said(wholeFolder);
            TranscriptStore whole(wholeFolder);
            unchanged = whole.segments.get();
            if (c.change) c.change(whole);
            wholeSegments = whole.segments.get();
            wholeSessions = whole.sessions.get();
            wholeBlocks = texts(*whole.allBlocks());
            for (size_t i = 0; i < wholeSegments.size(); i += 97) some.insert(wholeSegments[i].id);
            wholeHeld = whole.paragraphsHolding(some);
            wholeNotSaved = whole.notSaved.get();
            saidWhole = said.lines;
        }
        std::optional<HeldReads> hold;
        if (c.held) hold.emplace();
        Said said(twoFolder);
        TranscriptStore two(twoFolder, UserCalendar(), {.main = &main, .newest = c.newest});
        if (!c.eitherWay) {
            EXPECT_EQ(!two.readWhole(), c.inTwo);
        }
        if (c.failsCheck && !two.readWhole()) {
            wholeSegments = two.segments.get();
            wholeSessions = two.sessions.get();
            wholeBlocks = texts(*two.allBlocks());
        }
        if (!two.readWhole() && !c.eitherWay) {
            // The newest part: the whole's last segments from a session's
            // start, in the whole's paragraphs, and nothing written yet.
            const auto& part = two.segments.peek();
            ASSERT_FALSE(part.empty());
            ASSERT_LT(part.size(), unchanged.size());
            EXPECT_GE(part.size(), c.newest);
            const size_t from = unchanged.size() - part.size();
            for (size_t i = 0; i < part.size(); ++i)
                ASSERT_EQ(part[i].id, unchanged[from + i].id) << i;
            if (!c.change) {
                const std::vector<std::string> blocks = texts(*two.allBlocks());
                ASSERT_LE(blocks.size(), wholeBlocks.size());
                EXPECT_TRUE(std::equal(blocks.begin(), blocks.end(),
                                       wholeBlocks.end() - std::ptrdiff_t(blocks.size())));
            }
            EXPECT_TRUE(two.db()->unchecked());
        }
        // A change waits for nothing: it is shown, and stored by the join.
        if (c.change) {
            c.change(two);
            EXPECT_EQ(two.readWhole(), !c.inTwo);
            EXPECT_FALSE(two.notSaved.peek());
        }
        if (hold) {
            EXPECT_FALSE(hold->outwaited()) << "a change waited for the read";
            hold->release();
        }
        untilWhole(two, main);
        ASSERT_EQ(two.segments.peek().size(), wholeSegments.size());
        for (size_t i = 0; i < wholeSegments.size(); ++i) {
            const Segment &a = two.segments.peek()[i], &b = wholeSegments[i];
            ASSERT_EQ(a.id, b.id) << i;
            ASSERT_EQ(a.text, b.text) << i;
            ASSERT_EQ(a.start, b.start) << i;
        }
        EXPECT_EQ(two.sessions.get(), wholeSessions);
        EXPECT_TRUE(texts(*two.allBlocks()) == wholeBlocks);
        EXPECT_EQ(two.paragraphsHolding(some), wholeHeld);
        EXPECT_EQ(two.notSaved.get(), wholeNotSaved);
        EXPECT_EQ(said.lines, saidWhole);
        if (two.db()) {
            EXPECT_FALSE(two.db()->unchecked());
        }
    }
}

TEST(StoreOpening, AStoreClosedWhileTheRestIsReadLetsItGo) {
    TempDir root("opening-closed");
    const fs::path folder = copyOf(root.path(), "two");
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    size_t rows = 0;
    {
        TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
        ASSERT_FALSE(two.readWhole());
        rows = two.segments.peek().size();
    }
    // The join posted by a read that ended after the store is a no-op.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    main.runPending();
    TranscriptStore again(folder);
    EXPECT_GT(again.segments.peek().size(), rows);
    EXPECT_FALSE(again.notSaved.get());
}

constexpr const char* kHeldFolder = "VERBOLIN_TEST_HELD_FOLDER";

// Opens the transcript of `folder` in two, holds the read of the rest, makes
// the changes and says whether one of them waited for that read.
bool changedWhileHeld(const fs::path& folder, platform::ManualMainExecutor& main,
                      const std::function<void(TranscriptStore&)>& atTheEnd) {
    HeldReads hold;
    TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
    if (two.readWhole()) return true;
    typeAndSpeak(two);
    two.rename(two.sessions.peek().back().id, "Renamed meanwhile");
    const bool waited = hold.outwaited() || two.notSaved.peek();
    hold.release();
    atTheEnd(two);
    return waited;
}

// Run alone in a child process: killed while the read stands still.
TEST(StoreOpening, DISABLED_KilledWhileTheRestIsHeld) {
    const char* folder = std::getenv(kHeldFolder);
    ASSERT_NE(folder, nullptr);
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    const bool waited = changedWhileHeld(folder, main, [](TranscriptStore&) { ::raise(SIGKILL); });
    _exit(waited ? 3 : 4);
}

// The lines of a recovery file, each parsed.
std::vector<nlohmann::json> linesOf(const fs::path& file) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(testsupport::readFile(file));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// A key, an utterance and a rename made while the earlier part of a long
// transcript is read are in the transcript after the next start, once,
// however the read ended: a quit, a kill, or a whole-file check that fails
// (a page among the earliest rows damaged). Each is kept meanwhile in the
// recovery file with what it was made from; the damaged file stays as it
// was, shown as read, until it is mended.
TEST(StoreOpening, ChangesMadeWhileTheRestIsReadAreKeptHoweverTheReadEnds) {
    enum class End { quit, kill, failedCheck };
    for (const End end : {End::quit, End::kill, End::failedCheck}) {
        SCOPED_TRACE(int(end));
        TempDir root("opening-kept"), state("opening-kept-state");
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const fs::path folder = copyOf(root.path(), "two");
        const fs::path file = folder / "transcript.sqlite";
        const std::string mended = testsupport::readFile(file);
        std::vector<Segment> expected;
        {
            TranscriptStore whole(copyOf(root.path(), "whole"));
            typeAndSpeak(whole);
            expected = whole.segments.get();
        }
        StorageLogCapture log;
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        std::string damaged;
        if (end == End::quit) {
            EXPECT_FALSE(changedWhileHeld(folder, main, [](TranscriptStore&) {}));
        } else if (end == End::kill) {
            const testsupport::ScopedEnv held(kHeldFolder, folder.string());
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0)
                testsupport::runDisabledTestInThisChild(
                    "test_verbolin_storage", "StoreOpening.DISABLED_KilledWhileTheRestIsHeld");
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        } else {
            damageEarlierPages(folder);
            damaged = testsupport::readFile(file);
            TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
            ASSERT_FALSE(two.readWhole());
            typeAndSpeak(two);
            ASSERT_FALSE(two.sessions.peek().empty()) << "what was shown is gone";
            two.rename(two.sessions.peek().back().id, "Renamed meanwhile");
            const size_t shown = two.segments.peek().size();
            untilWhole(two, main);
            // Still shown as read, with the changes; not stored.
            EXPECT_EQ(two.segments.peek().size(), shown);
            EXPECT_EQ(two.segments.peek().back().text, "heard while the rest was read");
            EXPECT_EQ(two.sessions.peek().back().name, "Renamed meanwhile");
            EXPECT_TRUE(two.notSaved.peek());
            EXPECT_EQ(occurrencesOf(log.text(), "working from memory only"), 1u) << log.text();
        }
        if (!damaged.empty()) {
            EXPECT_TRUE(testsupport::readFile(file) == damaged);
            for (const char* beside : {"-wal", "-shm", "-journal"})
                fs::remove(file.string() + beside);
            std::ofstream(file, std::ios::binary | std::ios::trunc) << mended;
        }
        // Each line says what its record stood as; only the utterance and
        // nothing else is new.
        const fs::path recovery = TranscriptStore::recoveryFiles(folder).front();
        size_t fresh = 0, lines = 0;
        for (const nlohmann::json& line : linesOf(recovery)) {
            ++lines;
            ASSERT_TRUE(line.contains("before")) << line.dump();
            fresh += line["before"].is_null();
        }
        EXPECT_GE(lines, 3u);
        EXPECT_EQ(fresh, 1u);
        for (int start = 0; start < 2; ++start) {
            SCOPED_TRACE(start);
            TranscriptStore again(folder);
            ASSERT_EQ(again.segments.peek().size(), expected.size());
            for (size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(again.segments.peek()[i].id, expected[i].id) << i;
                ASSERT_EQ(again.segments.peek()[i].text, expected[i].text) << i;
            }
            EXPECT_EQ(again.sessions.peek().back().name, "Renamed meanwhile");
            EXPECT_FALSE(again.notSaved.peek());
            EXPECT_FALSE(fs::exists(recovery));
        }
        EXPECT_EQ(log.text().find("passed over"), std::string::npos) << log.text();
        EXPECT_EQ(log.text().find("replaced what"), std::string::npos) << log.text();
    }
}

}  // namespace
