// The transcript on a disk that fills up: nothing the user said or edited is
// lost or stored twice, the user hears why it is not saved, and what waited
// in memory lands once there is room again, in a database SQLite still
// finds sound.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "StorageTestSupport.hpp"
#include "support/ProcessMemory.hpp"
#include "support/ScopedEnv.hpp"
#include "support/SmallDisk.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

UserCalendar fixedCalendar() {
    return UserCalendar("en_GB", "Europe/London", [] { return at(kBase); });
}

std::vector<std::string> sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

// The texts on disk (sorted), after SQLite's full check of the file.
std::vector<std::string> checkedTextsOnDisk(const std::filesystem::path& dir) {
    TranscriptDB db(dir / "transcript.sqlite");
    EXPECT_EQ(column(db.handle(), "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    return sorted(column(db.handle(), "SELECT text FROM segments"));
}

std::string longText(int n) { return "utterance " + std::to_string(n) + std::string(600, 'x'); }

}  // namespace

// Each row changes the transcript while the disk is full, then room is made
// and the store either gets one more utterance or is asked to retry.
TEST(FullDiskStore, ChangesMadeOnAFullDiskAreSaidKeptAndLandOnceThereIsRoom) {
    const struct {
        const char* name;
        std::function<void(TranscriptStore&)> whileFull;
        std::vector<std::string> expected;  // besides the "after" one
    } rows[] = {
        {"utterances",
         [](auto& s) {
             for (int i = 0; i < 12; ++i)
                 s.append(segment(100 + 10 * i, 101 + 10 * i, longText(i)));
         },
         [] {
             std::vector<std::string> texts{"one", "two"};
             for (int i = 0; i < 12; ++i) texts.push_back(longText(i));
             return texts;
         }()},
        {"a paragraph deleted", [](auto& s) { s.deleteBlocks({s.allBlocks()->front()}); }, {"two"}},
        {"a paragraph edited",
         [](auto& s) { s.replace(s.allBlocks()->back(), "two, edited"); },
         {"one", "two, edited"}},
        {"a session started, then an utterance",
         [](auto& s) {
             s.startSession("full");
             s.append(segment(300, 301, longText(300)));
         },
         {"one", "two", longText(300)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir state;  // where the unsaved changes wait
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const auto folder = disk / "Verbolin";
        StorageLogCapture log;
        {
            TranscriptStore store(folder, fixedCalendar());
            store.append(segment(0, 1, "one"));
            store.append(segment(10, 11, "two"));  // a paragraph of its own
            disk.fill();
            ASSERT_TRUE(disk.isFull());
            row.whileFull(store);
            EXPECT_TRUE(store.notSaved.peek());
            EXPECT_TRUE(store.hasUnsavedChanges());
            EXPECT_NE(log.text().find("No space left on device"), std::string::npos) << log.text();
            const size_t reasons = occurrencesOf(log.text(), "No space left on device");
            store.retryUnsaved();  // still full: nothing changes
            EXPECT_TRUE(store.notSaved.peek());
            EXPECT_EQ(occurrencesOf(log.text(), "the transcript is not being saved"), 1u)
                << log.text();
            // Each change and retry fails alike: the reason is said once in
            // the line above and once for each way a write failed, not at
            // each attempt (a dozen changes here).
            EXPECT_LE(reasons, 3u) << log.text();
            EXPECT_EQ(occurrencesOf(log.text(), "No space left on device"), reasons) << log.text();

            disk.makeRoom();
            store.retryUnsaved();
            EXPECT_FALSE(store.notSaved.peek());
            EXPECT_FALSE(store.hasUnsavedChanges());
            store.append(segment(1000, 1001, "after"));
            EXPECT_FALSE(store.notSaved.peek());
        }
        auto expected = row.expected;
        expected.push_back("after");
        EXPECT_EQ(checkedTextsOnDisk(folder), sorted(expected));
        if (row.name == std::string("a session started, then an utterance")) {
            TranscriptDB db(folder / "transcript.sqlite");
            EXPECT_EQ(column(db.handle(), "SELECT name FROM sessions"),
                      std::vector<std::string>{"full"});
        }
    }
}

// The application started while the disk was already full: it says so,
// not that the file can only be read; the transcript it could not open (or
// make, on a first start) is opened once there is room, and what was said
// in the meantime is written beside what the file already held.
TEST(FullDiskStore, ATranscriptThatCouldNotBeOpenedOnAFullDiskIsOpenedOnceThereIsRoom) {
    const struct {
        const char* name;
        std::vector<std::string> before;  // stored, or said at an earlier start while full
        bool storedBefore;
        const char* said;
    } rows[] = {
        {"a transcript from yesterday",
         {"from yesterday"},
         true,
         ". It is shown as it stands; what is said is kept in memory and in a recovery file, "
         "and written to it once there is room."},
        {"no transcript yet",
         {},
         false,
         ". The transcript cannot be made yet; what is said is kept in memory and in a recovery "
         "file, and written to it once there is room."},
        {"no transcript yet, at the second start",
         {"said at the first start"},
         false,
         ". The transcript cannot be made yet; what is said is kept in memory and in a recovery "
         "file, and written to it once there is room."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const auto folder = disk / "Verbolin";
        if (!row.storedBefore) disk.fill();
        for (const std::string& text : row.before)
            TranscriptStore(folder, fixedCalendar()).append(segment(0, 1, text));
        StorageLogCapture log;
        disk.fill();
        std::vector<std::string> expected = row.before;
        {
            TranscriptStore store(folder, fixedCalendar());
            for (int i = 0; i < 30; ++i) {
                expected.push_back(longText(i));
                store.append(segment(100 + 10 * i, 101 + 10 * i, expected.back()));
            }
            EXPECT_TRUE(store.notSaved.peek());
            EXPECT_TRUE(store.hasUnsavedChanges());
            const std::string full =
                (folder / "transcript.sqlite").string() + ": the disk that holds it is full";
            EXPECT_EQ(store.saveProblem().find(full), 0u) << store.saveProblem();
            const auto at = log.text().find(full);
            ASSERT_NE(at, std::string::npos) << log.text();
            EXPECT_NE(log.text().find(row.said, at), std::string::npos) << row.said << " in\n"
                                                                        << log.text();
            for (const char* never : {"can only be read", "no such table", "cannot read"})
                EXPECT_EQ(log.text().find(never), std::string::npos) << never << log.text();

            disk.makeRoom();
            store.retryUnsaved();
            EXPECT_FALSE(store.notSaved.peek());
            EXPECT_NE(store.db(), nullptr);
            EXPECT_EQ(textsIn(store), sorted(expected));
        }
        EXPECT_EQ(checkedTextsOnDisk(folder), sorted(expected));
        EXPECT_FALSE(std::filesystem::exists(TranscriptStore::recoveryFiles(folder).front()));
    }
}

// Quitting while the disk is still full: what could not be saved is said,
// text and all, and kept in a recovery file outside the data folder: in the
// state folder, else in the temporary folder, else (another user made the
// temporary folder's name first) in a folder of its own there. The messages
// name the file written, and none when no place takes it. The next start
// that can write the transcript takes it in, once.
TEST(FullDiskStore, TextUnsavedAtQuitIsKeptAndTakenInOnceByTheNextStart) {
    enum class Kept { inState, inTemporary, inOwnFolder, nowhere };
    const struct {
        const char* name;
        Kept kept;
        bool stateOnTheFullDisk = false, temporaryTaken = false;
    } rows[] = {
        {"in the state folder", Kept::inState},
        {"in the temporary folder", Kept::inTemporary},
        // Its failed append leaves no empty file to take in.
        {"in the temporary folder, the state folder full too", Kept::inTemporary, true},
        {"in a folder of its own, another user's made first", Kept::inOwnFolder, false, true},
        {"nowhere", Kept::nowhere},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir state, temporary;
        std::ofstream(state / "a file") << "not a folder";
        const testsupport::ScopedEnv stateHome(
            "XDG_STATE_HOME", row.kept == Kept::inState ? (state / "state").string()
                              : row.stateOnTheFullDisk  ? (disk / "state").string()
                                                        : (state / "a file/state").string());
        const testsupport::ScopedEnv tmp(
            "TMPDIR", (row.kept == Kept::nowhere ? state / "a file" : temporary.path()).string());
        const auto folder = disk / "Verbolin";
        const auto places = TranscriptStore::recoveryFiles(folder);
        if (row.temporaryTaken) {
            std::filesystem::create_directory(places[1].parent_path());
            ASSERT_EQ(::chown(places[1].parent_path().c_str(), 65534, 65534), 0);
        }
        StorageLogCapture log;
        std::filesystem::path recovery;
        {
            TranscriptStore store(folder, fixedCalendar());
            store.append(segment(0, 1, "saved words"));
            disk.fill();
            store.append(segment(10, 11, "last words before quitting"));
            store.append(segment(20, 21, "and these"));
            EXPECT_TRUE(store.hasUnsavedChanges());
            EXPECT_NE(store.saveProblem().find((folder / "transcript.sqlite").string() + ": "),
                      std::string::npos)
                << store.saveProblem();
            EXPECT_NE(store.saveProblem().find("No space left on device"), std::string::npos)
                << store.saveProblem();
            recovery = row.kept == Kept::inState       ? places[0]
                       : row.kept == Kept::inTemporary ? places[1]
                       : row.kept == Kept::inOwnFolder
                           ? uniqueFolders(temporary.path()).at(0) / places[0].filename()
                           : std::filesystem::path();
            EXPECT_EQ(store.keeping.peek().file, recovery);
            EXPECT_EQ(store.keeping.peek().memoryOnly, row.kept == Kept::nowhere);
        }
        const std::string said = log.text();
        const auto quitting = said.find("quitting with changes that could not be saved");
        ASSERT_NE(quitting, std::string::npos) << said;
        EXPECT_NE(said.find(recovery.empty() ? "they are lost, with this text:"
                                             : "kept in " + recovery.string(),
                            quitting),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find("last words before quitting", quitting), std::string::npos) << said;
        EXPECT_NE(said.find("and these", quitting), std::string::npos) << said;
        EXPECT_EQ(said.find("saved words", quitting), std::string::npos) << said;
        EXPECT_EQ(occurrencesOf(said, "kept in memory and in ") +
                      occurrencesOf(said, "held in memory only"),
                  1u)
            << said;
        EXPECT_EQ(occurrencesOf(said, recovery.empty()
                                          ? "held in memory only, and lost if Verbolin stops"
                                          : "kept in memory and in " + recovery.string() + " "),
                  1u)
            << said;
        EXPECT_FALSE(std::filesystem::exists(places[0]) && recovery != places[0]);
        if (recovery.empty()) continue;
        ASSERT_TRUE(std::filesystem::exists(recovery)) << said;
        if (row.kept != Kept::inState) {  // closed to others whatever the umask
            EXPECT_EQ(std::filesystem::status(recovery.parent_path()).permissions(),
                      std::filesystem::perms::owner_all);
        }

        // Still full: the next start cannot store it and leaves it.
        { TranscriptStore stillFull(folder, fixedCalendar()); }
        EXPECT_TRUE(std::filesystem::exists(recovery));
        disk.makeRoom();
        // As a failed append of an earlier version left it: holds nothing.
        if (row.stateOnTheFullDisk) std::ofstream{places[0]};
        EXPECT_EQ(checkedTextsOnDisk(folder), std::vector<std::string>{"saved words"});
        testing::internal::CaptureStderr();  // where what was taken in is logged
        for (int start = 0; start < 2; ++start) {
            TranscriptStore store(folder, fixedCalendar());
            EXPECT_EQ(store.segments.peek().size(), 3u) << "start " << start;
        }
        const std::string started = testing::internal::GetCapturedStderr();
        EXPECT_EQ(occurrencesOf(started, "added 2 utterances"), 1u) << started;
        EXPECT_EQ(started.find("added 0"), std::string::npos) << started;
        EXPECT_FALSE(std::filesystem::exists(recovery));
        EXPECT_FALSE(std::filesystem::exists(places[0]));
        EXPECT_EQ(uniqueFolders(temporary.path()), std::vector<std::filesystem::path>{});
        EXPECT_EQ(checkedTextsOnDisk(folder),
                  sorted({"and these", "last words before quitting", "saved words"}));
    }
}

// A recovery file is read as damaged input may be: unreadable, overlong and
// torn lines are skipped (a "before" that is no revision too), a segment
// written twice counts once with its last text, and one that is already in
// the transcript takes the recovered text of an earlier version's line, which
// has no "before". A line made from what the transcript does not hold is
// passed over, and said; one made from what the lines before it leave counts.
TEST(FullDiskStore, ARecoveryFileIsReadAsUntrustedInput) {
    TempDir dir, state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const auto folder = dir / "Verbolin";
    Segment stored = segment(0, 1, "before the edit");
    {
        TranscriptStore store(folder, fixedCalendar());
        store.append(stored);
    }
    Segment edited = stored;
    edited.text = "after the edit";
    edited.edited = true;
    Segment twice = segment(10, 11, "first take");
    Segment again = twice;
    again.text = "second take";
    Segment third = again;
    third.text = "third take";
    const auto withBefore = [](nlohmann::json line, std::optional<TranscriptStore::Revision> was) {
        char digits[17] = "";
        if (was) std::snprintf(digits, sizeof digits, "%016" PRIx64, *was);
        line["before"] = was ? nlohmann::json(digits) : nlohmann::json(nullptr);
        return line.dump();
    };
    const auto recovery = TranscriptStore::recoveryFiles(folder).front();
    std::filesystem::create_directories(recovery.parent_path());
    {
        std::ofstream out(recovery, std::ios::binary);
        out << nlohmann::json(edited).dump() << "\r\n"
            << "not json\n\n"
            << "{\"id\": 12}\n"
            << nlohmann::json(twice).dump() << "\n"
            << std::string("\xff\xfe\x00garbage", 10) << "\n"
            << nlohmann::json(again).dump() << "\n"
            << withBefore(third, TranscriptStore::revisionOf(again)) << "\n"
            << withBefore(segment(30, 31, "made from a text replaced since"), 0x0123456789abcdef)
            << "\n"
            << nlohmann::json{{"deletedSegment", stored.id.string()}, {"before", "not a revision"}}
            << "\n"
            << "{\"text\": \"" << std::string(17 << 20, 'x') << "\"}\n"  // longer than any record
            << nlohmann::json(segment(20, 21, "torn")).dump().substr(0, 30);
    }
    StorageLogCapture log;
    {
        TranscriptStore store(folder, fixedCalendar());
        std::vector<std::string> texts;
        for (const auto& s : store.segments.peek()) texts.push_back(s.text);
        EXPECT_EQ(texts, (std::vector<std::string>{"after the edit", "third take"}));
    }
    for (const char* said : {"skipped 6 unreadable lines of ", "passed over 1 line of "})
        EXPECT_NE(log.text().find(said + recovery.string()), std::string::npos) << log.text();
    EXPECT_EQ(checkedTextsOnDisk(folder), sorted({"after the edit", "third take"}));
    EXPECT_FALSE(std::filesystem::exists(recovery));
}

namespace {

// A copy: the store's own paragraphs go with its next change.
Block blockWith(const TranscriptStore& store, const std::string& text) {
    for (const Block& b : *store.allBlocks())
        for (const Segment& s : b.segments)
            if (s.text == text) return b;
    throw std::runtime_error("no paragraph holds " + text);
}

}  // namespace

// A recovery file an earlier version let grow, many lines for a few ids
// (deleted, re-added, sessions renamed), opens holding the last state of each
// in memory that follows the records, not the file's 40 MB.
TEST(FullDiskStore, ALongRecoveryFileOfFewIdsOpensHoldingTheLastStateOfEach) {
    TempDir dir, state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const auto folder = dir / "Verbolin";
    const auto recovery = TranscriptStore::recoveryFiles(folder).front();
    std::filesystem::create_directories(recovery.parent_path());
    Segment kept = segment(0, 1, ""), deleted = segment(10, 11, "x"), readded = segment(20, 21, "");
    SessionMarker session{platform::Uuid::random(), at(kBase), std::string("first name")};
    constexpr int kRounds = 25000;
    {
        std::ofstream out(recovery, std::ios::binary);
        for (int i = 0; i < kRounds; ++i) {
            kept.text = "take " + std::to_string(i) + " " + std::string(400, 'k');
            readded.text = "again " + std::to_string(i);
            out << nlohmann::json(kept).dump() << "\n"
                << nlohmann::json(deleted).dump() << "\n"
                << nlohmann::json{{"deletedSegment", deleted.id.string()}}.dump() << "\n"
                << nlohmann::json{{"deletedSegment", readded.id.string()}}.dump() << "\n"
                << nlohmann::json(readded).dump() << "\n"
                << nlohmann::json{{"session", session}}.dump() << "\n";
        }
        session.name = "last name";
        out << nlohmann::json{{"session", session}}.dump() << "\n";
    }
    ASSERT_GT(std::filesystem::file_size(recovery), 10u * kRounds * 100);
    testsupport::restartPeakCount();
    const long before = testsupport::statusKiB("VmRSS:");
    {
        TranscriptStore store(folder, fixedCalendar());
        [[maybe_unused]] const long grewKiB = testsupport::statusKiB("VmHWM:") - before;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they keep freed memory
        EXPECT_LT(grewKiB, 12 * 1024) << "KiB";
#endif
        EXPECT_EQ(textsIn(store), sorted({readded.text, kept.text}));
        ASSERT_EQ(store.sessions.peek().size(), 1u);
        EXPECT_EQ(store.sessions.peek()[0].name, std::optional<std::string>("last name"));
        EXPECT_FALSE(store.notSaved.peek());
    }
    EXPECT_FALSE(std::filesystem::exists(recovery));
    EXPECT_EQ(checkedTextsOnDisk(folder).size(), 2u);
}

// Killed (kill -9) while the disk is full: each final it passed on is in the
// recovery file once, with the changes after it; starts while still full add
// nothing to the file, and the first start with room stores it all once.
TEST(FullDiskStore, AKillWhileSavingFailsLosesNothingAndStoresEachChangeOnce) {
    using Print = std::function<void(const std::string&)>;
    const auto finals = [](TranscriptStore& s, const Print& print) {
        for (int i = 0; i < 5; ++i) {
            s.append(segment(100 + 10 * i, 101 + 10 * i, longText(i)));
            print(longText(i));
        }
    };
    const std::vector<std::string> withFinals{"one",       "two",       "three",     longText(0),
                                              longText(1), longText(2), longText(3), longText(4)};
    const struct {
        const char* name;
        std::function<void(TranscriptStore&, const Print&)> whileFull;
        std::vector<std::string> expected;
        std::vector<std::string> sessionNames = {};
        bool tornBefore = false;  // an earlier run was killed halfway through a line
        // What the first start with room says, each once.
        std::vector<std::string> said = {"added 5 utterances that an earlier run could not save"};
    } rows[] = {
        {"finals", finals, withFinals},
        {"finals after a line torn by an earlier kill",
         finals,
         withFinals,
         {},
         true,
         {"skipped 1 unreadable line of ", "added 5 utterances that"}},
        {"finals and stored paragraphs edited and deleted, a session started and renamed",
         [](auto& s, const Print& print) {
             for (const char* text : {"first final", "second final", "third final"}) {
                 s.append(segment(100 * (1 + text[0] % 3), 100 * (1 + text[0] % 3) + 1, text));
                 print(text);
             }
             s.replace(blockWith(s, "first final"), "first final, edited");
             s.deleteBlocks({blockWith(s, "second final")});
             s.replace(blockWith(s, "one"), "one two, edited");
             s.deleteBlocks({blockWith(s, "three")});
             const auto marker = s.startSession("while full");
             s.append(segment(500, 501, "in the session"));
             print("in the session");
             s.rename(marker.id, "renamed");
         },
         {"first final, edited", "in the session", "one two, edited", "third final"},
         {"renamed"},
         false,
         // The edit and the deletions of stored paragraphs are no utterances.
         {"added 3 utterances, restored 3 changes to existing paragraphs and took in 1 session "
          "change that an earlier run could not save"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const auto folder = disk / "Verbolin";
        const auto recovery = TranscriptStore::recoveryFiles(folder).front();
        {
            TranscriptStore store(folder, fixedCalendar());
            store.append(segment(0, 1, "one"));
            store.append(segment(1, 2, "two"));  // the same paragraph
            store.append(segment(10, 11, "three"));
        }
        if (row.tornBefore) {
            std::filesystem::create_directories(recovery.parent_path());
            std::ofstream(recovery) << nlohmann::json(segment(50, 51, "torn")).dump().substr(0, 40);
        }
        disk.fill();
        const auto printedFile = state / "printed";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setStorageLogSink([](const std::string&) {});
            TranscriptStore store(folder, fixedCalendar());
            std::string printed;
            row.whileFull(store, [&](const std::string& text) { printed += text + "\n"; });
            std::ofstream(printedFile) << printed;
            ::kill(::getpid(), SIGKILL);  // with everything still in memory
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        const std::string printed = testsupport::readFile(printedFile);
        ASSERT_FALSE(printed.empty());

        const std::string kept = testsupport::readFile(recovery);
        std::istringstream finals(printed);
        for (std::string text; std::getline(finals, text);)
            EXPECT_EQ(occurrencesOf(kept, "\"text\":" + nlohmann::json(text).dump()), 1u)
                << text << "\n"
                << kept;
        if (row.name == std::string("finals")) {
            EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 5) << kept;
        }

        for (int start = 0; start < 3; ++start) {
            TranscriptStore stillFull(folder, fixedCalendar());
            EXPECT_EQ(textsIn(stillFull), sorted(row.expected)) << "start " << start;
            EXPECT_TRUE(stillFull.notSaved.peek());
        }
        EXPECT_TRUE(testsupport::readFile(recovery) == kept) << testsupport::readFile(recovery);

        disk.makeRoom();
        testing::internal::CaptureStderr();  // where what was taken in is logged
        for (int start = 0; start < 2; ++start) {
            TranscriptStore store(folder, fixedCalendar());
            EXPECT_EQ(textsIn(store), sorted(row.expected)) << "start " << start;
            EXPECT_FALSE(store.notSaved.peek());
        }
        const std::string started = testing::internal::GetCapturedStderr();
        for (const std::string& part : row.said)
            EXPECT_EQ(occurrencesOf(started, part), 1u) << part << " in\n" << started;
        EXPECT_EQ(started.find("unreadable lines"), std::string::npos) << started;
        EXPECT_FALSE(std::filesystem::exists(recovery));
        EXPECT_EQ(checkedTextsOnDisk(folder), sorted(row.expected));
        TranscriptDB db(folder / "transcript.sqlite");
        EXPECT_EQ(column(db.handle(), "SELECT name FROM sessions"), row.sessionNames);
    }
}

// The first start after an upgrade, on a full disk: the older version's
// transcript is read into memory but not set aside as imported until the
// database holds it.
TEST(FullDiskStore, LegacyRecordsReadOnAFullDiskAreSetAsideOnlyOnceStored) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    TempDir state;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const auto folder = disk / "Verbolin";
    std::filesystem::create_directories(folder);
    Segment old = segment(0, 1, "from the older version");
    std::ofstream(folder / "transcript.jsonl") << nlohmann::json(old).dump() << "\n";
    disk.fill();
    StorageLogCapture log;
    {
        TranscriptStore store(folder, fixedCalendar());
        ASSERT_EQ(store.segments.peek().size(), 1u);
        EXPECT_TRUE(std::filesystem::exists(folder / "transcript.jsonl"));
        EXPECT_TRUE(store.hasUnsavedChanges());
        disk.makeRoom();
        store.retryUnsaved();
        EXPECT_FALSE(store.notSaved.peek());
    }
    EXPECT_EQ(checkedTextsOnDisk(folder), std::vector<std::string>{"from the older version"});
    // The next start imports the file again, and adds nothing twice.
    {
        TranscriptStore store(folder, fixedCalendar());
        EXPECT_EQ(store.segments.peek().size(), 1u);
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "transcript.jsonl"));
    EXPECT_EQ(checkedTextsOnDisk(folder), std::vector<std::string>{"from the older version"});
}

// Every write fails (the disk filled while the database was open, or another
// process holds its write lock, which the starts open it under too): through
// finals, edits, deletions, retries and starts, the recovery file holds each
// change once. It goes once stored, as do the "*.imported" copies earlier
// versions kept; after a kill between the commit and the removal, taking it
// in again changes nothing and brings back nothing deleted.
TEST(FullDiskStore, EachUnsavedChangeIsInTheRecoveryFileOnceHoweverOftenItIsTried) {
    for (const bool locked : {true, false}) {  // else the disk fills
        SCOPED_TRACE(locked ? "a write lock held elsewhere" : "a full disk");
        testsupport::SmallDisk disk;
        if (!locked) SKIP_WITHOUT_SMALL_DISK(disk);
        TempDir state, temporary;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        const testsupport::ScopedEnv tmp("TMPDIR", temporary.path().string());
        const auto folder = disk / "Verbolin";
        const auto files = TranscriptStore::recoveryFiles(folder);
        const auto& recovery = files.front();
        std::optional<WriteLock> lock;
        std::vector<std::string> expected;
        {
            TranscriptStore store(folder, fixedCalendar());
            store.append(segment(0, 1, "stored before"));
            if (locked)
                lock.emplace(folder / "transcript.sqlite");
            else
                disk.fill();
            for (int i = 0; i < 8; ++i) {
                store.append(segment(100 + 10 * i, 101 + 10 * i, longText(i)));
                store.retryUnsaved();
                store.retryUnsaved();
                if (i != 2 && i != 5) expected.push_back(longText(i));
            }
            store.replace(blockWith(store, longText(2)), "the third, edited");
            store.deleteBlocks({blockWith(store, longText(5))});
            store.deleteBlocks({blockWith(store, "stored before")});
            expected.push_back("the third, edited");
            for (int retry = 0; retry < 3; ++retry) store.retryUnsaved();
            EXPECT_TRUE(store.notSaved.peek());
        }
        for (int start = 0; start < 3; ++start) {
            TranscriptStore stillFailing(folder, fixedCalendar());
            EXPECT_TRUE(stillFailing.notSaved.peek()) << "start " << start;
            if (locked) {  // opened for writing, as at the starts of a locked file
                ASSERT_NE(stillFailing.db(), nullptr);
                EXPECT_FALSE(stillFailing.db()->readOnly());
            }
            EXPECT_EQ(textsIn(stillFailing), sorted(expected)) << "start " << start;
            stillFailing.retryUnsaved();
        }
        const std::string kept = testsupport::readFile(recovery);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 11) << kept;  // 8 finals, 3 changes
        EXPECT_EQ(occurrencesOf(kept, "\"deletedSegment\""), 2u) << kept;
        std::vector<std::string> once{"\"the third, edited\""};
        for (int i = 0; i < 8; ++i)
            once.push_back("\"text\":" + nlohmann::json(longText(i)).dump());
        for (const auto& part : once) EXPECT_EQ(occurrencesOf(kept, part), 1u) << part;
        {
            TranscriptStore store(folder, fixedCalendar());
            lock.reset();
            disk.makeRoom();
            store.retryUnsaved();
            EXPECT_FALSE(store.notSaved.peek());
            EXPECT_FALSE(std::filesystem::exists(recovery));
        }
        EXPECT_EQ(checkedTextsOnDisk(folder), sorted(expected));

        // As a kill before the removal leaves it, beside an earlier version's copies.
        std::ofstream(recovery, std::ios::binary) << kept;
        for (const auto& file : files) {
            std::filesystem::create_directories(file.parent_path());
            std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all);
            std::ofstream(file.string() + ".imported")
                << nlohmann::json(segment(5, 6, "old")).dump();
        }
        for (int start = 0; start < 2; ++start) {
            TranscriptStore store(folder, fixedCalendar());
            EXPECT_FALSE(store.notSaved.peek());
            EXPECT_EQ(textsIn(store), sorted(expected)) << "start " << start;
        }
        for (const auto& file : files) {
            EXPECT_FALSE(std::filesystem::exists(file)) << file;
            EXPECT_FALSE(std::filesystem::exists(file.string() + ".imported")) << file;
        }
        EXPECT_EQ(checkedTextsOnDisk(folder), sorted(expected));
    }
}
