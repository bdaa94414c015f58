#include <gtest/gtest.h>

#include <algorithm>

#include "StorageTestSupport.hpp"
#include "platform/system/AppError.hpp"
#include "verbolin/storage/TranscriptDB.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

std::string userVersion(sqlite3* db) { return column(db, "PRAGMA user_version").at(0); }

// A file as the releases before the layout was numbered left it: their
// schema (without the recovery marks, which came later), rows written
// through it, user_version 0.
void writeUnnumberedFile(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    run(db, "PRAGMA journal_mode = WAL; PRAGMA recursive_triggers = ON;");
    const std::string schema = TranscriptDB::schema;
    run(db, schema.substr(0, schema.find("CREATE TABLE IF NOT EXISTS recovery_marks")));
    run(db,
        "INSERT INTO segments (id, start, end, text, edited, original) VALUES "
        "('6F9619FF-8B86-4011-B42D-00C04FC964FF', 10, 12, 'hello old world', 1, 'hello world');"
        "INSERT INTO sessions (id, start, name) VALUES "
        "('0A2B3C4D-0000-4000-8000-000000000001', 9, 'Monday');");
    sqlite3_close(db);
}

// The identity a recovery file's lines are marked under, its first eight
// digits all `digit`.
platform::Uuid file(char digit) {
    return *platform::Uuid::parse(std::string(8, digit) + "-0000-4000-8000-000000000000");
}

}  // namespace

TEST(TranscriptDBSchema, AFileFromBeforeTheVersionIsUpgradedWithItsRowsAndIndex) {
    TempDir dir;
    const auto path = dir.path() / "transcript.sqlite";
    writeUnnumberedFile(path);
    {
        TranscriptDB db(path);
        EXPECT_EQ(userVersion(db.handle()), std::to_string(TranscriptDB::schemaVersion));
        const auto segments = db.allSegments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(segments[0].text, "hello old world");
        EXPECT_TRUE(segments[0].edited);
        EXPECT_EQ(segments[0].original, "hello world");
        ASSERT_EQ(db.allSessions().size(), 1u);
        EXPECT_EQ(db.search("old").count(segments[0].id), 1u);  // the index came along
        auto edited = segments[0];
        edited.text = "hello new world";
        EXPECT_TRUE(db.upsert(edited));
        EXPECT_TRUE(db.search("old").empty());
        const platform::Uuid file = platform::Uuid::random();
        EXPECT_TRUE(db.apply({.marks = {{file, 7}}}));
        EXPECT_EQ(db.recoveryMarks(), (TranscriptDB::RecoveryMarks{{file, 7}}));
    }
    TranscriptDB again(path);
    EXPECT_EQ(userVersion(again.handle()), "1");
    EXPECT_EQ(again.allSegments().at(0).text, "hello new world");
}

TEST(TranscriptDBSchema, NewFilesAreNumberedAndNewerFilesAreNotLowered) {
    TempDir dir;
    { TranscriptDB fresh(dir.path() / "new.sqlite"); }
    {
        TranscriptDB reopened(dir.path() / "new.sqlite");
        EXPECT_EQ(userVersion(reopened.handle()), "1");
        run(reopened.handle(), "PRAGMA user_version = 7");
    }
    TranscriptDB newer(dir.path() / "new.sqlite");
    EXPECT_EQ(userVersion(newer.handle()), "7");
    EXPECT_TRUE(newer.upsert(segment(0, 1, "still writable")));
    EXPECT_EQ(newer.allSegments().size(), 1u);
}

TEST(TranscriptDBSchema, KeptStatementsSurviveTheBulkIndexRebuildAndLeaveNoReadOpen) {
    TempDir dir;
    TranscriptDB db(dir.path() / "t.sqlite");
    TranscriptDB::Changes bulk;
    for (int i = 0; i < 20000; ++i) bulk.segments.push_back(segment(i, i + 0.5, "bulk words"));
    ASSERT_TRUE(db.upsert(segment(-2, -1, "before")));  // prepared before the trigger is dropped
    ASSERT_TRUE(db.apply(bulk));
    ASSERT_TRUE(db.upsert(segment(-4, -3, "after")));
    EXPECT_EQ(db.search("after").size(), 1u);
    EXPECT_EQ(db.search("bulk").size(), 20000u);
    EXPECT_EQ(db.allSegments().size(), 20002u);
    // No statement is left mid-read: a checkpoint of the whole log succeeds.
    EXPECT_EQ(column(db.handle(), "PRAGMA wal_checkpoint(TRUNCATE)").at(0), "0");
}

