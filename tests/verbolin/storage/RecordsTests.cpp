#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/storage/RecordDecodingError.hpp"
#include "verbolin/storage/SessionItem.hpp"

using namespace verbolin;
using nlohmann::json;
using storage_test::at;

namespace {
const char* kId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
}

TEST(SegmentJson, OptionalMembersDefaultAndAreWrittenAsSpecified) {
    auto s =
        json::parse(R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","start":"2024-05-01T10:00:00Z",
                             "end":"2024-05-01T12:00:02+02:00","text":"hi","extra":1})")
            .get<Segment>();
    EXPECT_EQ(s.id.string(), kId);
    EXPECT_EQ(s.start, at(1714557600));
    EXPECT_EQ(s.end, at(1714557602));
    EXPECT_FALSE(s.edited);
    EXPECT_FALSE(s.original);
    json out = s;
    EXPECT_EQ(
        out,
        json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z",
                                   "end":"2024-05-01T10:00:02Z","text":"hi","edited":false})"));

    auto nulls =
        json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z",
                                 "end":"2024-05-01T10:00:00Z","text":"","edited":null,"original":null})")
            .get<Segment>();
    EXPECT_FALSE(nulls.edited);
    EXPECT_FALSE(nulls.original);

    Segment edited = s;
    edited.edited = true;
    edited.original = "";
    edited.start = platform::Date(std::chrono::milliseconds(1714557600250));
    json e = edited;
    EXPECT_EQ(e["original"], "");
    EXPECT_EQ(e["start"], "2024-05-01T10:00:00.250Z");
    EXPECT_EQ(e.get<Segment>(), edited);
    // A date read back from a double lands just below its millisecond.
    edited.start = at(1714557600.25);
    EXPECT_EQ(json(edited)["start"], "2024-05-01T10:00:00.250Z");
}

TEST(SegmentJson, MissingOrMistypedMembersFailTheRecord) {
    const char* cases[] = {
        R"({"start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z","text":"a"})",
        R"({"id":"not-a-uuid","start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z","text":"a"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","end":"2024-05-01T10:00:00Z","text":"a"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":1714557600,"end":"2024-05-01T10:00:00Z","text":"a"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00","end":"2024-05-01T10:00:00Z","text":"a"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z","text":5})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z","text":"a","edited":"yes"})",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","end":"2024-05-01T10:00:00Z","text":"a","original":3})",
        R"(["not an object"])",
    };
    for (const char* c : cases)
        EXPECT_THROW(json::parse(c).get<Segment>(), RecordDecodingError) << c;
}

TEST(RecordJson, OrderedEncodingWritesMembersInFieldOrder) {
    Segment s;
    s.id = *platform::Uuid::parse(kId);
    s.start = at(1714557600);
    s.end = at(1714557601);
    s.text = "hi";
    s.edited = true;
    s.original = "hey";
    EXPECT_EQ(nlohmann::ordered_json(s).dump(),
              R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z",)"
              R"("end":"2024-05-01T10:00:01Z","text":"hi","edited":true,"original":"hey"})");
    SessionMarker m{s.id, s.start, "n"};
    EXPECT_EQ(
        nlohmann::ordered_json(m).dump(),
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","name":"n"})");
}

TEST(SessionMarkerJson, NameIsOptionalAndStartRequired) {
    auto m =
        json::parse(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","name":null})")
            .get<SessionMarker>();
    EXPECT_FALSE(m.name);
    EXPECT_EQ(
        json(m),
        json::parse(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z"})"));
    m.name = "Standup";
    EXPECT_EQ(json(m)["name"], "Standup");
    EXPECT_THROW(json::parse(R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"x"})")
                     .get<SessionMarker>(),
                 RecordDecodingError);
    EXPECT_THROW(
        json::parse(
            R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","start":"2024-05-01T10:00:00Z","name":7})")
            .get<SessionMarker>(),
        RecordDecodingError);
}

TEST(Block, TextJoinsEveryTextWithOneSpace) {
    Block b{{}, {storage_test::segment(0, 1, "a"), storage_test::segment(1, 2, "")}};
    EXPECT_EQ(b.text(), "a ");
    Block spaced{{}, {storage_test::segment(0, 1, " a "), storage_test::segment(1, 2, "b")}};
    EXPECT_EQ(spaced.text(), " a  b");
}

TEST(Block, OriginalOnlyWhenSomeSegmentWasEdited) {
    auto a = storage_test::segment(0, 1, "one");
    auto b = storage_test::segment(1, 2, "two");
    auto c = storage_test::segment(2, 3, "three");
    b.original = "stale";  // an original without the edited flag does not count
    EXPECT_FALSE((Block{a.id, {a, b, c}}.original()));

    b.edited = true;
    b.text = "TWO";
    b.original = "two";
    EXPECT_EQ((Block{a.id, {a, b, c}}.original()), "one two three");
    b.original.reset();  // edited without an original: its text stands in
    EXPECT_EQ((Block{a.id, {a, b, c}}.original()), "one TWO three");
}

TEST(Records, EqualityAndHashCoverEveryField) {
    auto a = storage_test::segment(0, 1, "x");
    Segment b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Segment>{}(a), std::hash<Segment>{}(b));
    b.original = "";
    EXPECT_NE(a, b);  // absent differs from empty
    EXPECT_NE(std::hash<Segment>{}(a), std::hash<Segment>{}(b));
    Segment c = a;
    c.end = at(storage_test::kBase + 1.5);
    EXPECT_NE(a, c);

    SessionMarker m{a.id, a.start, std::nullopt};
    SessionItem open{m.id.string(), "", m.start, std::nullopt, m};
    SessionItem closed = open;
    closed.end = m.start;
    EXPECT_NE(open, closed);
    EXPECT_NE(std::hash<SessionItem>{}(open), std::hash<SessionItem>{}(closed));
    SessionItem day = open;
    day.marker.reset();
    EXPECT_NE(open, day);
    SessionItem renamed{open.id, open.title, open.start, open.end,
                        SessionMarker{m.id, m.start, "n"}};
    EXPECT_NE(open, renamed);

    Block b1{a.id, {a}};
    Block b2{a.id, {a, c}};
    EXPECT_NE(b1, b2);
    EXPECT_EQ(b1, (Block{a.id, {a}}));
    EXPECT_EQ(std::hash<Block>{}(b1), std::hash<Block>{}(Block{a.id, {a}}));
}
