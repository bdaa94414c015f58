// A change the store accepted must survive a crash or a refused write, and a
// refused write must be reported instead of looking like success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <unordered_set>

#include "StorageTestSupport.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/ScopedEnv.hpp"
#include "support/SmallDisk.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/storage/Hashing.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/storage/TranscriptSummary.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

namespace fs = std::filesystem;

UserCalendar fixedCalendar() {
    return UserCalendar("en_GB", "Europe/London", [] { return at(kBase); });
}

std::vector<std::string> sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

std::vector<std::string> textsOnDisk(const std::filesystem::path& dir) {
    return column(TranscriptDB(dir / "transcript.sqlite").handle(),
                  "SELECT text FROM segments ORDER BY start");
}

}  // namespace

// A child edits a three-segment paragraph and is killed as its connection
// starts the statement a row names. The file then holds the whole old
// paragraph or the whole edit.
TEST(StoreDurability, AKillDuringAParagraphEditKeepsTheParagraphOrTheEdit) {
    const std::vector<std::string> old{"one", "two", "three"}, edited{"one two three, edited"};
    for (const char* killAt :
         {"DELETE FROM segments", "INSERT OR REPLACE INTO segments", "COMMIT", ""}) {
        SCOPED_TRACE(killAt);
        TempDir dir;
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            for (int i = 0; i < 3; ++i) store.append(segment(i, i + 1, old[size_t(i)]));
        }
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TranscriptStore store(dir.path(), fixedCalendar());
            static std::string prefix;
            prefix = killAt;
            auto killer = [](unsigned, void*, void* p, void*) {
                const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(p));
                if (!prefix.empty() && sql && std::string_view(sql).starts_with(prefix))
                    raise(SIGKILL);
                return 0;
            };
            sqlite3_trace_v2(store.db()->handle(), SQLITE_TRACE_STMT, killer, nullptr);
            store.replace(store.allBlocks()->front(), edited[0]);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status), *killAt != '\0');
        const auto texts = textsOnDisk(dir.path());
        EXPECT_TRUE(texts == (*killAt ? old : edited)) << testing::PrintToString(texts);
    }
}

// Each row changes the transcript while the write lock is held elsewhere,
// then either makes one more change or quits once the lock is gone. The
// recovery file goes only once the commit that stored what it held is
// synced. Where another program made the table of recovery marks in a shape
// that cannot take them, nothing is stored after the lock either, and the
// file stays: the next start names the table and what to do, and keeps the
// file whole where it cannot even read the marks.
TEST(StoreDurability, ChangesThatFailToWriteAreKeptReportedAndWrittenLater) {
    const std::string marksTable = "DROP TABLE recovery_marks; CREATE TABLE recovery_marks ";
    const struct {
        const char* name;
        std::function<void(TranscriptStore&)> whileLocked;
        bool quitAfter;  // else one more append
        std::vector<std::string> expected;
        std::string marks = "";  // remakes the table of marks first
        const char* nextStartSays = "";
    } rows[] = {
        {"append, then append",
         [](auto& s) { s.append(segment(100, 101, "while locked")); },
         false,
         {"one", "two", "while locked", "later"}},
        {"two appends, then quit",
         [](auto& s) {
             s.append(segment(100, 101, "first"));
             s.append(segment(200, 201, "second"));
         },
         true,
         {"one", "two", "first", "second"}},
        {"delete, then quit", [](auto& s) { s.deleteBlocks({s.allBlocks()->front()}); }, true, {}},
        {"edit, then append",
         [](auto& s) { s.replace(s.allBlocks()->front(), "one two!"); },
         false,
         {"one two!", "later"}},
        {"append, then append, the marks without their column line",
         [](auto& s) { s.append(segment(100, 101, "while locked")); },
         false,
         {"one", "two"},
         marksTable + "(file TEXT PRIMARY KEY, lines INTEGER)",
         "cannot read the table recovery_marks of "},
        {"append, then append, the marks without a key",
         [](auto& s) { s.append(segment(100, 101, "while locked")); },
         false,
         {"one", "two"},
         marksTable + "(file TEXT, line INTEGER)",
         "cannot read the table recovery_marks of "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir, state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const auto recovery = TranscriptStore::recoveryFiles(dir.path()).front();
        const WalSyncs syncs(recovery);
        const bool marksRefused = !row.marks.empty();
        if (marksRefused) {
            TranscriptDB made(dir.path() / "transcript.sqlite");
            run(made.handle(), row.marks);
        }
        StorageLogCapture log;
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            store.append(segment(0, 1, "one"));
            store.append(segment(1, 2, "two"));
            int reports = 0;
            auto token = store.notSaved.observe([&] { ++reports; });
            {
                WriteLock lock(dir.path() / "transcript.sqlite");
                row.whileLocked(store);
                EXPECT_TRUE(store.notSaved.peek());
            }
            if (!row.quitAfter) {
                store.append(segment(300, 301, "later"));
                EXPECT_EQ(store.notSaved.peek(), marksRefused);
            }
            EXPECT_EQ(reports, row.quitAfter || marksRefused ? 1 : 2);
        }
        EXPECT_EQ(fs::exists(recovery), marksRefused);
        EXPECT_FALSE(syncs.unsyncedWhenWatchedWent());
        EXPECT_EQ(textsOnDisk(dir.path()), row.expected);
        EXPECT_EQ(occurrencesOf(log.text(), "the transcript is not being saved"), 1u) << log.text();
        EXPECT_NE(
            log.text().find("); what is not saved is kept in memory and in " + recovery.string()),
            std::string::npos)
            << log.text();
        if (!marksRefused) continue;
        const std::string kept = testsupport::readFile(recovery), saidBefore = log.text();
        {
            TranscriptStore again(dir.path(), fixedCalendar());
            again.retryUnsaved();
            again.append(segment(400, 401, "said at the next start"));
        }
        const std::string said = log.text().substr(saidBefore.size());
        EXPECT_EQ(
            occurrencesOf(said, row.nextStartSays + (dir.path() / "transcript.sqlite").string()),
            1u)
            << said;
        EXPECT_EQ(occurrencesOf(said, "rename"), 1u) << said;
        EXPECT_NE(said.find("the next start makes it anew"), std::string::npos) << said;
        // No start stores the text while the table refuses the marks.
        EXPECT_EQ(said.find("at the next start that can save it"), std::string::npos) << said;
        // Nothing in the file is lost: it stays, holding at least what it held.
        EXPECT_EQ(testsupport::readFile(recovery).substr(0, kept.size()), kept);
        EXPECT_NE(kept.find("\"text\":\"later\""), std::string::npos) << kept;
    }
}

namespace {

// The transcript's files as they stand, put back as a power cut after a
// failed sync may leave them: without the commits made since.
class PowerCut {
  public:
    explicit PowerCut(fs::path file) : file_(std::move(file)) {
        for (const char* suffix : {"", "-wal"})
            if (fs::exists(file_.string() + suffix))
                kept_.emplace_back(suffix, testsupport::readFile(file_.string() + suffix));
    }
    void strike() const {
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file_.string() + suffix);
        for (const auto& [suffix, bytes] : kept_)
            std::ofstream(file_.string() + suffix, std::ios::binary) << bytes;
    }

  private:
    fs::path file_;
    std::vector<std::pair<std::string, std::string>> kept_;
};

}  // namespace

