// A long transcript opened in two (its newest part at once, the rest read on
// a thread of its own) must end exactly as one read whole: the same records,
// the same paragraphs, the same messages about a damaged file, and nothing
// written before the file passed its check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
#include "support/RecoveryLine.hpp"
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
        previous =
            setStorageLogSink([this, folder = folder.string(),
                               recovery = TranscriptStore::recoveryFiles(folder).front().string()](
                                  const std::string& line) {
                std::string text = line;
                for (const auto& [name, as] :
                     {std::pair(recovery, "<recovery>"), std::pair(folder, "<folder>")})
                    for (size_t at; (at = text.find(name)) != std::string::npos;)
                        text.replace(at, name.size(), as);
                lines.push_back(text);
            });
    }
    ~Said() { setStorageLogSink(previous); }
};

// While it lives, every read of a database file's pages, on connections
// opened meanwhile, goes through `read`, which reads through readPage().
class PageReads {
  public:
    using Read = int (*)(sqlite3_file*, void*, int, sqlite3_int64);
    explicit PageReads(const char* name, Read read) : read_(read) {
        self_ = this;
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.zName = name;
        vfs_.xOpen = &PageReads::open;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~PageReads() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
        self_ = nullptr;
    }
    PageReads(const PageReads&) = delete;
    PageReads& operator=(const PageReads&) = delete;

    static int readPage(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        const sqlite3_io_methods* original = nullptr;
        {
            const std::lock_guard lock(self_->mutex_);
            original = self_->original_;
        }
        return original->xRead(file, data, n, at);
    }

  private:
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        const int rc = self_->real_->xOpen(self_->real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods || !(flags & SQLITE_OPEN_MAIN_DB)) return rc;
        const std::lock_guard lock(self_->mutex_);
        if (!self_->original_) {
            self_->original_ = file->pMethods;
            self_->methods_ = *file->pMethods;
            self_->methods_.xRead = self_->read_;
        }
        if (file->pMethods == self_->original_) file->pMethods = &self_->methods_;
        return rc;
    }

    static inline PageReads* self_ = nullptr;
    const Read read_;
    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    std::mutex mutex_;
    const sqlite3_io_methods* original_ = nullptr;
    sqlite3_io_methods methods_{};
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
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        {
            std::unique_lock lock(self_->mutex_);
            if (std::this_thread::get_id() != self_->owner_)
                self_->changed_.wait(lock, [] { return !self_->held_; });
        }
        return PageReads::readPage(file, data, n, at);
    }

    static inline HeldReads* self_ = nullptr;
    const std::thread::id owner_;
    PageReads reads_{"held-reads", &HeldReads::read};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = true;
    bool outwaited_ = false;
    std::thread guard_;
};

// While it lives, every read of a database file's pages on a thread other
// than the one that made it takes a millisecond, as a slow disk's would,
// once that thread has made `fast` of them; those are counted.
class SlowReads {
  public:
    explicit SlowReads(int fast) : owner_(std::this_thread::get_id()), fast_(fast) { self_ = this; }
    ~SlowReads() { self_ = nullptr; }
    SlowReads(const SlowReads&) = delete;
    SlowReads& operator=(const SlowReads&) = delete;

    int reads() const { return reads_.load(); }

  private:
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        if (std::this_thread::get_id() != self_->owner_ && ++self_->reads_ > self_->fast_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return PageReads::readPage(file, data, n, at);
    }

    static inline SlowReads* self_ = nullptr;
    const std::thread::id owner_;
    const int fast_;
    std::atomic<int> reads_{0};
    PageReads pages_{"slow-reads", &SlowReads::read};
};

// Sets `quit` at the `at`-th read of a database page made on the thread
// that made it (a signal that comes while a start reads a slow disk), and
// counts that thread's reads from then on.
class QuitAtRead {
  public:
    explicit QuitAtRead(int at) : owner_(std::this_thread::get_id()), at_(at) { self_ = this; }
    ~QuitAtRead() { self_ = nullptr; }
    QuitAtRead(const QuitAtRead&) = delete;
    QuitAtRead& operator=(const QuitAtRead&) = delete;

    std::atomic<bool> quit{false};
    int readsSince() const { return since_.load(); }

