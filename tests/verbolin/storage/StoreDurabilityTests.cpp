// A change the store accepted must survive a crash or a refused write, and a
// refused write must be reported instead of looking like success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "StorageTestSupport.hpp"
#include "support/ScopedEnv.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

UserCalendar fixedCalendar() {
    return UserCalendar("en_GB", "Europe/London", [] { return at(kBase); });
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
// then either makes one more change or quits once the lock is gone.
TEST(StoreDurability, ChangesThatFailToWriteAreKeptReportedAndWrittenLater) {
    const struct {
        const char* name;
        std::function<void(TranscriptStore&)> whileLocked;
        bool quitAfter;  // else one more append
        std::vector<std::string> expected;
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
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
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
                EXPECT_FALSE(store.notSaved.peek());
            }
            EXPECT_EQ(reports, row.quitAfter ? 1 : 2);
        }
        EXPECT_EQ(textsOnDisk(dir.path()), row.expected);
    }
}

// Damage that SQLite's quick check finds: a page that nothing uses, and an
// index root page with a broken header.
TEST(StoreDurability, ADamagedDatabaseIsReportedAndLeftUntouched) {
    const std::function<void(std::string&)> damages[] = {
        [](std::string& bytes) {
            bytes[31] = char(bytes[31] + 1);  // the page count in the header
            bytes.append(4096, '\0');
        },
        [](std::string& bytes) { bytes[2 * 4096 + 3] = bytes[2 * 4096 + 4] = char(0xff); },
    };
    for (const auto& damage : damages) {
        TempDir dir;
        const auto file = dir.path() / "transcript.sqlite";
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            for (int k = 0; k < 200; ++k)
                store.append(segment(k, k + 1, "words " + std::to_string(k)));
        }
        std::string bytes = testsupport::readFile(file);
        damage(bytes);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        bool reported = false;
        auto old = setStorageLogSink([&](const std::string& line) {
            reported = reported || line.find("is damaged") != std::string::npos;
        });
        TempDir state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            EXPECT_EQ(store.db(), nullptr);
            EXPECT_TRUE(store.notSaved.peek());
            store.append(segment(500, 501, "kept in memory"));
        }
        setStorageLogSink(old);
        EXPECT_TRUE(reported);
        EXPECT_TRUE(testsupport::readFile(file) == bytes);
        // What was said with the file damaged waits, outside it, for a start
        // that can write it.
        const auto recovery = TranscriptStore::recoveryFiles(dir.path()).front();
        EXPECT_NE(testsupport::readFile(recovery).find("\"kept in memory\""), std::string::npos);
    }
}

// Root writes anywhere, so the store is opened by an unprivileged child.
TEST(StoreDurability, AReadOnlyDataFolderIsSaidAtStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    testsupport::TempDir tmp("verbolin-readonly");
    const auto folder = tmp / "Verbolin";
    {
        verbolin::TranscriptStore store(folder);  // an existing transcript
    }
    std::filesystem::permissions(tmp.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(folder, std::filesystem::perms(0555));
    const auto report = tmp / "report.txt";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string said;
        setStorageLogSink([&](const std::string& line) { said += line + "\n"; });
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        verbolin::TranscriptStore store(folder);
        const bool ok = store.notSaved.peek() && !store.db() &&
                        said.find("cannot be written to") != std::string::npos &&
                        said.find(folder.string()) != std::string::npos;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
