#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "StorageTestSupport.hpp"
#include "support/ScopedEnv.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;
namespace fs = std::filesystem;

namespace {

const char* kIdA = "11111111-1111-4111-8111-111111111111";
const char* kIdB = "22222222-2222-4222-8222-222222222222";
const char* kIdC = "33333333-3333-4333-8333-333333333333";

std::string line(const char* id, const char* start, const char* text, const char* extra = "") {
    return std::string("{\"id\":\"") + id + "\",\"start\":\"" + start + "\",\"end\":\"" + start +
           "\",\"text\":\"" + text + "\"" + extra + "}";
}

void write(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ImportTest : public ::testing::Test {
  protected:
    TempDir dir, state;
    // Text a store without a database keeps at quit goes here.
    testsupport::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().string()};

    std::unique_ptr<TranscriptStore> open() {
        return std::make_unique<TranscriptStore>(dir.path(), UserCalendar("en_GB", "UTC"));
    }
    fs::path file(const char* name) const { return dir.path() / name; }
    static std::vector<std::string> texts(const TranscriptStore& store) {
        std::vector<std::string> out;
        for (const auto& s : store.segments.peek()) out.push_back(s.text);
        return out;
    }
};

}  // namespace

TEST_F(ImportTest, TranscriptLinesImportSortedSkippingBadOnesAndTheFileIsMoved) {
    write(file("transcript.jsonl"),
          line(kIdA, "2024-05-01T10:00:05Z", "second") + "\nnot json\n\n" +
              // outside the clock's range: unreadable, not some other date
              line("44444444-4444-4444-8444-444444444444", "9999-12-31T00:00:00Z", "far") + "\n" +
              line("55555555-5555-4555-8555-555555555555", "1000-01-01T00:00:00Z", "old") + "\n" +
              line(kIdB, "2024-05-01T10:00:00Z", "first", R"(,"edited":true,"original":"1st")") +
              "\n" + line(kIdC, "2024-05-01T10:00:09Z", "third") + "\n");
    auto store = open();
    EXPECT_EQ(texts(*store), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(store->segments.peek()[0].edited);
    EXPECT_EQ(store->segments.peek()[0].original, "1st");
    EXPECT_FALSE(store->segments.peek()[1].edited);  // a line without "edited" or "original"
    EXPECT_FALSE(store->segments.peek()[1].original);
    EXPECT_FALSE(fs::exists(file("transcript.jsonl")));
    EXPECT_TRUE(fs::exists(file("transcript.jsonl.imported")));
    store = open();  // written through: the database alone brings them back
    EXPECT_EQ(texts(*store), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(store->search("thi").size(), 1u);
}

TEST_F(ImportTest, CarriageReturnLineEndsImportEveryLine) {
    write(file("transcript.jsonl"), line(kIdA, "2024-05-01T10:00:00Z", "a") + "\r\n" +
                                        line(kIdB, "2024-05-01T10:00:01Z", "b") + "\r\n");
    auto store = open();
    EXPECT_EQ(texts(*store), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ImportTest, KnownIdsAreNotImportedAgain) {
    {
        auto store = open();
        Segment s = segment(0, 1, "stored");
        s.id = *platform::Uuid::parse(kIdA);
        store->append(s);
    }
    write(file("transcript.jsonl"), line(kIdA, "2024-05-01T11:00:00Z", "changed") + "\n");
    auto store = open();
    EXPECT_EQ(texts(*store), std::vector<std::string>{"stored"});
    store = open();
    EXPECT_EQ(texts(*store), std::vector<std::string>{"stored"});
}

TEST_F(ImportTest, TextThatIsNotUtf8IsLeftAlone) {
    std::string bad = line(kIdA, "2024-05-01T10:00:00Z", "ok") + "\n" +
                      line(kIdB, "2024-05-01T10:00:01Z", "caf\xE9") + "\n";
    write(file("transcript.jsonl"), bad);
    auto store = open();
    EXPECT_TRUE(store->segments.peek().empty());
    EXPECT_EQ(read(file("transcript.jsonl")), bad);
    EXPECT_FALSE(fs::exists(file("transcript.jsonl.imported")));
}

TEST_F(ImportTest, SomethingThatCannotBeReadIsLeftWhereItIs) {
    for (const char* name : {"transcript.jsonl", "sessions.json", "notes.json"}) {
        fs::create_directories(file(name));
        write(file(name) / "inside", "x");
    }
    auto store = open();
    EXPECT_TRUE(store->segments.peek().empty());
    for (const char* name : {"transcript.jsonl", "sessions.json", "notes.json"}) {
        EXPECT_TRUE(fs::exists(file(name) / "inside")) << name;
        EXPECT_FALSE(fs::exists(file((std::string(name) + ".imported").c_str()))) << name;
    }
}

TEST_F(ImportTest, AnExistingImportedFileIsNeverOverwrittenAndNothingDoubles) {
    write(file("transcript.jsonl.imported"), "earlier backup");
    write(file("notes.json.imported"), "earlier notes");
    write(file("transcript.jsonl"), line(kIdA, "2024-05-01T10:00:00Z", "a") + "\n");
    write(file("notes.json"), R"([{"createdAt":"2024-05-01T09:00:00Z","text":"note"}])");
    for (int start = 0; start < 3; ++start) {
        auto store = open();
        EXPECT_EQ(texts(*store), (std::vector<std::string>{"note", "a"})) << "start " << start;
    }
    EXPECT_EQ(read(file("transcript.jsonl.imported")), "earlier backup");
    EXPECT_EQ(read(file("notes.json.imported")), "earlier notes");
    EXPECT_TRUE(fs::exists(file("transcript.jsonl")));
    EXPECT_TRUE(fs::exists(file("notes.json")));
}

TEST_F(ImportTest, SessionFileImportsWholeOrNotAtAll) {
    std::string broken = std::string(R"([{"id":")") + kIdA +
                         R"(","start":"2024-05-01T10:00:00Z","name":"ok"},{"id":")" + kIdB +
                         R"(","name":"no start"}])";
    write(file("sessions.json"), broken);
    {
        auto store = open();
        EXPECT_TRUE(store->sessions.peek().empty());
        EXPECT_EQ(read(file("sessions.json")), broken);
    }
    write(file("sessions.json"),
          std::string(R"([{"id":")") + kIdB + R"(","start":"2024-05-01T12:00:00Z","name":null},)" +
              R"({"id":")" + kIdA + R"(","start":"2024-05-01T10:00:00Z","name":"Morning"}])");
    {
        auto store = open();
        ASSERT_EQ(store->sessions.peek().size(), 2u);
        EXPECT_EQ(store->sessions.peek()[0].name, "Morning");  // sorted by start
        EXPECT_FALSE(store->sessions.peek()[1].name);
        EXPECT_TRUE(fs::exists(file("sessions.json.imported")));
    }
    // A second file with a known id adds only the new marker.
    write(file("sessions.json"), std::string(R"([{"id":")") + kIdA +
                                     R"(","start":"2024-05-01T08:00:00Z","name":"x"},)" +
                                     R"({"id":")" + kIdC + R"(","start":"2024-05-01T13:00:00Z"}])");
    auto store = open();
    ASSERT_EQ(store->sessions.peek().size(), 3u);
    EXPECT_EQ(store->sessions.peek()[0].name, "Morning");
    EXPECT_TRUE(fs::exists(file("sessions.json")));  // the rename target was taken
    store = open();
    EXPECT_EQ(store->sessions.peek().size(), 3u);
}

