#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "StorageTestSupport.hpp"
#include "platform/system/AppError.hpp"
#include "verbolin/storage/TranscriptDB.hpp"

using namespace verbolin;
using namespace storage_test;

namespace {

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// How often the WAL beside `file` was started over, each time once all it
// held was copied into the file: the count its header keeps.
uint32_t walRestarts(const std::filesystem::path& file) {
    std::ifstream in(file.string() + "-wal", std::ios::binary);
    unsigned char header[16] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    return uint32_t(header[12]) << 24 | uint32_t(header[13]) << 16 | uint32_t(header[14]) << 8 |
           header[15];
}

}  // namespace

TEST(TranscriptDB, CreatesTheSchemaInWalModeAndReopensWithoutTouchingRows) {
    TempDir dir;
    auto path = dir.path() / "transcript.sqlite";
    auto s = segment(0, 1.5, "kept");
    {
        TranscriptDB db(path);
        auto names = column(
            db.handle(),
            "SELECT type || ' ' || name FROM sqlite_master WHERE name NOT LIKE 'segments_fts_%'");
        EXPECT_EQ(
            sorted(names),
            sorted({"table segments", "index sqlite_autoindex_segments_1", "index segments_start",
                    "table sessions", "index sqlite_autoindex_sessions_1", "table segments_fts",
                    "trigger segments_ai", "trigger segments_ad", "trigger segments_au",
                    "table recovery_marks", "index sqlite_autoindex_recovery_marks_1",
                    "table recovery_records", "index sqlite_autoindex_recovery_records_1"}));
        EXPECT_EQ(column(db.handle(), "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
        EXPECT_EQ(column(db.handle(), "PRAGMA synchronous"),
                  std::vector<std::string>{"1"});  // NORMAL
        db.upsert(s);
    }
    TranscriptDB again(path);
    EXPECT_EQ(again.allSegments(), std::vector<Segment>{s});
    EXPECT_EQ(again.search("kept").count(s.id), 1u);
}

TEST(TranscriptDB, OpenFailuresCarryDomainCodeAndText) {
    TempDir dir;
    auto missing = dir.path() / "no-such-folder" / "transcript.sqlite";
    try {
        TranscriptDB db(missing);
        FAIL() << "opened a file in a missing folder";
    } catch (const platform::AppError& e) {
        EXPECT_EQ(e.domain(), "TranscriptDB");
        EXPECT_EQ(e.code(), 1);
        EXPECT_EQ(e.localizedDescription(), "Cannot open " + missing.string());
    }

    auto garbage = dir.path() / "garbage.sqlite";
    std::ofstream(garbage) << std::string(4096, 'x');
    try {
        TranscriptDB db(garbage);
        FAIL() << "opened a file that is not a database";
    } catch (const platform::AppError& e) {
        EXPECT_EQ(e.domain(), "TranscriptDB");
        EXPECT_EQ(e.code(), 2);
        EXPECT_EQ(e.localizedDescription(), "file is not a database");
    }
}

TEST(TranscriptDB, RoundTripsEveryFieldAndReplacesByIdKeepingTheIndexInStep) {
    TempDir dir;
    TranscriptDB db(dir.path() / "t.sqlite");
    auto plain = segment(0.125, 2.5, "alpha beta");
    auto edited = segment(10, 11, "gamma");
    edited.edited = true;
    edited.original = "";
    db.upsert(edited);
    db.upsert(plain);
    EXPECT_EQ(db.allSegments(), (std::vector<Segment>{plain, edited}));  // ordered by start
    EXPECT_EQ(column(db.handle(), "SELECT quote(original) FROM segments ORDER BY start"),
              (std::vector<std::string>{"NULL", "''"}));
    EXPECT_EQ(column(db.handle(), "SELECT edited FROM segments ORDER BY start"),
              (std::vector<std::string>{"0", "1"}));

    auto replaced = plain;
    replaced.text = "delta";
    replaced.end = at(kBase + 3);
    db.upsert(replaced);
    EXPECT_EQ(column(db.handle(), "SELECT count(*) FROM segments"), std::vector<std::string>{"2"});
    EXPECT_TRUE(db.search("alpha").empty());  // the update trigger removed the old words
    EXPECT_EQ(db.search("delt"), (std::unordered_set<platform::Uuid>{plain.id}));
    EXPECT_EQ(db.allSegments().front(), replaced);
    // The index agrees with its content table (the integrity check fails on a stale index).
    EXPECT_NO_THROW(run(
        db.handle(), "INSERT INTO segments_fts(segments_fts, rank) VALUES('integrity-check', 1)"));

    SessionMarker named{platform::Uuid::random(), at(kBase + 5), "Standup"};
    SessionMarker unnamed{platform::Uuid::random(), at(kBase + 1), std::nullopt};
    db.upsert(named);
    db.upsert(unnamed);
    named.name = "Retro";
    db.upsert(named);
    EXPECT_EQ(db.allSessions(), (std::vector<SessionMarker>{unnamed, named}));
}

TEST(TranscriptDB, SearchMatchesEveryWordAsAPrefix) {
    TempDir dir;
    TranscriptDB db(dir.path() / "t.sqlite");
    auto world = segment(0, 1, "Hello, world");
    auto there = segment(2, 3, "hello there");
    auto cafe = segment(4, 5, "Café crème");
    auto quoted = segment(6, 7, "say \"hi\" now");
    for (auto* s : {&world, &there, &cafe, &quoted}) db.upsert(*s);
    using Ids = std::unordered_set<platform::Uuid>;
    struct Case {
        const char* query;
        Ids expected;
    } cases[] = {
        {"hel wor", {world.id}},
        {"HELLO", {world.id, there.id}},
        {"cafe", {cafe.id}},                 // unicode61 folds diacritics
        {"say \"hi\"", {quoted.id}},         // quotes are doubled inside the phrase
        {"\"", {}},                          // a lone quote is a harmless empty phrase
        {"hello\u3000there\n", {there.id}},  // any Unicode white space separates words
        {"hello -", {world.id, there.id}},   // punctuation alone adds no condition
        {"wor AND NOT", {}},                 // operators are plain words here
    };
    for (const auto& c : cases) EXPECT_EQ(db.search(c.query), c.expected) << c.query;
}

TEST(TranscriptDB, MatchExpressionQuotesEachWordAsAPrefixPhrase) {
    EXPECT_EQ(TranscriptDB::matchExpression("ab\"c"), "\"ab\"\"c\"*");
    EXPECT_EQ(TranscriptDB::matchExpression("  hel\twor\n"), "\"hel\"* \"wor\"*");
    EXPECT_EQ(TranscriptDB::matchExpression(" \n\t\u00a0"), "");
}

TEST(TranscriptDB, BlankQueriesRunNoStatement) {
    TempDir dir;
    TranscriptDB db(dir.path() / "t.sqlite");
    StatementSpy spy(db.handle());
    for (const char* q : {"", "   ", " \n\t ", "\u2028"}) EXPECT_TRUE(db.search(q).empty()) << q;
    EXPECT_TRUE(spy.statements().empty());
    db.search("x");
    EXPECT_EQ(spy.statements().size(), 1u);
}

TEST(TranscriptDB, RowsWithForeignIdsAreGivenStableIds) {
    TempDir dir;
    TranscriptDB db(dir.path() / "t.sqlite");
    run(db.handle(),
        "INSERT INTO segments (id, start, end, text) VALUES ('junk', 1, 2, 'old words'),"
        "(NULL, 3, 4, 'no id'), ('e621e1f8-c36c-495a-93fc-0c247a3e6e5f', 5, 6, 'lower');"
        "INSERT INTO sessions (id, start, name) VALUES ('x', 1, NULL);");
    auto first = db.allSegments();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[2].id.string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    auto second = db.allSegments();
    EXPECT_EQ(first, second);  // the ids given out at the first read were written to the rows
    EXPECT_EQ(sorted(column(db.handle(), "SELECT id FROM segments")),
              sorted({first[0].id.string(), first[1].id.string(), first[2].id.string()}));
    EXPECT_EQ(db.search("old"), (std::unordered_set<platform::Uuid>{first[0].id}));
    // Rewriting the record under its new id replaces the row instead of doubling it.
    auto edited = first[0];
    edited.text = "new words";
    db.upsert(edited);
    EXPECT_EQ(column(db.handle(), "SELECT count(*) FROM segments"), std::vector<std::string>{"3"});

    auto markers = db.allSessions();
    ASSERT_EQ(markers.size(), 1u);
    EXPECT_EQ(db.allSessions(), markers);
}

TEST(TranscriptDB, AcknowledgedWritesSurviveAKilledProcess) {
    TempDir dir;
    auto path = dir.path() / "t.sqlite";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        TranscriptDB db(path);
        for (int i = 0;; ++i) {  // writes until killed; acknowledges each write
            Segment s = segment(i, i + 1, "utterance " + std::to_string(i));
            db.upsert(s);
            std::string ack = s.id.string() + "\n";
            if (write(fds[1], ack.data(), ack.size()) < 0) _exit(1);
        }
    }
    close(fds[1]);
    std::string acks;
    char buf[4096];
    while (std::count(acks.begin(), acks.end(), '\n') < 200) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        ASSERT_GT(n, 0);
        acks.append(buf, size_t(n));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    // Read whatever else was acknowledged before the kill landed.
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) acks.append(buf, size_t(n));
    close(fds[0]);

    TranscriptDB db(path);
    std::unordered_set<platform::Uuid> stored;
    for (const auto& s : db.allSegments()) stored.insert(s.id);
    size_t checked = 0;
    for (size_t pos = 0, nl; (nl = acks.find('\n', pos)) != std::string::npos;
         pos = nl + 1, ++checked)
        EXPECT_EQ(stored.count(*platform::Uuid::parse(acks.substr(pos, nl - pos))), 1u);
    EXPECT_GE(checked, 200u);
}