  private:
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        if (std::this_thread::get_id() == self_->owner_) {
            if (self_->quit.load())
                ++self_->since_;
            else if (++self_->reads_ >= self_->at_)
                self_->quit.store(true);
        }
        return PageReads::readPage(file, data, n, at);
    }

    static inline QuitAtRead* self_ = nullptr;
    const std::thread::id owner_;
    const int at_;
    int reads_ = 0;
    std::atomic<int> since_{0};
    PageReads pages_{"quit-at-read", &QuitAtRead::read};
};

// Reads a store's thread may make at a join that takes in nothing: the
// file's first page, the schema's, never the file's length in pages.
constexpr int kAFewPages = 8;

// While it lives, counts the reads of database pages made on the thread
// that made it (the store's own), on connections opened meanwhile.
class ReadsHere {
  public:
    ReadsHere() : owner_(std::this_thread::get_id()) { self_ = this; }
    ~ReadsHere() { self_ = nullptr; }
    ReadsHere(const ReadsHere&) = delete;
    ReadsHere& operator=(const ReadsHere&) = delete;

    int reads() const { return reads_.load(); }
    // What SQLite's quick check of the file in `folder` reads, from a
    // connection of its own: every page the file uses.
    int ofACheck(const fs::path& folder) const {
        const int before = reads();
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open((folder / "transcript.sqlite").c_str(), &db), SQLITE_OK);
        column(db, "PRAGMA quick_check");
        sqlite3_close(db);
        return reads() - before;
    }

  private:
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        if (std::this_thread::get_id() == self_->owner_) ++self_->reads_;
        return PageReads::readPage(file, data, n, at);
    }

    static inline ReadsHere* self_ = nullptr;
    const std::thread::id owner_;
    std::atomic<int> reads_{0};
    PageReads pages_{"reads-here", &ReadsHere::read};
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

using testsupport::recoveryLine;

// `s` as a run that could not save it left it edited.
Segment editedLater(Segment s, const std::string& words) {
    s.original = s.text;
    s.text += words;
    s.edited = true;
    return s;
}

// An utterance a run that could not save heard after all the file holds,
// and before this run's.
Segment heardBeforeAKill() {
    Segment heard = segment(3.9e8, 3.9e8 + 2, "heard by a run that could not save");
    heard.id = *platform::Uuid::parse("2D7C9A1E-5B3F-4C8D-9E0A-1B2C3D4E5F60");
    return heard;
}

// What that run left waiting, made of the segments the file holds.
using Waiting = std::function<std::string(const std::vector<Segment>& stored)>;

// The newest paragraph's last utterance edited, then one heard.
std::string newestEditedAndOneHeard(const std::vector<Segment>& stored) {
    const Segment& newest = stored.back();
    return recoveryLine(editedLater(newest, " (kept)"), TranscriptStore::revisionOf(newest), 1) +
           recoveryLine(heardBeforeAKill(), std::nullopt, 2);
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
    // What another program does to the file while the earlier part is read
    // (to the other copy before it is read whole).
    std::function<void(const fs::path&)> during = {};
    // What the user does once the whole joined (both stores alike).
    std::function<void(TranscriptStore&)> later = {};
    // The read of the rest stands still until the change is made.
    bool held = false;
    // The file fails its check: once its newest part was shown, that stays
    // shown as read, and the file is not opened.
    bool failsCheck = false;
    // The rest cannot be taken in as read (an id to repair): the file,
    // checked by the reading thread, is read again on the store's thread
    // without a second check.
    bool readAgainHere = false;
    // What waits in the recovery file before the start, and what its
    // taking in says (as the first words of its line), if anything.
    Waiting waiting = {};
    const char* takenIn = nullptr;
};

// Inserts, after the session the newest part would start with, a segment
// that ends within a paragraph's gap of that session's first one.
void sessionStartingWithinTheGap(const fs::path& folder) {
    sql(folder,
        "CREATE TEMP TABLE boundary AS SELECT s.start AS session, (SELECT min(start) FROM "
        "segments WHERE start >= s.start) AS first FROM sessions s WHERE s.start <= (SELECT "
        "start FROM segments ORDER BY start DESC LIMIT 1 OFFSET 299) ORDER BY s.start DESC "
        "LIMIT 1;"
        "INSERT INTO segments (id, start, end, text) SELECT "
        "'0B1E5D3A-6C37-4D7B-9A51-3F1D2C4B5A69', session - 2, first - 1, 'said just before it' "
        "FROM boundary;");
}

// The newest paragraph edited once more: its text as the store shows it, and a word.
void editNewestParagraph(TranscriptStore& s) {
    const Block last = s.allBlocks()->back();
    s.replace(last, last.text() + " and so on");
}