TEST_F(ImportTest, NotesBecomeOneSecondSegmentsUnlessEmpty) {
    write(
        file("notes.json"),
        R"([{"createdAt":"2024-05-01T09:00:00Z","text":""},{"createdAt":"2024-05-01T09:30:00.5Z","text":" "},)"
        R"({"createdAt":"2024-05-01T09:00:00Z","text":"idea"}])");
    auto store = open();
    ASSERT_EQ(store->segments.peek().size(), 2u);
    const auto& idea = store->segments.peek()[0];
    EXPECT_EQ(idea.text, "idea");
    EXPECT_EQ(platform::secondsBetween(idea.start, idea.end), 1.0);
    EXPECT_FALSE(idea.edited);
    EXPECT_EQ(store->segments.peek()[1].text, " ");
    EXPECT_TRUE(fs::exists(file("notes.json.imported")));

    write(file("notes.json"), R"([{"createdAt":1714554000,"text":"numeric date"}])");
    store = open();
    EXPECT_EQ(store->segments.peek().size(), 2u);
    EXPECT_TRUE(fs::exists(file("notes.json")));
}

// Notes at the ends of what a date can hold, and paragraphs centuries apart:
// imported and grouped without any time arithmetic overflowing.
TEST_F(ImportTest, NotesAtTheEndsOfTheClockImportWithSaneTimes) {
    write(file("notes.json"), R"([{"createdAt":"2262-04-11T23:47:15.999Z","text":"last"},)"
                              R"({"createdAt":"1677-09-21T00:12:44Z","text":"first"},)"
                              R"({"createdAt":"2024-05-01T09:00:00Z","text":"now"}])");
    auto store = open();
    ASSERT_EQ(texts(*store), (std::vector<std::string>{"first", "now", "last"}));
    for (const auto& s : store->segments.peek()) {
        EXPECT_GE(platform::secondsBetween(s.start, s.end), 0.0) << s.text;
        EXPECT_LE(platform::secondsBetween(s.start, s.end), 1.0) << s.text;
    }
    // Three paragraphs, far more than the gap apart, on three days whose
    // starts (before the clock's first moment, for the first) are held in range.
    EXPECT_EQ(store->allBlocks()->size(), 3u);
    const auto days = store->days();
    ASSERT_EQ(days.size(), 3u);
    EXPECT_TRUE(std::is_sorted(days.rbegin(), days.rend()));  // newest first
    EXPECT_LE(days.back(), store->segments.peek().front().start);
    EXPECT_LE(days.front(), store->segments.peek().back().start);
    EXPECT_FALSE(store->sessionItems().empty());
}