namespace {

using Marks = TranscriptDB::RecoveryMarks;
const Marks marked{{file('A'), 3}, {file('D'), 3}};

// A file another program made, and what becomes of it.
struct ForeignFile {
    const char* what;
    std::string sql;
    bool opens;
    std::size_t rows;       // segments read back
    bool writable;          // a new segment reaches the file
    long code = 0;          // when it does not open
    std::size_t found = 0;  // segments a search for "soon" finds
    // The marks read before and after `marked` is written; what the
    // failure to read or write them says.
    std::optional<Marks> before = Marks{};
    std::optional<Marks> after = marked;
    const char* marksSaid = "";
    // Whether `marked` is written; else as nothing is said of the marks.
    std::optional<bool> written = std::nullopt;
};

// The files of the test below, each made by its `sql`.
std::vector<ForeignFile> foreignFiles() {
    const std::string ourTables = std::string(TranscriptDB::schema) + ";";
    const std::string butMarks =
        ourTables.substr(0, ourTables.find("CREATE TABLE IF NOT EXISTS recovery_marks")) +
        "PRAGMA user_version = 1; CREATE TABLE recovery_marks ";
    return {
        {"another program's tables",
         "CREATE TABLE notes (title TEXT); INSERT INTO notes VALUES (1);", true, 0, true},
        // A numbered file is taken for a later layout of ours; one that lacks
        // our tables is not ours.
        {"another program's numbered file",
         "CREATE TABLE notes (title TEXT); PRAGMA user_version = 3;", false, 0, false,
         TranscriptDB::kDamaged},
        {"our table without its columns", "CREATE TABLE segments (id TEXT PRIMARY KEY, words);",
         false, 0, false, TranscriptDB::kDamaged},
        {"sessions as a view", "CREATE VIEW sessions AS SELECT 1 AS id, 2 AS start, 3 AS name;",
         false, 0, false, TranscriptDB::kDamaged},
        // Our layout with its index dropped: the index is made again from
        // the rows, so that a search finds them.
        {"our file without its index",
         ourTables + "INSERT INTO segments (id, start, end, text) VALUES "
                     "('6F9619FF-8B86-4011-B42D-00C04FC964FF', 1, 2, 'soon enough');"
                     "DROP TABLE segments_fts; PRAGMA user_version = 1;",
         true, 1, true, 0, 1},
        {"values of every wrong type",
         "CREATE TABLE segments (id, start, end, text, edited, original);"
         "CREATE TABLE sessions (id, start, name);"
         "INSERT INTO segments VALUES (x'00ff', 'soon', 1e308, NULL, 'yes', 42);"
         "INSERT INTO segments VALUES (NULL, -1e308, 'NaN', x'c328', NULL, x'');"
         "INSERT INTO sessions VALUES (7, x'ff', 1.5);"
         "PRAGMA user_version = 1;",
         true, 2, true},
        {"marks of every wrong type",
         ourTables + "INSERT INTO recovery_marks VALUES ('AAAAAAAA-0000-4000-8000-000000000000', "
                     "'text'), ('BBBBBBBB-0000-4000-8000-000000000000', x'07'), "
                     "('CCCCCCCC-0000-4000-8000-000000000000', 2.5), "
                     "('DDDDDDDD-0000-4000-8000-000000000000', 9), (x'00', 5), ('not an id', 6);",
         true, 0, true, 0, 0, std::nullopt, std::nullopt,
         "cannot read the table recovery_marks of ", true},
        {"marks without a key, a file marked twice",
         butMarks + "(file, line); INSERT INTO recovery_marks VALUES "
                    "('DDDDDDDD-0000-4000-8000-000000000000', 4), "
                    "('DDDDDDDD-0000-4000-8000-000000000000', 'x'), "
                    "('dddddddd-0000-4000-8000-000000000000', 2);",
         true, 0, true, 0, 0, std::nullopt, std::nullopt,
         "cannot read the table recovery_marks of "},
        {"marks without the column line", butMarks + "(file TEXT PRIMARY KEY, lines INTEGER);",
         true, 0, true, 0, 0, std::nullopt, std::nullopt,
         "cannot read the table recovery_marks of "},
        {"marks under a check",
         butMarks + "(file TEXT PRIMARY KEY, line INTEGER CHECK (line < 0));", true, 0, true, 0, 0,
         std::nullopt, std::nullopt, "cannot read the table recovery_marks of "},
        {"marks whose column line turns numbers into text",
         butMarks + "(file TEXT PRIMARY KEY, line TEXT);", true, 0, true, 0, 0, std::nullopt,
         std::nullopt, "cannot read the table recovery_marks of "},
        {"marks a trigger removes",
         ourTables + "CREATE TRIGGER forget AFTER INSERT ON recovery_marks BEGIN DELETE FROM "
                     "recovery_marks; END;",
         true, 0, true, 0, 0, std::nullopt, std::nullopt,
         "cannot read the table recovery_marks of "},
        {"marks a view",
         butMarks.substr(0, butMarks.rfind("CREATE TABLE")) +
             "CREATE VIEW recovery_marks AS SELECT id AS file, 1 AS line FROM segments;",
         true, 0, true},
        {"marks a table renamed, a trigger left under their name",
         ourTables + "CREATE TRIGGER recovery_marks AFTER INSERT ON recovery_marks BEGIN DELETE "
                     "FROM recovery_marks; END; ALTER TABLE recovery_marks RENAME TO old_marks;",
         true, 0, true},
        {"marks by record of every wrong type",
         ourTables + "INSERT INTO recovery_records VALUES ('6F9619FF-8B86-4011-B42D-00C04FC964FF', "
                     "'AAAAAAAA-0000-4000-8000-000000000000', 'text');",
         true, 0, true, 0, 0, std::nullopt, std::nullopt,
         "cannot read the table recovery_records of ", true},
    };
}

}  // namespace