// A sync that fails at a save storing what waited in the recovery file, or at
// the start taking it in, keeps the file, and later changes to what it holds,
// until a start has synced them. A change made together with one of them
// goes there whole: a power cut that loses the commits since brings back
// neither the merged paragraph beside its segments nor a segment without
// its text. A newer version no file can take is held in memory only, and
// said so, unstored until a file read after the older one takes it.
TEST(StoreDurability, AfterAFailedSyncTheRecoveryFileStaysUntilAStartHasSyncedItsNewestText) {
    const auto edit = [](TranscriptStore& s) { s.replace(s.allBlocks()->at(1), "kept, edited"); };
    const auto remove = [](TranscriptStore& s) { s.deleteBlocks({s.allBlocks()->at(1)}); };
    const auto merge = [](TranscriptStore& s) { s.replace(s.allBlocks()->at(1), "merged"); };
    // What follows the failed sync: a power cut that loses every commit from
    // `later` on, with a text said beside the kept one (stored before the
    // lock, or after the failed sync at a start); or the kept file's disk
    // read-only from `later` on, until a retry or through quitting (the
    // file in the temporary folder, as the state folder becomes writable).
    enum class Then { nothing, powerCut, readOnly, readOnlyThroughQuit, temporaryReadOnly };
    const std::vector<std::string> edited{"one", "kept, edited", "stored later", "after"};
    const struct {
        const char* name;
        bool atStart;  // else at a save of the run that wrote the file
        std::function<void(TranscriptStore&)> later;
        std::vector<std::string> expected;
        Then then = Then::nothing;
    } rows[] = {
        {"edit after a save", false, edit, edited},
        {"deletion after a save", false, remove, {"one", "stored later", "after"}},
        {"edit after the start", true, edit, {"one", "kept, edited", "after"}},
        {"deletion after the start", true, remove, {"one", "after"}},
        {"a merge with a text stored after the start",
         true,
         merge,
         {"one", "merged"},
         Then::powerCut},
        {"a merge into a text stored before the kept one",
         false,
         merge,
         {"one", "merged", "stored later"},
         Then::powerCut},
        {"edit after a save, the file's disk read-only", false, edit, edited, Then::readOnly},
        {"deletion after the start, the file's disk read-only through quitting",
         true,
         remove,
         {"one", "kept", "after"},
         Then::readOnlyThroughQuit},
        {"edit after a save, kept in the temporary folder", false, edit, edited,
         Then::temporaryReadOnly},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool readOnly = row.then >= Then::readOnly,
                   inTemporary = row.then == Then::temporaryReadOnly;
        std::optional<testsupport::SmallDisk> disk;
        if (readOnly) {
            disk.emplace();
            SKIP_WITHOUT_SMALL_DISK(*disk);
        }
        TempDir dir, state, aside;
        std::ofstream(aside / "a file") << "not a folder";
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME",
                                               (inTemporary ? aside / "a file/state"
                                                : readOnly  ? *disk / "state"
                                                            : state.path())
                                                   .string());
        const testsupport::ScopedEnv tmp("TMPDIR",
                                         (inTemporary ? disk->path() : aside / "a file").string());
        const auto recovery = TranscriptStore::recoveryFiles(dir.path()).at(inTemporary);
        WalSyncs syncs(recovery);
        std::optional<PowerCut> cut;
        StorageLogCapture log;
        {
            std::optional<WriteLock> lock;  // outlives the store: it quits unable to save
            std::optional<TranscriptStore> store(std::in_place, dir.path(), fixedCalendar());
            store->append(segment(0, 1, "one"));
            const bool joinedBefore = row.then == Then::powerCut && !row.atStart;
            if (joinedBefore) store->append(segment(98, 99, "joined"));
            lock.emplace(dir.path() / "transcript.sqlite");
            store->append(segment(100, 101, "kept"));
            if (row.atStart) store.reset();
            lock.reset();
            syncs.setFailing(true);
            if (row.atStart) store.emplace(dir.path(), fixedCalendar());
            if (!row.atStart) store->append(segment(200, 201, "stored later"));
            syncs.setFailing(false);
            if (row.then == Then::powerCut && row.atStart)
                store->append(segment(102, 103, "joined"));
            if (row.then == Then::powerCut) cut.emplace(dir.path() / "transcript.sqlite");
            if (inTemporary) {  // the state folder can be made now
                fs::remove(aside / "a file");
                fs::create_directory(aside / "a file");
            }
            if (readOnly) disk->setReadOnly(true);
            row.later(*store);
            if (readOnly) {
                EXPECT_TRUE(store->notSaved.peek() && store->keeping.peek().memoryOnly);
                EXPECT_NE(store->saveProblem().find(recovery.string() + " holds an older version"),
                          std::string::npos)
                    << store->saveProblem();
            }
            if (readOnly && row.then != Then::readOnlyThroughQuit) {
                disk->setReadOnly(false);
                store->retryUnsaved();
                EXPECT_FALSE(store->keeping.peek().memoryOnly);
            }
            store->append(segment(300, 301, "after"));
            EXPECT_EQ(store->notSaved.peek(), row.then == Then::readOnlyThroughQuit);
        }
        if (disk) disk->setReadOnly(false);
        if (cut) cut->strike();
        EXPECT_EQ(occurrencesOf(log.text(), "held in memory only"), readOnly ? 1u : 0u)
            << log.text();
        EXPECT_EQ(log.text().find("quitting with deletions or session changes that could not be "
                                  "saved; they are lost.") != std::string::npos,
                  row.then == Then::readOnlyThroughQuit)
            << log.text();
        EXPECT_TRUE(fs::exists(recovery));
        for (const bool failing : {true, false}) {
            syncs.setFailing(failing);
            EXPECT_EQ(textsIn(TranscriptStore(dir.path(), fixedCalendar())), sorted(row.expected));
            EXPECT_EQ(fs::exists(recovery), failing);
        }
        for (const auto& file : TranscriptStore::recoveryFiles(dir.path()))
            EXPECT_FALSE(fs::exists(file)) << file;
        EXPECT_FALSE(syncs.unsyncedWhenWatchedWent());
        EXPECT_EQ(textsOnDisk(dir.path()), row.expected);
    }
}