// What the file holds, row by row.
std::vector<std::string> rows(const fs::path& folder) {
    sqlite3* db = nullptr;
    sqlite3_open_v2((folder / "transcript.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<std::string> out = column(
        db,
        "SELECT id || ' ' || start || ' ' || end || ' ' || text || ' ' || edited FROM segments "
        "ORDER BY start, id");
    for (std::string& line : column(db,
                                    "SELECT id || ' ' || start || ' ' || ifnull(name, '') "
                                    "FROM sessions ORDER BY start, id"))
        out.push_back(std::move(line));
    sqlite3_close(db);
    return out;
}

constexpr const char* kNewestRow = "(SELECT rowid FROM segments ORDER BY start DESC LIMIT 1)";
constexpr const char* kEarliestRow = "(SELECT rowid FROM segments ORDER BY start LIMIT 1)";

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

// Rows where another program changes the file while the earlier part is read.
std::vector<Case> changedDuringTheReadCases() {
    return {
        {"another program updates a newest and an earliest segment meanwhile",
         300,
         true,
         {},
         {},
         false,
         [](const fs::path& f) {
             sql(f, std::string("UPDATE segments SET text = text || ' (changed elsewhere)' WHERE "
                                "rowid IN (") +
                        kNewestRow + ", " + kEarliestRow + ")");
         },
         editNewestParagraph},
        {"another program inserts a segment in each part meanwhile",
         300,
         true,
         {},
         {},
         false,
         [](const fs::path& f) {
             sql(f,
                 "INSERT INTO segments (id, start, end, text) SELECT "
                 "'5A0F3C1E-2B4D-4E6F-8A9B-0C1D2E3F4A5B', max(end) + 1, max(end) + 2, 'said "
                 "elsewhere' FROM segments;"
                 "INSERT INTO segments (id, start, end, text) SELECT "
                 "'7C2E4A6B-8D0F-4A1B-9C3D-5E7F9A1B3C5D', min(start) - 60, min(start) - 59, "
                 "'written elsewhere' FROM segments;");
         },
         editNewestParagraph},
        {"another program deletes a segment of each part meanwhile",
         300,
         true,
         {},
         {},
         false,
         [](const fs::path& f) {
             sql(f, std::string("DELETE FROM segments WHERE rowid IN (") + kNewestRow + ", " +
                        kEarliestRow + ")");
         },
         editNewestParagraph},
        {"another program moves the newest part's first segment into the earlier part",
         300,
         true,
         {},
         {},
         false,
         [](const fs::path& f) {
             sql(f,
                 "UPDATE segments SET start = start - 4.0e7, end = end - 4.0e7 WHERE rowid = "
                 "(SELECT rowid FROM segments WHERE start >= (SELECT max(start) FROM sessions "
                 "WHERE start <= (SELECT start FROM segments ORDER BY start DESC LIMIT 1 OFFSET "
                 "299)) ORDER BY start LIMIT 1)");
         },
         editNewestParagraph},
        {"a key and an utterance while another program changes the earlier part",
         300,
         true,
         {},
         typeAndSpeak,
         false,
         [](const fs::path& f) {
             sql(f, std::string("UPDATE segments SET text = text || ' (changed elsewhere)' WHERE "
                                "rowid = ") +
                        kEarliestRow +
                        ";INSERT INTO segments (id, start, end, text) SELECT "
                        "'7C2E4A6B-8D0F-4A1B-9C3D-5E7F9A1B3C5D', min(start) - 60, min(start) - 59, "
                        "'written elsewhere' FROM segments;");
         }},
        {"another program moves an earliest segment into the newest part",
         300,
         true,
         {},
         {},
         false,
         [](const fs::path& f) {
             sql(f, std::string("UPDATE segments SET start = (SELECT max(end) FROM segments) + "
                                "1, end = (SELECT max(end) FROM segments) + 2 WHERE rowid = ") +
                        kEarliestRow);
         },
         editNewestParagraph},
    };
}

// Rows where a run that could not save left changes waiting.
std::vector<Case> waitingCases() {
    std::vector<Case> cases;
    const auto add = [&](const char* name, bool inTwo, Waiting waiting, const char* takenIn,
                         std::function<void(TranscriptStore&)> change = {}) {
        Case c{name, 300, inTwo, {}, std::move(change)};
        c.waiting = std::move(waiting);
        c.takenIn = takenIn;
        cases.push_back(std::move(c));
    };
    constexpr const char* both = "added 1 utterance and restored 1 change to an existing paragraph";
    add("a recovery file waits", true, newestEditedAndOneHeard, both);
    add(
        "a key before the join in the paragraph a waiting line changed", true,
        [](const std::vector<Segment>& stored) {
            return recoveryLine(editedLater(stored.back(), " (kept)"),
                                TranscriptStore::revisionOf(stored.back()), 1);
        },
        "restored 1 change to an existing paragraph", editNewestParagraph);
    add("a key and an utterance before the join over waiting lines", true, newestEditedAndOneHeard,
        both, typeAndSpeak);
    add("a waiting utterance edited again before the join", true, newestEditedAndOneHeard, both,
        [](TranscriptStore& s) {
            const auto& blocks = *s.allBlocks();
            s.replace(blocks.back(), "heard, then edited at once");
        });
    add(
        "a waiting line made from what the file no longer holds is passed over", true,
        [](const std::vector<Segment>& stored) {
            Segment other = stored.back();
            other.text = "what it never said";
            return recoveryLine(editedLater(stored.back(), " (stale)"),
                                TranscriptStore::revisionOf(other), 1) +
                   recoveryLine(heardBeforeAKill(), std::nullopt, 2);
        },
        "added 1 utterance");
    add(
        "a waiting line that reaches back before the newest part reads it whole", false,
        [](const std::vector<Segment>& stored) {
            return recoveryLine(editedLater(stored.front(), " (kept)"),
                                TranscriptStore::revisionOf(stored.front()), 1);
        },
        "restored 1 change to an existing paragraph");
    add(
        "a waiting utterance heard before the newest part reads it whole", false,
        [](const std::vector<Segment>& stored) {
            Segment heard = heardBeforeAKill();
            heard.start = stored.front().start - std::chrono::seconds(60);
            heard.end = stored.front().start - std::chrono::seconds(58);
            return recoveryLine(heard, std::nullopt, 1);
        },
        "added 1 utterance");
    add(
        "a waiting deletion of a record the newest part does not hold reads it whole", false,
        [](const std::vector<Segment>& stored) {
            return recoveryLine({{"deletedSegment", stored.front().id.string()}},
                                TranscriptStore::revisionOf(stored.front()), 1);
        },
        nullptr);
    add(
        "an earlier version's line, unchecked, reads it whole", false,
        [](const std::vector<Segment>& stored) {
            return nlohmann::json(editedLater(stored.back(), " (kept)")).dump() + "\n";
        },
        "restored 1 change to an existing paragraph");
    return cases;
}

std::vector<Case> openingCases() {
    std::vector<Case> cases{
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
         {},
         {},
         true},
        {"ids written in lower case among the earliest rows",
         300,
         true,
         [](const fs::path& f) {
             sql(f,
                 "UPDATE segments SET id = lower(id) WHERE rowid IN (SELECT rowid FROM "
                 "segments ORDER BY start LIMIT 5)");
         },
         {},
         false,
         {},
         {},
         false,
         false,
         true},
        {"a file damaged among its earliest rows",
         300,
         true,
         damageEarlierPages,
         {},
         true,
         {},
         {},
         false,
         true},
        {"a session that starts within a paragraph's gap is no boundary", 300, true,
         sessionStartingWithinTheGap},
    };
    for (Case& c : changedDuringTheReadCases()) cases.push_back(std::move(c));
    for (Case& c : waitingCases()) cases.push_back(std::move(c));
    return cases;
}

