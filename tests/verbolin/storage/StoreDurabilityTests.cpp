// What the store does when the process dies mid-write or the disk refuses a
// write: an acknowledged change is never lost, and a failure is reported
// instead of looking like success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

UserCalendar fixedCalendar() {
    return UserCalendar("en_GB", "Europe/London", [] { return at(kBase); });
}

std::vector<std::string> textsOf(const std::vector<Segment>& list) {
    std::vector<std::string> out;
    for (const Segment& s : list) out.push_back(s.text);
    return out;
}

std::vector<std::string> textsOnDisk(const std::filesystem::path& dir) {
    TranscriptDB db(dir / "transcript.sqlite");
    return textsOf(db.allSegments());
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Holds the database's write lock from a second connection, the way another
// process would, so that every write of the store fails until release().
class WriteLock {
  public:
    explicit WriteLock(const std::filesystem::path& file) {
        if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open");
        run(db_, "BEGIN EXCLUSIVE");
    }
    ~WriteLock() { release(); }
    void release() {
        if (db_) run(db_, "COMMIT");
        sqlite3_close(std::exchange(db_, nullptr));
    }

  private:
    sqlite3* db_ = nullptr;
};

struct LogCapture {
    std::vector<std::string> lines;
    StorageLogSink old =
        setStorageLogSink([this](const std::string& line) { lines.push_back(line); });
    ~LogCapture() { setStorageLogSink(old); }
    bool mentions(const std::string& word) const {
        for (const auto& l : lines)
            if (l.find(word) != std::string::npos) return true;
        return false;
    }
};

}  // namespace

// The child edits a three-segment paragraph and is killed when its
// connection starts the statement named by the row. Whatever the moment,
// the reopened file holds either the whole old paragraph or the whole edit.
TEST(StoreDurability, AKillDuringAParagraphEditKeepsTheParagraphOrTheEdit) {
    struct Row {
        const char* killAt;  // prefix of the SQL statement; empty: not killed
        bool mayKeepOld;
    };
    const Row rows[] = {
        {"DELETE FROM segments", true},
        {"INSERT OR REPLACE INTO segments", true},
        {"COMMIT", true},
        {"", false},
    };
    const std::vector<std::string> old{"one", "two", "three"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.killAt);
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
            prefix = row.killAt;
            if (!prefix.empty())
                sqlite3_trace_v2(
                    store.db()->handle(), SQLITE_TRACE_STMT,
                    [](unsigned, void*, void* p, void*) {
                        const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(p));
                        if (sql && std::string_view(sql).starts_with(prefix)) raise(SIGKILL);
                        return 0;
                    },
                    nullptr);
            store.replace(store.allBlocks()->front(), "one two three, edited");
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status), row.killAt[0] != '\0');

        TranscriptStore store(dir.path(), fixedCalendar());
        auto texts = textsOf(store.segments.peek());
        if (texts == old) {
            EXPECT_TRUE(row.mayKeepOld);
            continue;
        }
        ASSERT_EQ(texts, std::vector<std::string>{"one two three, edited"});
        EXPECT_TRUE(store.segments.peek()[0].edited);
        EXPECT_EQ(store.segments.peek()[0].original, "one two three");
    }
}

// Each row changes the transcript while another connection holds the write
// lock, then lets go and either makes one more change or quits. Nothing the
// user did may be missing from the file afterwards.
TEST(StoreDurability, ChangesThatFailToWriteAreKeptReportedAndWrittenLater) {
    struct Row {
        const char* name;
        std::function<void(TranscriptStore&)> whileLocked;
        bool quitAfter;  // else one more append after the lock is gone
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"append, then append",
         [](TranscriptStore& s) { s.append(segment(100, 101, "lost before")); }, false,
         {"one", "two", "lost before", "later"}},
        {"append, then quit",
         [](TranscriptStore& s) {
             s.append(segment(100, 101, "first"));
             s.append(segment(200, 201, "second"));
         },
         true, {"one", "two", "first", "second"}},
        {"delete, then quit",
         [](TranscriptStore& s) { s.deleteBlocks({s.allBlocks()->front()}); }, true, {}},
        {"edit, then append",
         [](TranscriptStore& s) { s.replace(s.allBlocks()->front(), "one two!"); }, false,
         {"one two!", "later"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        LogCapture log;
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            store.append(segment(0, 1, "one"));
            store.append(segment(1, 2, "two"));
            EXPECT_FALSE(store.notSaved.peek());
            int changes = 0;
            auto token = store.notSaved.observe([&] { ++changes; });
            {
                WriteLock lock(dir.path() / "transcript.sqlite");
                row.whileLocked(store);
                EXPECT_TRUE(store.notSaved.peek());
                EXPECT_EQ(changes, 1);
            }
            if (!row.quitAfter) {
                store.append(segment(300, 301, "later"));
                EXPECT_FALSE(store.notSaved.peek());
                EXPECT_EQ(changes, 2);
            }
        }
        EXPECT_TRUE(log.mentions("not being saved"));
        EXPECT_EQ(textsOnDisk(dir.path()), row.expected);
    }
}

// Damage that SQLite's quick check finds: a page that no table uses, and
// an index root page whose header is broken.
TEST(StoreDurability, ADamagedDatabaseIsReportedAndLeftUntouched) {
    const std::function<void(std::string&)> damages[] = {
        [](std::string& bytes) {  // the header counts one page more, which nothing uses
            bytes[31] = char(bytes[31] + 1);
            bytes.append(4096, '\0');
        },
        [](std::string& bytes) {
            bytes[2 * 4096 + 3] = char(0xff);  // page 3: cell count
            bytes[2 * 4096 + 4] = char(0xff);
        },
    };
    for (size_t i = 0; i < std::size(damages); ++i) {
        SCOPED_TRACE(i);
        TempDir dir;
        auto file = dir.path() / "transcript.sqlite";
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            for (int k = 0; k < 200; ++k) store.append(segment(k, k + 1, "words " + std::to_string(k)));
        }
        std::string bytes = fileBytes(file);
        ASSERT_GT(bytes.size(), 3u * 4096);
        damages[i](bytes);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

        LogCapture log;
        {
            TranscriptStore store(dir.path(), fixedCalendar());
            EXPECT_EQ(store.db(), nullptr);
            EXPECT_TRUE(store.notSaved.peek());
            store.append(segment(500, 501, "kept in memory"));
            EXPECT_EQ(store.segments.peek().size(), 1u);
        }
        EXPECT_TRUE(log.mentions("damaged"));
        EXPECT_TRUE(fileBytes(file) == bytes);
    }
}