namespace {

// The changes the rows below make, with the segments as they were before
// the hold.
const auto typeAAA = [](TranscriptStore& s, const auto&...) {
    s.replace(s.allBlocks()->front(), "first words AAA");
};
const auto typeBBB = [](TranscriptStore& s, const auto&...) {
    s.replace(s.allBlocks()->front(), "first words BBB");
};
const auto renameTo = [](const char* name) {
    return [name](TranscriptStore& s, const auto&...) {
        s.rename(s.sessions.peek().front().id, name);
    };
};
const auto undo = [](TranscriptStore& s, const std::vector<Segment>& before) {
    s.replaceSegments({s.segments.peek().front()}, {before[0], before[1]});
};
using Change = std::function<void(TranscriptStore&, const std::vector<Segment>& before)>;
const Change deleteFirst = [](auto& s, auto&) { s.deleteBlocks({s.allBlocks()->front()}); };
const Change none = [](auto&, auto&) {};
const Change retypeX = [](auto& s, auto&) { s.replace(s.allBlocks()->front(), "first words X"); };
const Change retypeFile = [](auto& s, auto&) { s.replace(s.allBlocks()->front(), "file"); };
// Who wrote the kept file: this version, or an earlier one, which quit
// holding it, and wrote no "file" and "line" (nor, before that,
// "before"), an editor since putting a byte order mark before it.
enum class Writer { thisVersion, earlier, earlierWithoutBefore, earlierBehindABom };

// Rewrites a recovery file as an earlier version wrote its lines: without
// "file" and "line", and without "before" too where `withoutBefore`. What
// the file then holds, without the byte order mark put before it where `bom`.
std::string asAnEarlierVersionWroteIt(const fs::path& file, bool withoutBefore, bool bom) {
    std::istringstream lines(testsupport::readFile(file));
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json record = nlohmann::json::parse(line);
        for (const char* key : {"file", "line", "before"})
            if (key != std::string("before") || withoutBefore) record.erase(key);
        text += record.dump() + "\n";
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << (bom ? "\xEF\xBB\xBF" : "") << text;
    return text;
}

// Puts an earlier version's `text` back in both places a start reads for
// the store of `folder`, the state folder's copy with a line this version
// appended after it: "appended since".
void putBackAsCopies(const fs::path& folder, const std::string& text) {
    const auto places = TranscriptStore::recoveryFiles(folder);
    fs::create_directories(places[1].parent_path());
    fs::permissions(places[1].parent_path(), fs::perms::owner_all);
    nlohmann::json appended = segment(30, 31, "appended since");
    appended.update(
        {{"before", nullptr}, {"file", platform::Uuid::random().string()}, {"line", 1}});
    std::ofstream(places[0], std::ios::binary) << text << appended.dump() << "\n";
    std::ofstream(places[1], std::ios::binary) << text;
}

// What another program does to the table of marks once the kept lines
// were taken in and later changes stored; what the start after it says,
// and what the user then does as it says (SQL, or nothing).
struct MarksChange {
    const char* sql;
    const char* said;
    const char* wayOut = "";
    // The transcript at a start before `sql` as the release before this
    // one left it: marks by file alone, an earlier version's lines known
    // by the file's first line.
    bool markedByTheReleaseBefore = false;
};
const MarksChange marksRenamed{"ALTER TABLE recovery_marks RENAME TO old_marks", ""};
const MarksChange marksEmptied{"DELETE FROM recovery_marks", ""};
const MarksChange marksOfTheReleaseBeforeEmptied{"DELETE FROM recovery_marks", "", "", true};
const MarksChange marksAView{
    "ALTER TABLE recovery_marks RENAME TO old_marks; CREATE VIEW recovery_marks AS SELECT file, "
    "line FROM old_marks WHERE 0",
    "dropped the view recovery_marks"};
const MarksChange marksATrigger{
    "CREATE TRIGGER recovery_marks AFTER INSERT ON recovery_marks BEGIN DELETE FROM "
    "recovery_marks; END; ALTER TABLE recovery_marks RENAME TO old_marks",
    "dropped the trigger recovery_marks"};
const MarksChange marksAsText{"UPDATE recovery_marks SET line = line || ' lines'",
                              "rename that table, and the next start makes it anew",
                              "ALTER TABLE recovery_marks RENAME TO old_marks"};

// The identity the release before this one gave an earlier version's
// lines, as transcripts keep it: of the file's first such line and its
// number, a UUID of version 8.
platform::Uuid identityOfTheReleaseBefore(std::string_view firstLine, std::int64_t number) {
    const std::string at = std::to_string(number);
    const std::uint64_t halves[] = {
        StableHash().add(std::string_view("earlier lines")).add(firstLine).add(at).value(),
        StableHash().add(at).add(firstLine).add(std::string_view("of a recovery file")).value()};
    std::array<std::uint8_t, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(halves[i / 8] >> (8 * (i % 8)));
    bytes[6] = std::uint8_t((bytes[6] & 0x0f) | 0x80);
    bytes[8] = std::uint8_t((bytes[8] & 0x3f) | 0x80);
    return platform::Uuid(bytes);
}

// The marks of the release before for the earlier version's `text`.
std::string marksOfTheReleaseBefore(const std::string& text) {
    const auto lines = std::count(text.begin(), text.end(), '\n');
    return "DELETE FROM recovery_records; DELETE FROM recovery_marks; INSERT INTO recovery_marks "
           "VALUES ('" +
           identityOfTheReleaseBefore(text.substr(0, text.find('\n')), 1).string() + "', " +
           std::to_string(lines) + ")";
}

// How many of the lines of an earlier version's `text`, kept in a file
// that was not removed, the release before this one takes in again at a
// start on the transcript of `folder`: it reads the marks by file alone,
// and knows those lines by the identity of their file's first line, as
// taken in up to the line marked there.
std::int64_t linesTheReleaseBeforeTakesIn(const fs::path& folder, const std::string& text) {
    const std::int64_t lines = std::count(text.begin(), text.end(), '\n');
    const auto marked =
        column(TranscriptDB(folder / "transcript.sqlite").handle(),
               "SELECT line FROM recovery_marks WHERE typeof(line) = 'integer' AND file = '" +
                   identityOfTheReleaseBefore(text.substr(0, text.find('\n')), 1).string() + "'");
    return marked.empty() ? lines : std::max<std::int64_t>(0, lines - std::stoll(marked.front()));
}

// A second file an earlier version kept, that begins as the kept one
// (the same first change) and parts from it at its second line, where it
// gives the first paragraph the text "first words CCC": made from what
// the kept file leaves (at the start that takes both in), or from what a
// later edit left (at a later start).
enum class Parted { no, atFirstStart, atLaterStart, sameSecondLineAtLaterStart };

std::string partingFile(const std::string& earlierText, bool withBefore, const char* madeFrom) {
    const std::string first = earlierText.substr(0, earlierText.find('\n') + 1);
    Segment was = nlohmann::json::parse(first).get<Segment>();
    was.text = madeFrom;
    nlohmann::json parting = was;
    parting["text"] = "first words CCC";
    if (withBefore) {
        char digits[17];
        std::snprintf(digits, sizeof digits, "%016" PRIx64, TranscriptStore::revisionOf(was));
        parting["before"] = digits;
    }
    return first + parting.dump() + "\n";
}

// A file another run of an earlier version kept, that begins with an
// utterance said there and then holds the kept file's second line, at the
// same number: only the lines before it tell the two apart.
std::string sameSecondLineFile(const std::string& earlierText, bool withBefore) {
    nlohmann::json said = segment(50, 51, "said elsewhere");
    if (withBefore) said["before"] = nullptr;
    std::istringstream lines(earlierText);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    return said.dump() + "\n" + second + "\n";
}

// Appends `text` to the temporary folder's file of the store of `folder`.
void plantInTemporaryFolder(const fs::path& folder, const std::string& text) {
    const fs::path file = TranscriptStore::recoveryFiles(folder)[1];
    fs::create_directories(file.parent_path());
    fs::permissions(file.parent_path(), fs::perms::owner_all);
    std::ofstream(file, std::ios::binary | std::ios::app) << text;
}

// A line that waits there, of this version's.
void plantWaiting(const fs::path& folder) {
    nlohmann::json waiting = segment(40, 41, "waiting");
    waiting.update({{"before", nullptr}, {"file", platform::Uuid::random().string()}, {"line", 1}});
    plantInTemporaryFolder(folder, waiting.dump() + "\n");
}

// Changes the marks as another program may, with a line waiting, and
// starts once: what the start says, and what it holds where it cannot read
// them until the user does as it says. `expected` gains the waiting line.
void changeMarks(const MarksChange& change, const fs::path& folder, const StorageLogCapture& log,
                 std::vector<std::string>& expected, const std::string& earlierText) {
    if (change.markedByTheReleaseBefore) {
        run(TranscriptDB(folder / "transcript.sqlite").handle(),
            marksOfTheReleaseBefore(earlierText));
        EXPECT_EQ(textsIn(TranscriptStore(folder, fixedCalendar())), sorted(expected));
    }
    run(TranscriptDB(folder / "transcript.sqlite").handle(), change.sql);
    plantWaiting(folder);
    const size_t saidBefore = log.text().size();
    const bool held = *change.wayOut;
    if (!held) expected.push_back("waiting");
    EXPECT_EQ(textsIn(TranscriptStore(folder, fixedCalendar())), sorted(expected));
    const std::string said = log.text().substr(saidBefore);
    if (*change.said) {
        EXPECT_EQ(occurrencesOf(said, change.said), 1u) << said;
    }
    if (!held) return;
    EXPECT_TRUE(fs::exists(TranscriptStore::recoveryFiles(folder).front()));
    run(TranscriptDB(folder / "transcript.sqlite").handle(), change.wayOut);
    expected.push_back("waiting");
}

// What became of the files around the kept one before the starts of the
// test below.
enum class Then { nothing, emptied, emptiedHeldAtStart, temporaryReadOnly };

struct KeptFileRow {
    const char* name;
    Change whileHeld, later;
    std::vector<std::string> expected;
    const char* session = "named";
    Then then = Then::nothing;
    Change before = {}, atFirstStart = {};  // before the hold, at the first start
    Writer writer = Writer::thisVersion;
    const MarksChange* marks = nullptr;
    Parted parted = Parted::no;
    // The transcript is a later release's, which keeps no marks.
    bool laterRelease = false;
};

std::vector<KeptFileRow> keptFileRows() {
    const std::vector<std::string> edited{"first words BBB", "second"},
        original{"first", "words", "second"};
    return {
        // clang-format off
        {"a later edit", typeAAA, typeBBB, edited},
        {"a later deletion", typeAAA, deleteFirst, {"second"}},
        {"a later undo", typeAAA, undo, original},
        {"a later rename", renameTo("held"), renameTo("later"), original, "later"},
        {"no later change", typeAAA, none, {"first words AAA", "second"}},
        {"a later edit, the temporary folder emptied", typeAAA, typeBBB, edited, "named",
         Then::emptied},
        {"a later deletion, the temporary folder emptied", typeAAA, deleteFirst, {"second"},
         "named", Then::emptied},
        {"a later edit, emptied, a start under an exclusive lock", typeAAA, typeBBB, edited,
         "named", Then::emptiedHeldAtStart},
        {"a later deletion, emptied, a start under an exclusive lock", typeAAA, deleteFirst,
         {"second"}, "named", Then::emptiedHeldAtStart},
        {"a later undo, the temporary folder emptied", typeAAA, undo, original, "named",
         Then::emptied},
        {"an utterance said while held, deleted later, the temporary folder emptied",
         [](auto& s, auto&) { s.append(segment(20, 21, "said while held")); },
         [](auto& s, auto&) { s.deleteBlocks({s.allBlocks()->back()}); }, original, "named",
         Then::emptied},
        {"a later edit, the temporary folder read-only too", typeAAA, typeBBB, edited, "named",
         Then::temporaryReadOnly},
        {"a line passed over, its text retyped at that start", typeAAA, typeBBB,
         {"first words X", "second"}, "named", Then::nothing, retypeX, retypeX},
        {"an earlier version's line without before, a later edit", typeAAA, typeBBB, edited,
         "named", Then::nothing, {}, {}, Writer::earlierWithoutBefore},
        {"an earlier version's line without before, a later edit, the temporary folder emptied",
         typeAAA, typeBBB, edited, "named", Then::emptied, {}, {}, Writer::earlierWithoutBefore},
        {"an earlier version's line without before behind a byte order mark, a later edit",
         typeAAA, typeBBB, edited, "named", Then::nothing, {}, {}, Writer::earlierBehindABom},
        {"an earlier version's line, a later edit, the temporary folder read-only too", typeAAA,
         typeBBB, edited, "named", Then::temporaryReadOnly, {}, {}, Writer::earlier},
        {"a later undo, the marks renamed", typeAAA, undo, original, "named", Then::nothing, {},
         {}, Writer::thisVersion, &marksRenamed},
        {"a later undo, the marks emptied", typeAAA, undo, original, "named", Then::nothing, {},
         {}, Writer::thisVersion, &marksEmptied},
        {"an earlier version's line marked by its first line alone, the marks emptied since",
         typeAAA, undo, original, "named", Then::nothing, {}, {}, Writer::earlierWithoutBefore,
         &marksOfTheReleaseBeforeEmptied},
        {"an earlier version's session named \"file\" first, marked by that line alone, the "
         "marks emptied since", renameTo("file"), renameTo("later"), original, "later",
         Then::nothing, {}, {}, Writer::earlierWithoutBefore, &marksOfTheReleaseBeforeEmptied},
        {"an earlier version's paragraph typed \"file\" first, marked by that line alone, a later "
         "edit, the marks emptied since", retypeFile, typeBBB, edited, "named", Then::nothing, {},
         {}, Writer::earlierWithoutBefore, &marksOfTheReleaseBeforeEmptied},
        {"a later deletion, the marks emptied", typeAAA, deleteFirst, {"second"}, "named",
         Then::nothing, {}, {}, Writer::thisVersion, &marksEmptied},
        {"a later rename, the marks emptied", renameTo("held"), renameTo("later"), original,
         "later", Then::nothing, {}, {}, Writer::thisVersion, &marksEmptied},
        {"a later undo, a view under the marks' name", typeAAA, undo, original, "named",
         Then::nothing, {}, {}, Writer::thisVersion, &marksAView},
        {"a later undo, a trigger under the marks' name", typeAAA, undo, original, "named",
         Then::nothing, {}, {}, Writer::thisVersion, &marksATrigger},
        {"a later undo, the marks as text", typeAAA, undo, original, "named", Then::nothing, {},
         {}, Writer::thisVersion, &marksAsText},
        {"an earlier version's line without before, a later edit, the marks emptied", typeAAA,
         typeBBB, edited, "named", Then::nothing, {}, {}, Writer::earlierWithoutBefore,
         &marksEmptied},
        {"an earlier version's line without before, a second file parting from it", typeAAA,
         none, {"first words CCC", "second"}, "named", Then::nothing, {}, {},
         Writer::earlierWithoutBefore, nullptr, Parted::atFirstStart},
        {"an earlier version's line, a second file parting from it", typeAAA, none,
         {"first words CCC", "second"}, "named", Then::nothing, {}, {}, Writer::earlier, nullptr,
         Parted::atFirstStart},
        {"an earlier version's line without before, a later edit, a second file parting at a "
         "later start", typeAAA, typeBBB, edited, "named", Then::nothing, {}, {},
         Writer::earlierWithoutBefore, nullptr, Parted::atLaterStart},
        {"a later undo, a later release's transcript without marks", typeAAA, undo, original,
         "named", Then::nothing, {}, {}, Writer::thisVersion, nullptr, Parted::no, true},
        {"an earlier version's line, a later edit, a second file parting at a later start",
         typeAAA, typeBBB, edited, "named", Then::nothing, {}, {}, Writer::earlier, nullptr,
         Parted::atLaterStart},
        {"an earlier version's line, another's file with the same second line at a later start",
         typeAAA, none, {"first words AAA", "second"}, "named", Then::nothing,
         {}, {}, Writer::earlier, nullptr, Parted::sameSecondLineAtLaterStart},
        {"an earlier version's line without before, another's file with the same second line at "
         "a later start", typeAAA, none, {"first words AAA", "second"}, "named",
         Then::nothing, {}, {}, Writer::earlierWithoutBefore, nullptr,
         Parted::sameSecondLineAtLaterStart},
        // clang-format on
    };
}

}  // namespace