TEST_F(ImportTest, WithoutADatabaseRecordsArriveInMemoryOnly) {
    fs::create_directories(file("transcript.sqlite"));  // a folder where the database should be
    write(file("transcript.jsonl"), line(kIdA, "2024-05-01T10:00:00Z", "kept in memory") + "\n");
    auto store = open();
    EXPECT_EQ(store->db(), nullptr);
    EXPECT_EQ(texts(*store), std::vector<std::string>{"kept in memory"});
    EXPECT_EQ(store->search("MEMORY").size(), 1u);
}

// A large file goes in as one transaction: all or nothing, with progress in
// the log, with work that grows about in step with its length. A search of
// what is already there for each line would grow with its square: ten times
// the lines, a hundred times the work. Counted in the database's operations,
// not timed, so that a busy machine cannot move it (the time is in
// bench/TranscriptStoreBench): the whole takes about 10 times the operations
// of a tenth of it.
TEST_F(ImportTest, ALargeTranscriptImportsInOneTransactionWithProgress) {
    constexpr int kLines = 200000;
    auto transcript = [](int lines) {
        std::string content;
        for (int i = 0; i < lines; ++i)
            content += nlohmann::json(segment(i, i + 1, "line " + std::to_string(i))).dump() + "\n";
        return content;
    };
    auto imported = [](const fs::path& folder, std::unique_ptr<TranscriptStore>& store) {
        store = std::make_unique<TranscriptStore>(folder, UserCalendar("en_GB", "UTC"));
        EXPECT_NE(store->db(), nullptr);
        return store->db() ? double(store->db()->thousandOperations()) : 0.0;
    };
    double tenthWork = 0;
    {
        TempDir folder;
        write(folder.path() / "transcript.jsonl", transcript(kLines / 10));
        std::unique_ptr<TranscriptStore> store;
        testing::internal::CaptureStderr();
        tenthWork = imported(folder.path(), store);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(store->segments.peek().size(), size_t(kLines / 10));
    }

    const std::string content = transcript(kLines);
    write(file("transcript.jsonl"), content);
    std::unique_ptr<TranscriptStore> store;
    testing::internal::CaptureStderr();
    const double work = imported(dir.path(), store);
    const std::string log = testing::internal::GetCapturedStderr();
    std::cout << "[ INFO     ] thousands of database operations: " << kLines / 10 << " lines "
              << tenthWork << ", " << kLines << " lines " << work << "\n";
    EXPECT_GT(tenthWork, kLines / 10 / 1000);  // at least one operation a line
    EXPECT_LT(work, 12 * tenthWork);
    EXPECT_NE(log.find("line 100000 of 200000"), std::string::npos);
    EXPECT_NE(log.find("imported 200000 records"), std::string::npos);
    EXPECT_EQ(store->search("199999").size(), 1u);  // the full-text index holds them
    store.reset();
    EXPECT_EQ(column(TranscriptDB(dir.path() / "transcript.sqlite").handle(),
                     "SELECT count(*) FROM segments"),
              std::vector<std::string>{"200000"});

    // A file whose transaction fails stays to be read again; what reached
    // memory is written at quit, and the next start adds nothing twice.
    TempDir other;
    TranscriptStore(other.path(), UserCalendar("en_GB", "UTC"));
    write(other.path() / "transcript.jsonl",
          content.substr(0, content.find("\n", content.find("\n") + 1) + 1));
    {
        auto lock = std::make_unique<WriteLock>(other.path() / "transcript.sqlite");
        TranscriptStore locked(other.path(), UserCalendar("en_GB", "UTC"));
        EXPECT_TRUE(locked.notSaved.peek());
        lock.reset();
    }
    EXPECT_TRUE(fs::exists(other.path() / "transcript.jsonl"));
    EXPECT_EQ(TranscriptStore(other.path(), UserCalendar("en_GB", "UTC")).segments.peek().size(),
              2u);
}