// What a start that reads the file whole makes of it.
struct WholeRead {
    std::vector<std::string> said;
    std::vector<Segment> segments, unchanged;  // unchanged: before the case's changes
    std::vector<SessionMarker> sessions;
    std::vector<std::string> blocks, rows;
    // Found through the start index.
    std::unordered_set<platform::Uuid> some;
    std::vector<size_t> held;
    bool notSaved = false;
    // What was said of the recovery lines taken in, and whether a recovery
    // file is left.
    std::vector<std::string> takenIn;
    bool recoveryLeft = false;
};

// What standard error says a start took in, each without the file it names.
std::vector<std::string> takenInSaid(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (const size_t at = line.find(" that an earlier run could not save"),
            from = line.find("[info] ");
            at != std::string::npos && from < at)
            out.push_back(line.substr(from + 7, at - from - 7));
    return out;
}

// Writes what the case leaves waiting in the recovery file of `folder`.
void leaveWaiting(const Case& c, const fs::path& folder) {
    if (!c.waiting) return;
    const std::vector<Segment> stored = TranscriptDB(folder / "transcript.sqlite").allSegments();
    const fs::path file = TranscriptStore::recoveryFiles(folder).front();
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << c.waiting(stored);
}

bool recoveryLeft(const fs::path& folder) {
    for (const fs::path& file : TranscriptStore::recoveryFiles(folder))
        if (fs::exists(file)) return true;
    return false;
}