// A change kept in the recovery file while another program held the
// transcript is stored once it lets go, but the state folder has become
// read-only: the file can be neither removed nor emptied. The transcript
// marks its lines as taken in, so a later change goes straight to the
// transcript (also with the temporary folder read-only beside it), and no
// start takes a kept line in again: not after the temporary folder was
// emptied, not at a start under another program's exclusive lock, not when
// a later change brings back what the line was made from (an undo, the
// text retyped at a start that passed the line over), and not for an
// utterance deleted since. The same for a file an earlier version kept,
// whose lines have no identity (with or without "before"): taken in at a
// start, marked, and taken in again neither as it was, nor as copies put back
// in two places, one with a line of this version's after its lines; while
// a second file that begins alike and parts from it later is taken in from
// where it parts. What the lines did is known from the transcript whatever
// another program does to the table of marks after they were taken in
// (renamed, emptied, a view or a trigger under its name, which the start
// drops and says so, values of another type, where the start holds the
// files and says what to do, until it is done): no later change is undone,
// and a line that waited meanwhile is taken in once. So for marks the
// release before made, also of a first line that holds "file" as a value
// (a paragraph's text, a session's name). A later release's transcript
// without marks takes no kept line in.
TEST(StoreDurability, AKeptRecoveryFileNeverUndoesAChangeStoredAfterIt) {
    for (const KeptFileRow& row : keptFileRows()) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir dir, tmp;
        const bool bothOnDisk = row.then == Then::temporaryReadOnly;
        const fs::path temporary = bothOnDisk ? disk / "tmp" : tmp.path();
        fs::create_directories(temporary);
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", (disk / "state").string());
        const testsupport::ScopedEnv tmpEnv("TMPDIR", temporary.string());
        const auto recovery = TranscriptStore::recoveryFiles(dir.path()).front();
        StorageLogCapture log;
        std::string earlierText;
        {
            if (row.laterRelease)
                run(TranscriptDB(dir.path() / "transcript.sqlite").handle(),
                    "DROP TABLE recovery_marks; DROP TABLE IF EXISTS recovery_records; PRAGMA "
                    "user_version = 2");
            std::optional<TranscriptStore> store(std::in_place, dir.path(), fixedCalendar());
            store->startSession("named");
            store->append(segment(0, 1, "first"));
            store->append(segment(1, 2, "words"));
            store->append(segment(10, 11, "second"));
            const std::vector<Segment> before = store->segments.peek();
            if (row.before) row.before(*store, before);
            {
                WriteLock lock(dir.path() / "transcript.sqlite");
                row.whileHeld(*store, before);
                EXPECT_TRUE(store->notSaved.peek());
                if (row.writer != Writer::thisVersion) {
                    store.reset();
                    earlierText =
                        asAnEarlierVersionWroteIt(recovery, row.writer != Writer::earlier,
                                                  row.writer == Writer::earlierBehindABom);
                    if (row.parted == Parted::atFirstStart)
                        plantInTemporaryFolder(
                            dir.path(), partingFile(earlierText, row.writer == Writer::earlier,
                                                    "first words AAA"));
                }
            }
            disk.setReadOnly(true);
            if (store)
                store->retryUnsaved();
            else
                store.emplace(dir.path(), fixedCalendar());
            row.later(*store, before);
            EXPECT_FALSE(store->notSaved.peek());
            EXPECT_FALSE(store->keeping.peek().memoryOnly);
        }
        disk.setReadOnly(false);
        EXPECT_NE(log.text().find("cannot remove or empty " + recovery.string()), std::string::npos)
            << log.text();
        // The release before, started now, finds the kept file still there.
        if (!earlierText.empty()) {
            EXPECT_EQ(linesTheReleaseBeforeTakesIn(dir.path(), earlierText), 0);
        }
        if (row.then == Then::emptied || row.then == Then::emptiedHeldAtStart)
            for (const auto& entry : fs::directory_iterator(temporary)) fs::remove_all(entry);
        auto expected = row.expected;
        if (row.marks) changeMarks(*row.marks, dir.path(), log, expected, earlierText);
        for (int start = 0; start < 2; ++start) {
            std::optional<WriteLock> hold;
            if (start == 0 && row.then == Then::emptiedHeldAtStart)
                hold.emplace(dir.path() / "transcript.sqlite", true);
            TranscriptStore store(dir.path(), fixedCalendar());
            hold.reset();
            store.retryUnsaved();
            if (start == 0 && row.atFirstStart) row.atFirstStart(store, {});
            EXPECT_FALSE(store.notSaved.peek()) << "start " << start;
            EXPECT_EQ(textsIn(store), sorted(expected)) << "start " << start;
            ASSERT_EQ(store.sessions.peek().size(), 1u);
            EXPECT_EQ(store.sessions.peek().front().name, row.session);
        }
        if (!earlierText.empty()) {
            putBackAsCopies(dir.path(), earlierText);
            expected.push_back("appended since");
            const bool withBefore = row.writer == Writer::earlier;
            const auto places = TranscriptStore::recoveryFiles(dir.path());
            const fs::path elsewhere = temporary / ("verbolin-" + std::to_string(::getuid()) + "-" +
                                                    places[1].filename().string());
            if (row.parted == Parted::atLaterStart) {
                std::ofstream(elsewhere, std::ios::binary)
                    << partingFile(earlierText, withBefore, "first words BBB");
                std::replace(expected.begin(), expected.end(), std::string("first words BBB"),
                             std::string("first words CCC"));
            }
            if (row.parted == Parted::sameSecondLineAtLaterStart) {
                ASSERT_GE(std::count(earlierText.begin(), earlierText.end(), '\n'), 2);
                std::ofstream(elsewhere, std::ios::binary)
                    << sameSecondLineFile(earlierText, withBefore);
                expected.push_back("said elsewhere");
            }
            EXPECT_EQ(textsIn(TranscriptStore(dir.path(), fixedCalendar())), sorted(expected));
        }
        // What the transcript took in is marked there, not passed over again;
        // a later release's transcript cannot mark it, and no start takes it in.
        EXPECT_EQ(log.text().find("passed over"), std::string::npos) << log.text();
        for (const auto& file : TranscriptStore::recoveryFiles(dir.path()))
            EXPECT_EQ(fs::exists(file), row.laterRelease && file == recovery) << file;
        EXPECT_EQ(
            log.text().find("the transcript marks what it holds as taken in") == std::string::npos,
            row.laterRelease)
            << log.text();
        EXPECT_EQ(log.text().find("was made by a later release") != std::string::npos,
                  row.laterRelease)
            << log.text();
        EXPECT_EQ(sorted(textsOnDisk(dir.path())), sorted(expected));
    }
}

namespace {

// Replaces the file with one made by `sql`, as another program (or a hand)
// may have left it.
void remake(const std::filesystem::path& file, const std::string& sql) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    run(raw, sql);
    sqlite3_close(raw);
}

}  // namespace