// Files another program left at our path, or ours edited by hand: each opens
// as far as it can, or fails with the database's own error, and values of
// the wrong type read as something rather than ending the process. Tables
// of ours in another shape are refused as damage before anything is
// written, so that the file stays as it was. The table of recovery marks
// is read and written as far as it can be: a value that is no integer is
// no mark, and is replaced by one; a table that cannot be read, or cannot
// take a mark (nor keep it as the integer written), is named with the
// reason and what to do.
TEST(TranscriptDBSchema, ForeignFilesOpenAsFarAsTheyCanOrFailWithTheirError) {
    using Case = ForeignFile;
    for (const Case& c : foreignFiles()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto path = dir.path() / "transcript.sqlite";
        {
            sqlite3* raw = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
            run(raw, c.sql);
            sqlite3_close(raw);
        }
        const std::string before = testsupport::readFile(path);
        try {
            TranscriptDB db(path);
            EXPECT_TRUE(c.opens);
            const auto segments = db.allSegments();
            EXPECT_EQ(segments.size(), c.rows);
            db.allSessions();
            EXPECT_EQ(db.search("soon").size(), c.found);
            EXPECT_EQ(db.recoveryMarks(), c.before);
            EXPECT_EQ(db.apply({.marks = marked}), c.written.value_or(!*c.marksSaid));
            const std::string said = db.marksProblem() + db.lastError() + db.marksWayOut();
            EXPECT_EQ(db.recoveryMarks(), c.after);
            if (*c.marksSaid) {
                EXPECT_EQ(said.find(c.marksSaid + path.string()), 0u) << said;
                EXPECT_EQ(db.marksProblem().empty(), c.before.has_value()) << said;
                EXPECT_NE(said.find("rename that table, and the next start makes it anew"),
                          std::string::npos)
                    << said;
            }
            EXPECT_EQ(db.upsert(segment(0, 1, "new")), c.writable);
            // Ids that were not ours are replaced once, and the new ones kept.
            if (!segments.empty()) {
                TranscriptDB again(path);
                auto reread = again.allSegments();
                ASSERT_EQ(reread.size(), c.rows + (c.writable ? 1 : 0));
                for (const auto& s : segments)
                    EXPECT_TRUE(std::any_of(reread.begin(), reread.end(),
                                            [&](const Segment& r) { return r.id == s.id; }));
            }
        } catch (const platform::AppError& e) {
            EXPECT_FALSE(c.opens) << e.what();
            EXPECT_EQ(e.domain(), "TranscriptDB");
            EXPECT_EQ(e.code(), c.code) << e.what();
            EXPECT_TRUE(testsupport::readFile(path) == before) << "the file was changed";
            EXPECT_FALSE(std::filesystem::exists(path.string() + "-wal"));
        }
    }
}