WholeRead readWhole(const Case& c, const fs::path& folder) {
    WholeRead out;
    if (c.during) {
        out.unchanged = TranscriptStore(folder).segments.get();
        c.during(folder);
    }
    leaveWaiting(c, folder);
    testing::internal::CaptureStderr();  // where what was taken in is said
    {
        Said said(folder);
        TranscriptStore whole(folder);
        if (!c.during) out.unchanged = whole.segments.get();
        if (c.change) c.change(whole);
        if (c.later) c.later(whole);
        out.segments = whole.segments.get();
        out.sessions = whole.sessions.get();
        out.blocks = texts(*whole.allBlocks());
        for (size_t i = 0; i < out.segments.size(); i += 97) out.some.insert(out.segments[i].id);
        out.held = whole.paragraphsHolding(out.some);
        out.notSaved = whole.notSaved.get();
        out.said = said.lines;
    }
    out.takenIn = takenInSaid(testing::internal::GetCapturedStderr());
    out.recoveryLeft = recoveryLeft(folder);
    out.rows = rows(folder);
    return out;
}

TEST(StoreOpening, ALongTranscriptReadInTwoEndsAsOneReadWhole) {
    TempDir state("opening-state");
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    for (const Case& c : openingCases()) {
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

        WholeRead whole = readWhole(c, wholeFolder);
        if (c.takenIn) {
            EXPECT_EQ(whole.takenIn, std::vector<std::string>{c.takenIn});
        }
        leaveWaiting(c, twoFolder);
        testing::internal::CaptureStderr();
        std::optional<HeldReads> hold;
        if (c.held) hold.emplace();
        std::optional<ReadsHere> here;
        int aCheck = 0;
        if (c.readAgainHere) aCheck = here.emplace().ofACheck(twoFolder);
        Said said(twoFolder);
        // Held on the reading thread, as a slow disk would hold it.
        std::atomic<int> reads{0};
        TranscriptStore two(
            twoFolder, UserCalendar(),
            {.main = &main, .newest = c.newest, .whileReading = [&](const std::atomic<bool>&) {
                 if (reads++ == 0 && c.during) c.during(twoFolder);
             }});
        if (!c.eitherWay) {
            EXPECT_EQ(!two.readWhole(), c.inTwo);
        }
        if (c.failsCheck && !two.readWhole()) {
            whole.segments = two.segments.get();
            whole.sessions = two.sessions.get();
            whole.blocks = texts(*two.allBlocks());
        }
        if (!two.readWhole() && !c.eitherWay) {
            // The newest part: the whole's last segments from a session's
            // start, in the whole's paragraphs, and nothing written yet.
            const auto& part = two.segments.peek();
            ASSERT_FALSE(part.empty());
            ASSERT_LT(part.size(), whole.unchanged.size());
            EXPECT_GE(part.size(), c.newest);
            const size_t from = whole.unchanged.size() - part.size();
            for (size_t i = 0; i < part.size(); ++i)
                ASSERT_EQ(part[i].id, whole.unchanged[from + i].id) << i;
            if (!c.change && !c.during) {
                const std::vector<std::string> blocks = texts(*two.allBlocks());
                ASSERT_LE(blocks.size(), whole.blocks.size());
                EXPECT_TRUE(std::equal(blocks.begin(), blocks.end(),
                                       whole.blocks.end() - std::ptrdiff_t(blocks.size())));
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
        const int readHereBefore = here ? here->reads() : 0;
        untilWhole(two, main);
        // The store's thread reads what it takes in again, but does not
        // walk the whole file a second time to check it.
        if (here) {
            EXPECT_LT(here->reads() - readHereBefore, aCheck);
        }
        // Read again only where the file moved under the read: a second
        // read at every start would cost it twice.
        if (c.inTwo && !c.eitherWay) {
            EXPECT_EQ(reads.load(), c.during ? 2 : 1);
        }
        if (c.later) c.later(two);
        EXPECT_EQ(takenInSaid(testing::internal::GetCapturedStderr()), whole.takenIn);
        EXPECT_EQ(recoveryLeft(twoFolder), whole.recoveryLeft);
        ASSERT_EQ(two.segments.peek().size(), whole.segments.size());
        for (size_t i = 0; i < whole.segments.size(); ++i) {
            const Segment &a = two.segments.peek()[i], &b = whole.segments[i];
            ASSERT_EQ(a.id, b.id) << i;
            ASSERT_EQ(a.text, b.text) << i;
            ASSERT_EQ(a.start, b.start) << i;
        }
        EXPECT_EQ(two.sessions.get(), whole.sessions);
        EXPECT_TRUE(texts(*two.allBlocks()) == whole.blocks);
        EXPECT_EQ(two.paragraphsHolding(whole.some), whole.held);
        EXPECT_EQ(two.notSaved.get(), whole.notSaved);
        EXPECT_EQ(said.lines, whole.said);
        if (two.db()) {
            EXPECT_FALSE(two.db()->unchecked());
        }
        // What a later change stored keeps what the other program did.
        if (c.later) {
            EXPECT_TRUE(rows(twoFolder) == whole.rows);
        }
    }
}

// Leaves changes of a run that could not save waiting in the folder's
// recovery file.
void leaveChanges(bool waiting, const fs::path& folder) {
    if (!waiting) return;
    Case c{"", 0, false};
    c.waiting = newestEditedAndOneHeard;
    leaveWaiting(c, folder);
}

// Once the store that found them is closed, two starts that read the file
// whole show those changes once, say so once, and let the file go.
void takenInOnce(bool waiting, const fs::path& folder) {
    if (!waiting) return;
    testing::internal::CaptureStderr();
    for (int start = 0; start < 2; ++start) {
        TranscriptStore again(folder);
        const auto& held = again.segments.peek();
        EXPECT_EQ(std::count_if(held.begin(), held.end(),
                                [](const Segment& s) { return s.id == heardBeforeAKill().id; }),
                  1);
        EXPECT_TRUE(held.back().text.ends_with(" (kept)") ||
                    held[held.size() - 2].text.ends_with(" (kept)"));
        EXPECT_FALSE(again.notSaved.get());
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrencesOf(said, "restored 1 change to an existing paragraph"), 1u) << said;
    EXPECT_FALSE(recoveryLeft(folder));
}

TEST(StoreOpening, AStoreClosedWhileTheRestIsReadLetsItGo) {
    const struct {
        const char* name;
        bool moved;  // another program changed the file first: the whole is read again
        // Closed while the reading thread checks the file on a slow disk,
        // rather than held after the check.
        bool inTheCheck = false;
        // Asked to quit while the newest part is read, on the main thread
        // before any window: at this read of a page.
        int quitAtRead = 0;
        bool waiting = false;  // a run that could not save left changes: taken in once
    } cases[] = {
        {"while the earlier part is read", false},
        {"while the whole is read again", true},
        {"while the whole file is checked on a slow disk", false, true},
        {"asked to quit while the newest part is read", false, false, kAFewPages + 4},
        {"asked to quit as the file opens", false, false, 1},
        {"while the earlier part is read, a recovery file waiting", false, false, 0, true},
        {"asked to quit while the newest part is read, a recovery file waiting", false, false,
         kAFewPages + 4, true},
    };
    TempDir state("opening-closed-state");
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.quitAtRead) {
            // The start stops within a read or two, takes nothing in and
            // writes nothing: the next start reads the file whole.
            TempDir root("opening-quit");
            const fs::path folder = copyOf(root.path(), "two");
            const size_t stored = TranscriptStore(folder).segments.peek().size();
            leaveChanges(c.waiting, folder);
            platform::VirtualClock clock;
            platform::ManualMainExecutor main(clock);
            {
                QuitAtRead reads(c.quitAtRead);
                TranscriptStore two(folder, UserCalendar(),
                                    {.main = &main, .newest = 300, .quit = &reads.quit});
                ASSERT_TRUE(reads.quit.load()) << "the start read less than the row asks";
                // At most the file's header and schema, read as it opens.
                EXPECT_LE(reads.readsSince(), kAFewPages);
                EXPECT_TRUE(two.segments.peek().empty());
                EXPECT_EQ(two.db(), nullptr);
                EXPECT_FALSE(two.notSaved.peek());
            }
            main.runPending();
            takenInOnce(c.waiting, folder);
            TranscriptStore again(folder);
            EXPECT_EQ(again.segments.peek().size(), stored + c.waiting);
            EXPECT_FALSE(again.notSaved.get());
            continue;
        }
        if (c.inTheCheck) {
            // The check walks every page of the file: a close that waited
            // for the walk would let it read them all.
            TempDir root("opening-closed-checking");
            const fs::path folder = copyOf(root.path(), "two");
            const int pages = int(fs::file_size(folder / "transcript.sqlite") / 4096);
            platform::VirtualClock clock;
            platform::ManualMainExecutor main(clock);
            int readsAtTheClose = 0;
            std::optional<SlowReads> slow(std::in_place, 40);
            {
                TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
                ASSERT_FALSE(two.readWhole());
                const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
                while (slow->reads() <= 40 && std::chrono::steady_clock::now() < limit)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                readsAtTheClose = slow->reads();
                ASSERT_GT(readsAtTheClose, 40) << "the check never began";
            }
            EXPECT_LT(slow->reads() - readsAtTheClose, 5) << "of " << pages << " pages";
            slow.reset();
            main.runPending();
            continue;
        }
        TempDir root("opening-closed");
        const fs::path folder = copyOf(root.path(), "two");
        leaveChanges(c.waiting, folder);
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        std::atomic<int> calls{0};
        std::atomic<bool> held{false};
        size_t rows = 0;
        std::optional<StorageLogCapture> log(std::in_place);
        {
            TranscriptStore two(
                folder, UserCalendar(),
                {.main = &main, .newest = 300, .whileReading = [&](const std::atomic<bool>& stop) {
                     if (++calls == 1 && c.moved) {
                         sql(folder, std::string("UPDATE segments SET text = text || '!' WHERE "
                                                 "rowid = ") +
                                         kNewestRow);
                         return;
                     }
                     // Held until the store closes, as a slow disk would hold it.
                     held = true;
                     while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 }});
            ASSERT_FALSE(two.readWhole());
            rows = two.segments.peek().size();
            const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (!held && std::chrono::steady_clock::now() < limit)
                if (main.runPending() == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(held) << "the read was never held";
            EXPECT_FALSE(two.readWhole());
        }
        // What an earlier run left waits as it did: nothing is said to be kept.
        EXPECT_EQ(log->text().find("quitting"), std::string::npos) << log->text();
        log.reset();
        // The join posted by a read that ended after the store is a no-op.
        main.runPending();
        takenInOnce(c.waiting, folder);
        TranscriptStore again(folder);
        EXPECT_GT(again.segments.peek().size(), rows);
        EXPECT_FALSE(again.notSaved.get());
    }
}

TEST(StoreOpening, AWriteBeforeTheCheckIsRefusedInAnyBuild) {
    TempDir root("opening-refused");
    const fs::path folder = copyOf(root.path(), "file");
    const std::vector<std::string> before = rows(folder);
    Said said(folder);
    TranscriptDB db(folder / "transcript.sqlite", TranscriptDB::Unchecked{});
    const Segment written = segment(4.0e8, 4.0e8 + 1, "written too soon");
    SessionMarker marker;
    marker.start = at(kBase + 4.0e8);
    const platform::Uuid first = *platform::Uuid::parse(
        column(db.handle(), "SELECT id FROM segments ORDER BY start LIMIT 1").at(0));
    // Past the size at which the index is rebuilt rather than kept row by
    // row: its trigger is dropped before any row is written.
    std::vector<Segment> many;
    for (int i = 0; i < 20000; ++i) many.push_back(segment(5.0e8 + i, 5.0e8 + i + 0.5, "many"));
    const struct {
        const char* name;
        std::function<bool()> write;
        bool ours = true;  // refused by the store's own check, which says why
    } writes[] = {
        {"a segment", [&] { return db.upsert(written); }},
        {"a session", [&] { return db.upsert(marker); }},
        {"an edit", [&] { return db.apply({.segments = {written}, .deletedSegments = {first}}); }},
        {"a deletion", [&] { return db.apply({.deletedSegments = {first}}); }},
        {"marks alone",
         [&] {
             return db.apply({.marks = {{platform::Uuid::random(), 3}}});
         }},
        {"a large import", [&] { return db.apply({.segments = many}); }},
        {"a statement of its own",
         [&] {
             return sqlite3_exec(db.handle(), "DELETE FROM segments", nullptr, nullptr, nullptr) ==
                    SQLITE_OK;
         },
         false},
    };
    for (const auto& w : writes) {
        SCOPED_TRACE(w.name);
        EXPECT_FALSE(w.write());
        if (w.ours) {
            EXPECT_EQ(db.lastError(), TranscriptDB::kNotYetChecked);
        }
        EXPECT_TRUE(rows(folder) == before);
    }
    // Said once, not at each refusal.
    EXPECT_EQ(said.lines, std::vector<std::string>{"not writing <folder>/transcript.sqlite: " +
                                                   std::string(TranscriptDB::kNotYetChecked)});
    // Once checked, the same write goes through.
    db.finishOpening();
    EXPECT_TRUE(db.upsert(written));
    EXPECT_FALSE(rows(folder) == before);
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
// With changes of an earlier run waiting in the recovery file too, they are
// shown with the newest part, the changes made over them, and after the
// next start each is in the transcript once, the earlier run's first.
TEST(StoreOpening, ChangesMadeWhileTheRestIsReadAreKeptHoweverTheReadEnds) {
    enum class End { quit, kill, failedCheck };
    const std::pair<bool, End> runs[] = {{false, End::quit},        {false, End::kill},
                                         {false, End::failedCheck}, {true, End::quit},
                                         {true, End::kill},         {true, End::failedCheck}};
    for (const auto& [waiting, end] : runs) {
        SCOPED_TRACE(testing::Message() << int(end) << (waiting ? " with lines waiting" : ""));
        TempDir root("opening-kept"), state("opening-kept-state");
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const fs::path folder = copyOf(root.path(), "two");
        const fs::path file = folder / "transcript.sqlite";
        const std::string mended = testsupport::readFile(file);
        Case left{"", 0, false};
        if (waiting) left.waiting = newestEditedAndOneHeard;
        std::vector<Segment> expected;
        {
            const fs::path wholeFolder = copyOf(root.path(), "whole");
            leaveWaiting(left, wholeFolder);
            leaveWaiting(left, folder);
            TranscriptStore whole(wholeFolder);
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
            const ReadsHere here;
            const int aCheck = here.ofACheck(folder);
            TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
            ASSERT_FALSE(two.readWhole());
            typeAndSpeak(two);
            ASSERT_FALSE(two.sessions.peek().empty()) << "what was shown is gone";
            two.rename(two.sessions.peek().back().id, "Renamed meanwhile");
            const size_t shown = two.segments.peek().size();
            const int readHereBefore = here.reads();
            untilWhole(two, main);
            // The reading thread's verdict stands: the store's thread does
            // not walk the damaged file again to find what it found.
            EXPECT_LE(here.reads() - readHereBefore, kAFewPages) << "a check reads " << aCheck;
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
        EXPECT_GE(lines, waiting ? 5u : 3u);
        EXPECT_EQ(fresh, waiting ? 2u : 1u);
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

// A waiting utterance taken in with the newest part, stored at the join, then
// edited while another program holds the transcript: quitting names the
// edited words, which no earlier run's file holds, as it names any other
// change left unsaved.
TEST(StoreOpening, AWaitingLineEditedAfterTheJoinIsSaidAtQuittingAsThisRunsOwn) {
    TempDir root("opening-edited-after"), state("opening-edited-after-state");
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const fs::path folder = copyOf(root.path(), "two");
    leaveChanges(true, folder);
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    Said said(folder);
    {
        std::optional<WriteLock> held;  // past the store's last save
        TranscriptStore two(folder, UserCalendar(), {.main = &main, .newest = 300});
        untilWhole(two, main);
        ASSERT_FALSE(two.hasUnsavedChanges());
        held.emplace(folder / "transcript.sqlite");
        const Block& heard = two.allBlocks()->back();
        ASSERT_EQ(heard.segments.back().id, heardBeforeAKill().id);
        two.replace(heard, "heard, then edited after the join");
        ASSERT_TRUE(two.hasUnsavedChanges());
    }
    std::string all;
    for (const std::string& line : said.lines) all += line + "\n";
    const auto quitting = all.find("quitting with changes that could not be saved");
    ASSERT_NE(quitting, std::string::npos) << all;
    EXPECT_NE(all.find("heard, then edited after the join", quitting), std::string::npos) << all;
}