// Damage that SQLite's quick check finds (a page that nothing uses, an index
// root page with a broken header), and files whose tables under our names
// have another shape: each is said to be damaged, left byte for byte as it
// was, and what is said meanwhile waits in the recovery file.
TEST(StoreDurability, ADamagedDatabaseIsReportedAndLeftUntouched) {
    const std::string columnsButOriginal =
        "CREATE TABLE segments (id TEXT PRIMARY KEY, start REAL NOT NULL, end REAL NOT NULL, "
        "text TEXT NOT NULL, edited INTEGER NOT NULL DEFAULT 0";
    const struct {
        const char* name;
        std::function<void(std::string& bytes)> damage;  // else the file is made by `sql`
        std::string sql;
        const char* said;
        std::string alter = {};  // else run on the store's own file
    } rows[] = {
        {"a page count past the end",
         [](std::string& bytes) {
             bytes[31] = char(bytes[31] + 1);  // the page count in the header
             bytes.append(4096, '\0');
         },
         "", "is damaged"},
        {"a broken index page",
         [](std::string& bytes) { bytes[2 * 4096 + 3] = bytes[2 * 4096 + 4] = char(0xff); }, "",
         "is damaged"},
        {"segments without the column original", nullptr,
         columnsButOriginal +
             ");INSERT INTO segments VALUES ('6F9619FF-8B86-4011-B42D-00C04FC964FF', 1, 2, 'old', "
             "0); PRAGMA user_version = 1;",
         "the table segments has no column original"},
        {"the full-text index as a plain table", nullptr,
         columnsButOriginal + ", original TEXT); CREATE TABLE segments_fts (text);"
                              "INSERT INTO segments_fts VALUES ('old');",
         "segments_fts is not a full-text index"},
        {"segments renamed by another program", nullptr, "", "it has no table segments",
         "ALTER TABLE segments RENAME TO kept"},
        {"sessions dropped by another program", nullptr, "", "it has no table sessions",
         "DROP TABLE sessions"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const auto file = dir.path() / "transcript.sqlite";
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            for (int k = 0; k < 200; ++k)
                store.append(segment(k, k + 1, "words " + std::to_string(k)));
        }
        if (!row.alter.empty()) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
            run(db, row.alter);
            sqlite3_close(db);
        } else if (row.damage) {
            std::string bytes = testsupport::readFile(file);
            row.damage(bytes);
            std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        } else {
            remake(file, row.sql);
        }
        const std::string bytes = testsupport::readFile(file);
        std::string said;
        auto old = setStorageLogSink([&](const std::string& line) { said += line + "\n"; });
        TempDir state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            EXPECT_EQ(store.db(), nullptr);
            EXPECT_TRUE(store.notSaved.peek());
            EXPECT_NE(store.saveProblem().find(row.said), std::string::npos) << store.saveProblem();
            store.append(segment(500, 501, "kept in memory"));
            store.retryUnsaved();
        }
        setStorageLogSink(old);
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        EXPECT_NE(said.find("left as it is, and what is said is kept in memory and in a "
                            "recovery file"),
                  std::string::npos)
            << said;
        EXPECT_TRUE(testsupport::readFile(file) == bytes);
        EXPECT_FALSE(std::filesystem::exists(file.string() + "-wal"));
        // What was said with the file damaged waits, outside it, for a start
        // that can write it: once, however often it was tried.
        const auto recovery = TranscriptStore::recoveryFiles(dir.path()).front();
        const std::string kept = testsupport::readFile(recovery);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 1) << kept;
        EXPECT_NE(kept.find("\"kept in memory\""), std::string::npos) << kept;
    }
}

namespace {

// Runs `sql` on a connection of its own, as the sqlite3 shell would.
void byAnotherProgram(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    run(db, sql);
    sqlite3_close(db);
}

// Every table and row of the file, as text: what another program finds there.
std::vector<std::string> contentsOf(const fs::path& file) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<std::string> out =
        column(db,
               "SELECT type || ' ' || name || ' ' || ifnull(sql, '') FROM sqlite_master "
               "ORDER BY name");
    for (const std::string& table :
         column(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, ("SELECT * FROM \"" + table + "\"").c_str(), -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            std::string row = table + ":";
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                row += std::string(" ") + (t ? reinterpret_cast<const char*>(t) : "<null>");
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(st);
    }
    std::sort(out.begin(), out.end());
    sqlite3_close(db);
    return out;
}

std::vector<std::string> textsOf(const std::vector<Segment>& segments) {
    std::vector<std::string> out;
    for (const Segment& s : segments) out.push_back(s.text);
    return out;
}

std::vector<std::string> namesOf(const std::vector<SessionMarker>& markers) {
    std::vector<std::string> out;
    for (const SessionMarker& m : markers) out.push_back(m.name.value_or("-"));
    return out;
}

// Each record with all it holds, for comparing memory with a fresh read.
std::vector<std::string> described(const std::vector<Segment>& segments) {
    std::vector<std::string> out;
    for (const Segment& s : segments)
        out.push_back(s.id.string() + " " + std::to_string(platform::secondsSince1970(s.start)) +
                      " " + s.text + (s.edited ? " edited from " + s.original.value_or("") : ""));
    return out;
}

// The paragraph of the store that reads `text`.
Block paragraphReading(const TranscriptStore& store, const std::string& text) {
    for (const Block& b : *store.allBlocks())
        if (b.text() == text) return b;
    ADD_FAILURE() << "no paragraph reads " << text;
    return {};
}

void edit(TranscriptStore& store, const std::string& from, const std::string& to) {
    store.replace(paragraphReading(store, from), to);
}

const std::vector<std::string> kSix = {"s0", "s1", "s2", "s3", "s4", "s5"};

// What another program does while a store runs, and what comes of it.
struct RunningChange {
    const char* name;
    // What happens once the store holds kSix and a session "Morning":
    // `follow` is the retry timer's turn, answered in full.
    std::function<void(TranscriptStore&, const fs::path& file, const std::function<void()>& follow)>
        act;
    std::vector<std::string> texts;  // in memory, and in the file
    std::vector<std::string> sessions = {"Morning"};
    const char* damage = nullptr;  // the file is left as it is, said so
};

std::vector<RunningChange> changesOfRecords() {
    return {
        {"every segment deleted, then nothing done: the store follows; then an utterance",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             byAnotherProgram(file, "DELETE FROM segments");
             follow();
             EXPECT_TRUE(store.segments.peek().empty());
             EXPECT_TRUE(store.allBlocks()->empty());
             store.append(segment(100, 101, "said after"));
         },
         {"said after"}},
        {"some deleted, then an edit of one left: applied to what is left",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             byAnotherProgram(file, "DELETE FROM segments WHERE text IN ('s1', 's2', 's3')");
             follow();
             EXPECT_EQ(textsOf(store.segments.peek()),
                       (std::vector<std::string>{"s0", "s4", "s5"}));
             edit(store, "s4", "s4 edited");
         },
         {"s0", "s4 edited", "s5"}},
        {"one deleted and an edit of another made before the store looked: both hold",
         [](TranscriptStore& store, const fs::path& file, const auto&) {
             byAnotherProgram(file, "DELETE FROM segments WHERE text = 's1'");
             edit(store, "s3", "s3 edited");
         },
         {"s0", "s2", "s3 edited", "s4", "s5"}},
        {"one deleted and an edit of another, then the last save before the read joined: "
         "both are stored",
         [](TranscriptStore& store, const fs::path& file, const auto&) {
             byAnotherProgram(file, "DELETE FROM segments WHERE text = 's1'");
             edit(store, "s3", "s3 edited");
             store.lastSave();
         },
         {"s0", "s2", "s3 edited", "s4", "s5"}},
        {"one deleted while an edit of another waits unsaved: both hold",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             {
                 sqlite3* other = nullptr;
                 ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
                 run(other, "BEGIN IMMEDIATE; DELETE FROM segments WHERE text = 's1'");
                 edit(store, "s3", "s3 edited");
                 EXPECT_TRUE(store.notSaved.peek());
                 run(other, "COMMIT");
                 sqlite3_close(other);
             }
             follow();
             EXPECT_FALSE(store.notSaved.peek());
         },
         {"s0", "s2", "s3 edited", "s4", "s5"}},
        {"a text updated, then the paragraph edited as shown",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             byAnotherProgram(file, "UPDATE segments SET text = 'changed there' WHERE text = 's2'");
             follow();
             edit(store, "changed there", "changed there and here");
         },
         {"s0", "s1", "changed there and here", "s3", "s4", "s5"}},
        {"a segment and a session added, the session renamed elsewhere",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             byAnotherProgram(
                 file,
                 "INSERT INTO segments (id, start, end, text) SELECT "
                 "'5A0F3C1E-2B4D-4E6F-8A9B-0C1D2E3F4A5B', max(end) + 60, max(end) + 61, 'there' "
                 "FROM segments; UPDATE sessions SET name = 'Renamed there';"
                 "INSERT INTO sessions (id, start, name) VALUES "
                 "('7C2E4A6B-8D0F-4A1B-9C3D-5E7F9A1B3C5D', 1714557600 + 500, 'Later')");
             follow();
             store.append(segment(1000, 1001, "said here"));
         },
         {"s0", "s1", "s2", "s3", "s4", "s5", "there", "said here"},
         {"Renamed there", "Later"}},
        {"a segment edited here while the store holds the file unsaved, deleted there: the "
         "user's edit is the later",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             {
                 const WriteLock held(file);
                 edit(store, "s4", "s4 kept");
             }
             byAnotherProgram(file, "DELETE FROM segments WHERE text = 's4'");
             follow();
         },
         {"s0", "s1", "s2", "s3", "s4 kept", "s5"}},
        {"the table of marks emptied: writes go on",
         [](TranscriptStore& store, const fs::path& file, const auto& follow) {
             byAnotherProgram(file, "DELETE FROM recovery_marks; DELETE FROM recovery_records");
             follow();
             store.append(segment(100, 101, "said after"));
         },
         {"s0", "s1", "s2", "s3", "s4", "s5", "said after"}},
    };
}

std::vector<RunningChange> changesOfTables() {
    const auto by = [](const char* sql) {
        return [sql](TranscriptStore&, const fs::path& file, const std::function<void()>&) {
            byAnotherProgram(file, sql);
        };
    };
    return {
        {"segments renamed",
         by("ALTER TABLE segments RENAME TO kept"),
         {},
         {},
         "it has no table segments"},
        {"sessions dropped", by("DROP TABLE sessions"), {}, {}, "it has no table sessions"},
        {"segments made anew without a column",
         by("ALTER TABLE segments RENAME TO kept; CREATE TABLE segments (id TEXT PRIMARY KEY, "
            "start REAL, end REAL, text TEXT)"),
         {},
         {},
         "the table segments has no column edited"},
    };
}

