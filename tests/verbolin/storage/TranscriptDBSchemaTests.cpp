#include <gtest/gtest.h>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/TranscriptDB.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

std::string userVersion(sqlite3* db) { return column(db, "PRAGMA user_version").at(0); }

// A file as the releases before the layout was numbered left it: their
// schema, rows written through it, user_version 0.
void writeUnnumberedFile(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    run(db, "PRAGMA journal_mode = WAL; PRAGMA recursive_triggers = ON;");
    run(db, TranscriptDB::schema);
    run(db,
        "INSERT INTO segments (id, start, end, text, edited, original) VALUES "
        "('6F9619FF-8B86-4011-B42D-00C04FC964FF', 10, 12, 'hello old world', 1, 'hello world');"
        "INSERT INTO sessions (id, start, name) VALUES "
        "('0A2B3C4D-0000-4000-8000-000000000001', 9, 'Monday');");
    sqlite3_close(db);
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