TEST(TranscriptDB, CopiesOfTheWalBesideTheWritesAndAtTheCloseLoseNothing) {
    TempDir dir;
    const auto path = dir.path() / "t.sqlite";
    std::vector<Segment> written;
    {
        TranscriptDB db(path);
        const uint32_t started = walRestarts(path);
        // Commits without a pause, while the WAL is copied beside them.
        for (int i = 0; i < 4000 && walRestarts(path) - started < 3; ++i) {
            std::string text = "utterance" + std::to_string(i);
            for (int w = 0; w < 300; ++w) text += " word" + std::to_string((i * 7 + w) % 97);
            written.push_back(segment(i, i + 1, text));
            ASSERT_TRUE(db.apply({.segments = {written.back()}}));
        }
        EXPECT_GE(walRestarts(path) - started, 3u);
        // Closed at once, while a copy may still be under way.
    }
    EXPECT_FALSE(std::filesystem::exists(path.string() + "-wal"));  // the close copied the rest
    TranscriptDB db(path);
    EXPECT_EQ(db.allSegments(), written);
    EXPECT_EQ(column(db.handle(), "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    run(db.handle(), "INSERT INTO segments_fts(segments_fts) VALUES ('integrity-check')");
    const auto found = db.search("utterance" + std::to_string(written.size() - 1));
    EXPECT_EQ(found, std::unordered_set<platform::Uuid>{written.back().id});
    EXPECT_EQ(db.search("word5").size(), written.size());
}