// Memory, the file and a fresh start agree on `row.texts`, all stored.
void expectTakenIn(const RunningChange& row, const TranscriptStore& store) {
    EXPECT_EQ(textsOf(store.segments.peek()), row.texts);
    EXPECT_EQ(namesOf(store.sessions.peek()), row.sessions);
    EXPECT_FALSE(store.notSaved.peek()) << store.saveProblem();
    const TranscriptStore fresh(store.directory(), fixedCalendar());
    EXPECT_EQ(described(fresh.segments.peek()), described(store.segments.peek()));
    EXPECT_EQ(namesOf(fresh.sessions.peek()), row.sessions);
    EXPECT_EQ(fresh.allBlocks()->size(), store.allBlocks()->size());
    EXPECT_EQ(textsOnDisk(store.directory()), row.texts);
}

// The file left as another program left it, and what was said since kept
// outside it; memory still shows what it held.
void expectLeftAsItIs(const RunningChange& row, TranscriptStore& store) {
    store.append(segment(500, 501, "kept in memory"));
    store.retryUnsaved();
    EXPECT_EQ(store.db(), nullptr);
    EXPECT_TRUE(store.notSaved.peek());
    EXPECT_NE(store.saveProblem().find(row.damage), std::string::npos) << store.saveProblem();
    auto shown = kSix;
    shown.push_back("kept in memory");
    EXPECT_EQ(textsOf(store.segments.peek()), shown);
}

void checkRunningChange(const RunningChange& row, bool onAThread) {
    TempDir dir, state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const fs::path file = dir.path() / "transcript.sqlite";
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    StorageLogCapture log;
    std::vector<std::string> before;
    {
        TranscriptStore store(dir.path(), fixedCalendar(), {.main = onAThread ? &main : nullptr});
        for (size_t k = 0; k < kSix.size(); ++k)
            store.append(segment(10.0 * double(k), 10.0 * double(k) + 1, kSix[k]));
        store.rename(store.startSession(std::nullopt).id, "Morning");
        const auto follow = [&] {
            store.retryUnsaved();
            const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (!store.readWhole() && std::chrono::steady_clock::now() < limit)
                if (main.runPending() == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(store.readWhole());
        };
        row.act(store, file, follow);
        if (row.damage) before = contentsOf(file);
        follow();
        if (row.damage)
            expectLeftAsItIs(row, store);
        else
            expectTakenIn(row, store);
    }
    if (!row.damage) {
        for (const fs::path& kept : TranscriptStore::recoveryFiles(dir.path()))
            EXPECT_FALSE(fs::exists(kept)) << kept;
        return;
    }
    EXPECT_NE(log.text().find(row.damage), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("left as it is, and what is said is kept in memory and in a "
                              "recovery file"),
              std::string::npos)
        << log.text();
    EXPECT_NE(log.text().find("quitting with changes that could not be saved"), std::string::npos)
        << log.text();
    EXPECT_EQ(contentsOf(file), before);
    const auto kept = TranscriptStore::recoveryFiles(dir.path());
    ASSERT_FALSE(kept.empty());
    const std::string lines = testsupport::readFile(kept.front());
    EXPECT_NE(lines.find("\"kept in memory\""), std::string::npos) << lines;
}

}  // namespace

// Another program changes the transcript while the store runs (the sqlite3
// shell, a sync tool): the next write or retry takes the file as it is now,
// read whole (on a thread where the store has a loop to join on), with what
// this run has not stored laid over it. The store then holds what a fresh
// start would read, nothing the other program took away comes back, and a
// later change is made to what it left. Tables of ours renamed, dropped or
// reshaped leave the file as it is, as a start that found them would.
TEST(StoreDurability, WhatAnotherProgramChangesWhileTheStoreRunsIsTakenIn) {
    std::vector<RunningChange> rows = changesOfRecords();
    for (RunningChange& row : changesOfTables()) rows.push_back(std::move(row));
    for (const RunningChange& row : rows)
        for (const bool onAThread : {true, false}) {
            SCOPED_TRACE(std::string(row.name) +
                         (onAThread ? ", read on a thread" : ", read here"));
            checkRunningChange(row, onAThread);
        }
}

// Where no recovery file can be written either, the start says so, once.
TEST(StoreDurability, AStartWhereNoRecoveryFileCanBeWrittenSaysSoOnce) {
    TempDir dir, state;
    std::ofstream(state / "a file") << "not a folder";
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", (state / "a file/state").string());
    const testsupport::ScopedEnv tmp("TMPDIR", (state / "a file").string());
    remake(dir / "transcript.sqlite", "CREATE TABLE segments (id TEXT PRIMARY KEY)");
    StorageLogCapture log;
    TranscriptStore(dir.path(), fixedCalendar()).append(segment(100, 101, "said"));
    EXPECT_EQ(occurrencesOf(log.text(), "what is said is held in memory only"), 1u) << log.text();
    EXPECT_EQ(occurrencesOf(log.text(), "held in memory only"), 1u) << log.text();
    EXPECT_EQ(log.text().find("kept in"), std::string::npos) << log.text();
}

// A data folder that cannot be written shows its transcript, names the true
// cause, and keeps new text in the recovery file until it can be written:
// by a later start, or by a retry once the folder is writable again, also
// when a reader left its journal and index beside the file.
// Root writes anywhere but on a read-only mount: a child drops to nobody.
TEST(StoreDurability, AReadOnlyDataFolderShowsItsTranscriptAndKeepsNewText) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a disk or become another user";
    const struct {
        const char* name;
        bool mount;  // else a folder of mode 0555, opened by another user
        const char* cause;
        bool readerThenWritable = false;  // a reader's files beside it, writable while running
    } rows[] = {{"a read-only mount", true, "Read-only file system"},
                {"a folder its user may not write", false, "Permission denied"},
                {"a read-only mount beside a reader's files, writable while running", true,
                 "Read-only file system", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        if (row.mount) SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir tmp("verbolin-readonly"), state, shared;
        std::filesystem::permissions(tmp.path(), std::filesystem::perms(0755));
        std::filesystem::permissions(state.path(), std::filesystem::perms(0777));
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        // Nobody's name in the temporary folder, taken first by root: refused as root's.
        fs::permissions(shared.path(), fs::perms(01777));
        const testsupport::ScopedEnv tmpEnv("TMPDIR", shared.path().string());
        const fs::path taken = shared / "verbolin-65534";
        if (!row.mount) fs::create_directory(taken), fs::permissions(taken, fs::perms(0700));
        const auto folder = (row.mount ? disk.path() : tmp.path()) / "Verbolin";
        {
            TranscriptStore store(folder, fixedCalendar());
            store.startSession("named");
            store.append(segment(0, 1, "first paragraph"));
            store.append(segment(1, 2, "still the first"));
            store.append(segment(10, 11, "second paragraph"));
        }
        const auto setWritable = [&](bool writable) {
            if (row.mount)
                disk.setReadOnly(!writable);
            else
                std::filesystem::permissions(folder,
                                             std::filesystem::perms(writable ? 0755 : 0555));
        };
        if (row.readerThenWritable) {
            EXPECT_EQ(countWithReadOnlyReader(folder / "transcript.sqlite"), "3");
            ASSERT_TRUE(fs::exists(folder / "transcript.sqlite-shm"));
        }
        setWritable(false);
        const auto report = state / "report.txt";
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string said;
            setStorageLogSink([&](const std::string& line) { said += line + "\n"; });
            if (!row.mount && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            std::ostringstream out;
            {
                TranscriptStore store(folder, fixedCalendar());
                out << "db="
                    << (!store.db()              ? "none"
                        : store.db()->readOnly() ? "read-only"
                                                 : "open")
                    << "\nsegments=" << store.segments.peek().size()
                    << "\nparagraphs=" << store.allBlocks()->size()
                    << "\nsessions=" << store.sessions.peek().size()
                    << "\nfound=" << store.search("paragraph").size()
                    << "\nnotSaved=" << store.notSaved.peek() << "\nproblem=" << store.saveProblem()
                    << "\n";
                store.append(segment(100, 101, "said while read-only"));
                store.deleteBlocks({store.allBlocks()->at(1)});  // "second paragraph"
                // Found though the file's index has it not, or has it still.
                out << "foundNew=" << store.search("WHILE read").size()
                    << "\nfoundDeleted=" << store.search("second").size() << "\n";
                store.retryUnsaved();
                if (row.readerThenWritable) {
                    setWritable(true);
                    store.retryUnsaved();
                    out << "savedOnRetry=" << !store.notSaved.peek() << "\n";
                }
            }
            std::ofstream(report) << out.str() << said;
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        setWritable(true);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        const std::string r = testsupport::readFile(report);
        for (const char* line : {"db=read-only\n", "segments=3\n", "paragraphs=2\n", "sessions=1\n",
                                 "found=2\n", "notSaved=1\n", "foundNew=1\n", "foundDeleted=0\n"})
            EXPECT_NE(r.find(line), std::string::npos) << line << " in\n" << r;
        EXPECT_NE(
            r.find("problem=" + (folder / "transcript.sqlite").string() + ": the data folder " +
                   folder.string() + " cannot be written to (" + row.cause + ")\n"),
            std::string::npos)
            << r;
        EXPECT_EQ(r.find("No such file or directory"), std::string::npos) << r;
        const std::string refusal =
            " belongs to another user (uid 0); unsaved changes are neither "
            "read from it nor written to it. Move it away (or set TMPDIR";
        EXPECT_EQ(r.find(taken.string() + refusal) != std::string::npos, !row.mount) << r;

        // Writable again: what was said and deleted is taken in, once. The
        // child stood for this same user, so what it made is handed back:
        // a recovery file of another user's is not read.
        if (!row.mount) {
            for (const auto& made : std::filesystem::recursive_directory_iterator(state.path()))
                ASSERT_EQ(::lchown(made.path().c_str(), ::geteuid(), ::getegid()), 0);
        }
        const auto recovery = TranscriptStore::recoveryFiles(folder).front();
        EXPECT_EQ(r.find("savedOnRetry=1\n") != std::string::npos, row.readerThenWritable) << r;
        EXPECT_EQ(testsupport::readFile(recovery).find("said while read-only") != std::string::npos,
                  !row.readerThenWritable);
        for (int start = 0; start < 2; ++start) {
            TranscriptStore store(folder, fixedCalendar());
            EXPECT_EQ(store.segments.peek().size(), 3u) << "start " << start;
            EXPECT_FALSE(store.notSaved.peek());
        }
        EXPECT_FALSE(std::filesystem::exists(recovery));
        EXPECT_EQ(textsOnDisk(folder),
                  (std::vector<std::string>{"first paragraph", "still the first",
                                            "said while read-only"}));
    }
}

namespace {

constexpr uid_t kNobody = 65534;

// What stands at `path` and below it, not following links: names, owners,
// modes, link targets and bytes.
std::string snapshot(const fs::path& path) {
    std::ostringstream out;
    auto note = [&out](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) return void(out << p << " absent\n");
        out << p << " " << st.st_uid << " " << std::oct << (st.st_mode & 07777) << std::dec;
        if (S_ISLNK(st.st_mode)) out << " -> " << fs::read_symlink(p);
        if (S_ISREG(st.st_mode)) out << " " << testsupport::readFile(p);
        out << "\n";
    };
    note(path);
    if (fs::is_directory(fs::symlink_status(path)))
        for (const auto& entry : fs::recursive_directory_iterator(path)) note(entry.path());
    return out.str();
}

// A file holding `text`, or a folder when there is none.
void plant(const fs::path& path, mode_t mode, uid_t owner, const std::string* text = nullptr) {
    if (text)
        std::ofstream(path, std::ios::binary) << *text;
    else
        fs::create_directory(path);
    fs::permissions(path, fs::perms(mode));
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0);
}

// With $TMPDIR at `tmp`: the folder of the user's own there, the file in it,
// an earlier version's file beside it, the file in the state folder, and a
// folder named as a start names one of its own.
struct FallbackNames {
    fs::path folder, file, earlier, primary, unique;
};

FallbackNames fallbackNames(const fs::path& dataFolder, const fs::path& tmp) {
    const auto files = TranscriptStore::recoveryFiles(dataFolder);
    const std::string own = "verbolin-" + std::to_string(::getuid());
    return {tmp / own, files.at(1), tmp / (own + "-" + files.at(1).filename().string()),
            files.front(), tmp / (own + "-Ab3xYz")};
}

// One thing planted under one of the names, holding `line` (a folder holds
// the file): of another user's, with `mode`, or a link (or a second hard
// link) to such a thing kept elsewhere.
struct PlantedFallback {
    const char* name;
    fs::path FallbackNames::*at;
    mode_t mode;
    bool foreign = false, link = false, hardLink = false;
};

fs::path plantFallback(const PlantedFallback& row, const FallbackNames& n,
                       const fs::path& elsewhere, const std::string& line) {
    const fs::path refused = n.*row.at,
                   real = row.link || row.hardLink ? elsewhere / "target" : refused;
    const uid_t owner = row.foreign ? kNobody : ::geteuid();
    if (refused == n.file) plant(n.folder, 0700, ::geteuid());
    if (refused == n.primary) fs::create_directories(n.primary.parent_path());
    if (refused == n.folder || refused == n.unique) {
        plant(real, row.mode, owner);
        plant(real / n.file.filename(), 0600, owner, &line);
    } else {
        plant(real, row.mode, owner, &line);
    }
    if (row.link) fs::create_symlink(real, refused);
    if (row.hardLink) fs::create_hard_link(real, refused);
    return refused;
}

}  // namespace

// Another user can plant files, folders and links under the fallback's names
// in the shared temporary folder. The store takes no line from what a row
// plants and writes nothing to it, says so once, and keeps what is said in
// the state folder where it can, else in a folder of its own made with a
// unique name. The state folder's own file is held to the same checks.
TEST(StoreDurability, AFallbackThatIsNotTheUsersAloneIsNeitherReadNorWritten) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
    using N = FallbackNames;
    const PlantedFallback rows[] = {
        {"a file of another user's", &N::file, 0600, true},
        {"a file of ours that others can write", &N::file, 0666},
        {"a link to a file of ours", &N::file, 0600, false, true},
        {"a second hard link to a file of ours", &N::file, 0600, false, false, true},
        {"a folder of another user's", &N::folder, 0700, true},
        {"a folder of ours open to others", &N::folder, 0777},
        {"a folder that is a link", &N::folder, 0700, false, true},
        {"an earlier version's file of another user's", &N::earlier, 0600, true},
        {"an earlier version's file that others can write", &N::earlier, 0622},
        {"a link in the state folder", &N::primary, 0600, false, true},
        {"a file of another user's in the state folder", &N::primary, 0600, true},
        {"a unique name's folder of another user's", &N::unique, 0700, true},
    };
    const std::string line = nlohmann::json(segment(5, 6, "planted")).dump() + "\n";
    for (const auto& row : rows) {
        for (const bool stateWritable : {true, false}) {
            const bool primary = row.at == &N::primary,
                       atOwnFolder = row.at == &N::file || row.at == &N::folder;
            if (primary && !stateWritable) continue;  // no state folder to plant in
            SCOPED_TRACE(std::string(row.name) + (stateWritable ? "" : ", state not writable"));
            TempDir dir, state, tmp, elsewhere;
            fs::permissions(elsewhere.path(), fs::perms(0700));
            std::ofstream(state / "a file") << "not a folder";
            const testsupport::ScopedEnv stateHome(
                "XDG_STATE_HOME", (state / (stateWritable ? "state" : "a file/state")).string());
            const testsupport::ScopedEnv tmpEnv("TMPDIR", tmp.path().string());
            TranscriptStore(dir.path(), fixedCalendar()).append(segment(0, 1, "stored"));
            const N names = fallbackNames(dir.path(), tmp.path());
            const fs::path refused = plantFallback(row, names, elsewhere.path(), line);
            // Only a folder of our own that was not planted may change: it
            // takes what a refused file would have.
            const fs::path watched = atOwnFolder ? names.folder : refused;
            const std::string planted = snapshot(watched) + snapshot(elsewhere.path());
            StorageLogCapture log;
            {
                TranscriptStore store(dir.path(), fixedCalendar());
                {
                    WriteLock lock(dir.path() / "transcript.sqlite");
                    store.append(segment(100, 101, "said while locked"));
                    store.append(segment(200, 201, "and more"));
                    store.retryUnsaved();
                    EXPECT_TRUE(store.notSaved.peek());
                    // Where the state folder's file is refused or cannot be
                    // written, our own folder in the temporary one takes it.
                    const bool inFile = primary || (!stateWritable && !atOwnFolder),
                               inOwnFolder = !inFile && !stateWritable;
                    const auto made = uniqueFolders(tmp.path());
                    ASSERT_EQ(made.size(), inOwnFolder || row.at == &N::unique ? 1u : 0u);
                    const fs::path keptIn = inFile        ? names.file
                                            : inOwnFolder ? made[0] / names.file.filename()
                                                          : names.primary;
                    const std::string kept = testsupport::readFile(keptIn);
                    for (const char* said : {"said while locked", "and more"})
                        EXPECT_NE(kept.find(said), std::string::npos) << kept;
                    EXPECT_EQ(store.keeping.peek().file, keptIn);
                }
                store.retryUnsaved();
                EXPECT_FALSE(store.notSaved.peek());
            }
            EXPECT_EQ(uniqueFolders(tmp.path()).size(), row.at == &N::unique ? 1u : 0u);
            EXPECT_EQ(textsOnDisk(dir.path()),
                      (std::vector<std::string>{"stored", "said while locked", "and more"}));
            EXPECT_EQ(snapshot(watched) + snapshot(elsewhere.path()), planted);
            EXPECT_EQ(occurrencesOf(log.text(), "neither read from it nor written to it"), 1u)
                << log.text();
            EXPECT_NE(log.text().find(refused.string() + " "), std::string::npos) << log.text();
            EXPECT_EQ(log.text().find("planted"), std::string::npos) << log.text();
        }
    }
}

// An earlier version's fallback may be the user's only copy of what was
// said: when it is the user's alone it is taken in before the later files
// (so edits made since win), never written to, and set aside once stored.
// So is every folder of the user's own that a start made with a unique name.
TEST(StoreDurability, AnEarlierVersionsFallbackOfTheUsersOwnIsTakenInFirstAndNeverWritten) {
    TempDir dir, state, tmp;
    std::ofstream(state / "a file") << "not a folder";
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", (state / "a file/state").string());
    const testsupport::ScopedEnv tmpEnv("TMPDIR", tmp.path().string());
    Segment stored = segment(0, 1, "stored");
    TranscriptStore(dir.path(), fixedCalendar()).append(stored);
    const FallbackNames names = fallbackNames(dir.path(), tmp.path());
    const Segment earlierNew = segment(10, 11, "from the earlier version");
    stored.text = "stored, edited by the earlier version";
    stored.edited = true;
    const std::string earlierText =
        nlohmann::json(earlierNew).dump() + "\n" + nlohmann::json(stored).dump() + "\n";
    std::ofstream(names.earlier, std::ios::binary) << earlierText;
    fs::permissions(names.earlier, fs::perms(0600));
    for (const char* own : {"-start1", "-start2"}) {
        const fs::path folder = names.folder.string() + own;
        fs::create_directory(folder);
        fs::permissions(folder, fs::perms(0700));
        std::ofstream(folder / names.file.filename())
            << nlohmann::json(segment(30, 31, std::string("kept by") + own)).dump() << "\n";
    }
    StorageLogCapture log;
    {
        WriteLock lock(dir.path() / "transcript.sqlite");
        TranscriptStore store(dir.path(), fixedCalendar());
        EXPECT_EQ(textsIn(store), (std::vector<std::string>{earlierNew.text, "kept by-start1",
                                                            "kept by-start2", stored.text}));
        EXPECT_TRUE(store.notSaved.peek());
        const auto blocks = store.allBlocks();
        store.replace(*std::find_if(blocks->begin(), blocks->end(),
                                    [&](const Block& b) { return b.text() == earlierNew.text; }),
                      "edited since");
        store.append(segment(20, 21, "said since"));
    }
    EXPECT_TRUE(testsupport::readFile(names.earlier) == earlierText);
    const std::vector<std::string> expected{"edited since", "kept by-start1", "kept by-start2",
                                            "said since", stored.text};
    for (int start = 0; start < 2; ++start) {
        TranscriptStore store(dir.path(), fixedCalendar());
        EXPECT_EQ(textsIn(store), expected) << "start " << start;
        EXPECT_FALSE(store.notSaved.peek());
    }
    for (const fs::path& gone : {names.earlier, names.file, fs::path(names.earlier) += ".imported"})
        EXPECT_FALSE(fs::exists(gone)) << gone;
    EXPECT_EQ(uniqueFolders(tmp.path()), std::vector<fs::path>{});
    EXPECT_EQ(log.text().find("neither read from it nor written to it"), std::string::npos)
        << log.text();
}

// Another process reading the transcript over and over, as a backup, the
// sqlite3 shell or --status would: a start beside it never takes a busy or
// locked answer for a read-only or damaged file, and writes.
TEST(StoreDurability, StartsBesideReadersOpenTheTranscriptForWriting) {
    void (*const readers[])(const fs::path&) = {
        [](const fs::path& folder) { countWithReadOnlyReader(folder / "transcript.sqlite"); },
        [](const fs::path& folder) { TranscriptSummary::of(folder); },
    };
    constexpr int kStarts = 60;
    for (const auto& read : readers) {
        SCOPED_TRACE(&read == readers ? "a reader with mode=ro" : "status queries");
        TempDir dir, state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            for (int i = 0; i < 20; ++i) store.append(segment(i, i + 1, "before"));
        }
        const pid_t reader = ::fork();
        ASSERT_GE(reader, 0);
        if (reader == 0)
            for (;;) read(dir.path());
        StorageLogCapture log;
        for (int start = 0; start < kStarts; ++start) {
            TranscriptStore store(dir.path(), fixedCalendar());
            EXPECT_TRUE(store.db() && !store.db()->readOnly() && !store.notSaved.peek())
                << "start " << start << "\n"
                << log.text();
            store.append(segment(100 + start, 101 + start, "start"));
        }
        ::kill(reader, SIGKILL);
        ::waitpid(reader, nullptr, 0);
        EXPECT_EQ(textsOnDisk(dir.path()).size(), size_t(20 + kStarts)) << log.text();
    }
}

// Another program holds the transcript exclusively from before the start:
// the start waits for it once, no change blocks the window that long, and
// all is written once it lets go.
TEST(StoreDurability, AnExclusiveHolderStallsNeitherTheStartTwiceNorAnyChange) {
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* name;
        std::function<void(TranscriptStore&)> change;
    } rows[] = {
        {"an utterance", [](auto& s) { s.append(segment(100, 101, "said while held")); }},
        {"another utterance", [](auto& s) { s.append(segment(200, 201, "and more")); }},
        {"a retry", [](auto& s) { s.retryUnsaved(); }},
        {"a paragraph deleted", [](auto& s) { s.deleteBlocks({s.allBlocks()->back()}); }},
    };
    TempDir dir, state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    {
        TranscriptStore store(dir.path(), fixedCalendar());
        store.append(segment(0, 1, "stored before"));
    }
    StorageLogCapture log;
    std::optional<WriteLock> hold(std::in_place, dir.path() / "transcript.sqlite", true);
    const auto started = Clock::now();
    TranscriptStore store(dir.path(), fixedCalendar());
    // The bounds are the fault's own sleeps, which SQLite never cuts short:
    // the start's 3 s twice, and once for each change. The work itself has
    // seconds to spare on any machine, however loaded.
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(5800));
    EXPECT_TRUE(store.notSaved.peek());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto before = Clock::now();
        row.change(store);
        EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(2800));
        EXPECT_TRUE(store.notSaved.peek());
        EXPECT_NE(store.saveProblem().find("another program holds the transcript"),
                  std::string::npos)
            << store.saveProblem();
    }
    EXPECT_NE(log.text().find("another program holds the transcript"), std::string::npos)
        << log.text();
    EXPECT_NE(testsupport::readFile(TranscriptStore::recoveryFiles(dir.path()).front())
                  .find("said while held"),
              std::string::npos);
    hold.reset();
    store.retryUnsaved();
    EXPECT_FALSE(store.notSaved.peek());
    EXPECT_EQ(textsIn(store), (std::vector<std::string>{"said while held", "stored before"}));
    EXPECT_EQ(textsOnDisk(dir.path()),
              (std::vector<std::string>{"stored before", "said while held"}));
}

// Another program takes the file while the start reads its segments: the
// rest joins what was read at the next retry or change, each segment once.
TEST(StoreDurability, SegmentsCutShortByABusyFileAtStartAreReadAgainOnceItIsFree) {
    const struct {
        const char* name;
        std::function<void(TranscriptStore&)> next;
        size_t added;
    } rows[] = {
        {"a retry", [](auto& s) { s.retryUnsaved(); }, 0},
        {"an utterance", [](auto& s) { s.append(segment(1e6, 1e6 + 1, "said after")); }, 1},
    };
    // More than SQLite keeps in memory, so that the read needs the file.
    constexpr size_t kStored = 4000;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir, state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        {
            TranscriptStore(dir.path(), fixedCalendar());
            TranscriptDB::Changes stored;
            for (size_t i = 0; i < kStored; ++i)
                stored.segments.push_back(
                    segment(double(i), double(i) + 1, std::to_string(i) + std::string(900, 'w')));
            ASSERT_TRUE(TranscriptDB(dir.path() / "transcript.sqlite").apply(stored));
        }
        StorageLogCapture log;
        BusyReadsFrom busy("SELECT id, start, end, text");
        TranscriptStore store(dir.path(), fixedCalendar());
        busy.disarm();
        ASSERT_TRUE(busy.fired());
        ASSERT_LT(store.segments.peek().size(), kStored) << log.text();
        EXPECT_NE(log.text().find("another program holds the transcript"), std::string::npos)
            << log.text();
        store.sessionSummaries();  // the sidebar, over what the start could read
        row.next(store);
        EXPECT_FALSE(store.notSaved.peek());
        // What joined shows in the sidebar too, not only what the change named.
        const auto& all = store.segments.peek();
        EXPECT_EQ(store.sessionItems(),
                  TranscriptStore::sessionItems(all, store.sessions.peek(), store.calendar()));
        for (const auto& item : store.sessionItems()) {
            if (item.start > all.front().start) continue;
            EXPECT_EQ(store.rangeText(item), store.calendar().shortTime(all.front().start) +
                                                 " \u2013 " +
                                                 store.calendar().shortTime(all[kStored - 1].end));
        }
        std::unordered_set<platform::Uuid> ids;
        for (const Segment& s : store.segments.peek()) ids.insert(s.id);
        EXPECT_EQ(store.segments.peek().size(), kStored + row.added);
        EXPECT_EQ(ids.size(), kStored + row.added);
        EXPECT_TRUE(
            std::is_sorted(store.segments.peek().begin(), store.segments.peek().end(),
                           [](const Segment& a, const Segment& b) { return a.start < b.start; }));
    }
}

// A writer beside a reader that made the journal's index on a read-only disk
// shares its read-only view; adopted unproven when its proof of writing was
// answered busy, it is proved again, and opened anew, at the next save.
TEST(StoreDurability, AWriterAdoptedUnprovenIsProvedAtTheNextSave) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    TempDir state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const auto folder = disk / "Verbolin";
    const auto file = folder / "transcript.sqlite";
    TranscriptStore(folder, fixedCalendar()).append(segment(0, 1, "stored before"));
    ASSERT_EQ(countWithReadOnlyReader(file), "1");  // leaves the index beside the file
    disk.setReadOnly(true);
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(("file:" + file.string() + "?mode=ro").c_str(), &reader,
                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    ASSERT_EQ(column(reader, "SELECT count(*) FROM segments"), std::vector<std::string>{"1"});
    disk.setReadOnly(false);
    StorageLogCapture log;
    BusyReadsFrom busy("BEGIN IMMEDIATE");
    TranscriptStore store(folder, fixedCalendar());
    busy.disarm();
    ASSERT_TRUE(busy.fired());
    ASSERT_TRUE(store.db() && !store.db()->readOnly()) << log.text();
    sqlite3_close(reader);
    store.append(segment(10, 11, "said after the reader went"));
    EXPECT_FALSE(store.notSaved.peek()) << log.text();
    EXPECT_EQ(textsOnDisk(folder),
              (std::vector<std::string>{"stored before", "said after the reader went"}));
}
