#include <gtest/gtest.h>

#include "StorageTestSupport.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;
using platform::Date;

namespace {

// Midnight of 2024-05-01 in New York (EDT, UTC-4).
constexpr double kMay1 = 1714536000.0;
constexpr double kHour = 3600.0;

double local(double hours) { return kMay1 + hours * kHour; }

Segment seg(double startHours, std::string text = "words", double lengthSeconds = 5) {
    Segment s;
    s.start = at(local(startHours));
    s.end = at(local(startHours) + lengthSeconds);
    s.text = std::move(text);
    return s;
}

SessionMarker marker(double startHours, std::optional<std::string> name = std::nullopt) {
    return SessionMarker{platform::Uuid::random(), at(local(startHours)), std::move(name)};
}

class SessionListTest : public ::testing::Test {
  protected:
    TempDir dir;
    double now = local(15);
    UserCalendar calendar{"en_GB", "America/New_York", [this] { return at(now); }};
    TranscriptStore store{dir.path(), calendar};

    void load(std::vector<Segment> segments, std::vector<SessionMarker> markers = {}) {
        store.segments.set(std::move(segments));
        store.sessions.set(std::move(markers));
    }
};

}  // namespace

TEST_F(SessionListTest, WithoutMarkersEachDayIsAnItemEndingAtTheNextDay) {
    load({seg(9), seg(10), seg(24 + 8)});
    auto items = store.sessionItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (SessionItem{"day:1714622400.0", "", at(kMay1 + 24 * kHour),
                                     at(kMay1 + 48 * kHour), std::nullopt}));
    EXPECT_EQ(items[1], (SessionItem{"day:1714536000.0", "", at(kMay1), at(kMay1 + 24 * kHour),
                                     std::nullopt}));
    EXPECT_EQ(store.sessionItems(), items);  // the same ids every time
    EXPECT_FALSE(store.currentSession());
    EXPECT_EQ(store.segmentsIn(items[1]).size(), 2u);
    EXPECT_EQ(store.days(), (std::vector<Date>{at(kMay1 + 24 * kHour), at(kMay1)}));
    EXPECT_EQ(store.segmentsOn(at(local(23.99))).size(), 2u);
    EXPECT_EQ(store.segmentsOn(at(local(24))).size(), 1u);
}

TEST_F(SessionListTest, SegmentsBeforeTheFirstMarkerAreShownByDay) {
    auto m = marker(14);
    auto morning = seg(9), afternoon = seg(15), atMarker = seg(14, "exactly", 1);
    load({morning, atMarker, afternoon}, {m});
    auto items = store.sessionItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (SessionItem{m.id.string(), "", m.start, std::nullopt, m}));
    EXPECT_EQ(items[1], (SessionItem{"day:1714536000.0", "", at(kMay1), m.start, std::nullopt}));
    EXPECT_EQ(store.segmentsIn(items[0]), (std::vector<Segment>{atMarker, afternoon}));
    EXPECT_EQ(store.segmentsIn(items[1]), std::vector<Segment>{morning});
    EXPECT_EQ(store.currentSession(), items[0]);
}

TEST_F(SessionListTest, MarkersWithEqualStartsKeepStoredOrder) {
    auto first = marker(10, "first"), second = marker(10, "second");
    auto s = seg(11);
    load({s}, {first, second});
    auto items = store.sessionItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].marker, first);
    EXPECT_EQ(items[0].end, first.start);  // ends where it starts: holds nothing
    EXPECT_EQ(items[1].marker, second);
    EXPECT_FALSE(items[1].end);
    EXPECT_TRUE(store.segmentsIn(items[0]).empty());
    EXPECT_EQ(store.segmentsIn(items[1]), std::vector<Segment>{s});
    EXPECT_EQ(store.currentSession()->marker, second);
}

TEST_F(SessionListTest, RemovingASessionHandsItsSegmentsToThePreviousOne) {
    auto early = marker(9), late = marker(11);
    auto s = seg(12);
    store.append(s);
    store.sessions.set({early, late});
    store.removeSession(late.id);
    auto items = store.sessionItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(store.segmentsIn(items[0]), std::vector<Segment>{s});
}

TEST(SessionListDays, DaylightSavingDaysLast23And25Hours) {
    TempDir dir;
    UserCalendar ny("en_US", "America/New_York");
    TranscriptStore store(dir.path(), ny);
    struct Case {
        double midday, dayStart, nextDay;
    } cases[] = {
        {1710086400.0, 1710046800.0, 1710129600.0},  // 2024-03-10, clocks go forward
        {1730649600.0, 1730606400.0, 1730696400.0},  // 2024-11-03, clocks go back
    };
    for (const auto& c : cases) {
        store.segments.set({segment(c.midday - kBase, c.midday - kBase + 1, "x")});
        auto items = store.sessionItems();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].start, at(c.dayStart));
        EXPECT_EQ(items[0].end, at(c.nextDay));
        EXPECT_EQ(items[0].id, TranscriptStore::dayItemId(at(c.dayStart)));
    }
    EXPECT_EQ(TranscriptStore::dayItemId(at(1710046800.0)), "day:1710046800.0");
    EXPECT_EQ(TranscriptStore::dayItemId(at(0.25)), "day:0.25");
}

TEST(SessionListDays, ADayThatBeginsAfterMidnightEndsWhereTheNextDayBegins) {
    // Sao Paulo moved its clocks from 00:00 to 01:00 on 2018-11-04.
    TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("pt_BR", "America/Sao_Paulo"));
    const double nov4 = 1541300400.0, nov5 = 1541383200.0;
    store.segments.set({segment(nov4 + 11 * kHour - kBase, nov4 + 11 * kHour - kBase + 1, "a"),
                        segment(nov5 + 1800 - kBase, nov5 + 1801 - kBase, "b")});
    EXPECT_EQ(store.days(), (std::vector<Date>{at(nov5), at(nov4)}));
    EXPECT_EQ(store.segmentsOn(at(nov5)).size(), 1u);
}

TEST(SessionListDays, ADayWhoseMidnightRepeatsBeginsAtTheFirstMidnight) {
    // The Azores set their clocks back from 01:00 to 00:00 on 2024-10-27, so
    // that day's first half hour happens twice; the day begins at the first.
    TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("pt_PT", "Atlantic/Azores"));
    const double oct26 = 1729900800.0, oct27 = 1729987200.0, oct28 = 1730077200.0;
    auto early = segment(oct27 + 1800 - kBase, oct27 + 1801 - kBase, "first half hour");
    auto previous = segment(oct26 + 12 * kHour - kBase, oct26 + 12 * kHour + 1 - kBase, "before");
    store.segments.set({previous, early});
    auto items = store.sessionItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].start, at(oct27));
    EXPECT_EQ(items[0].end, at(oct28));
    EXPECT_EQ(store.segmentsIn(items[0]), std::vector<Segment>{early});
    EXPECT_EQ(items[1].start, at(oct26));
    EXPECT_EQ(items[1].end, at(oct27));
    EXPECT_EQ(store.segmentsIn(items[1]), std::vector<Segment>{previous});
    EXPECT_EQ(store.days(), (std::vector<Date>{at(oct27), at(oct26)}));
}

TEST_F(SessionListTest, SectionTitlesGoToTheFirstParagraphAfterEachMarker) {
    auto b1 = seg(8), b2 = seg(10), b3 = seg(12);
    auto unnamedEarly = marker(9), namedLater = marker(9.5, "Later"), unnamed = marker(11),
         afterAll = marker(13);
    load({b1, b2, b3}, {unnamedEarly, namedLater, unnamed, afterAll});
    auto titles = store.sessionStartBlocks();
    EXPECT_EQ(titles, (std::unordered_map<platform::Uuid, std::string>{{b2.id, "Later"},
                                                                       {b3.id, "11:00"}}));
}

TEST_F(SessionListTest, PreviewShowsAtMostTenWords) {
    std::string huge = "x";
    while (huge.size() < size_t(4 << 20)) huge += "\u00e9";  // two bytes each
    const std::string cutHuge = huge.substr(0, 399) + "\u2026";
    struct Case {
        const char* text;
        const char* preview;
    } cases[] = {
        {"one two  three four five six seven eight nine ten",
         "one two  three four five six seven eight nine ten"},
        {"one two three four five six seven eight nine ten eleven",
         "one two three four five six seven eight nine ten\u2026"},
        {" a  b c d e f g h i j k ", "a b c d e f g h i j\u2026"},
        {"a\tb\nc d e f g h i j k", "a\tb\nc d e f g h i j k"},  // only spaces split
        {"a b c d e f g h i j \u0301k",
         "a b c d e f g h i j \u0301k"},  // a space carrying an accent is no break
        // Megabytes with no space, cut between characters.
        {huge.c_str(), nullptr},
    };
    for (const auto& c : cases) {
        load({seg(10, c.text)}, {marker(9)});
        EXPECT_EQ(store.previewOf(*store.currentSession()), c.preview ? c.preview : cutHuge);
    }
    load({}, {marker(9)});
    EXPECT_EQ(store.previewOf(*store.currentSession()), "Nothing yet");
}

TEST_F(SessionListTest, RangeTextCoversOpenClosedAndEmptySessions) {
    auto closed = marker(9), empty = marker(11), open = marker(12);
    load({seg(9.5, "a", 60), seg(10, "b", 125)}, {closed, empty, open});
    auto items = store.sessionItems();  // newest first: open, empty, closed
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(store.rangeText(items[0]), "Now");
    EXPECT_EQ(store.rangeText(items[1]), "11:00");
    EXPECT_EQ(store.rangeText(items[2]), "09:30 \u2013 10:02");
    store.segments.mutate([](auto& l) { l.push_back(seg(12.25)); });
    EXPECT_EQ(store.rangeText(store.sessionItems()[0]), "12:15 \u2013 now");

    UserCalendar us("en_US", "America/New_York");
    EXPECT_EQ(us.shortTime(at(local(14))), "2:00\u202fPM");
    EXPECT_EQ(us.abbreviatedDate(at(local(14))), "May 1, 2024");
}

TEST(SessionListDayTitle, TodayAndYesterdayFollowTheInjectedClock) {
    double clock = 0;
    UserCalendar cal("en_US", "America/New_York", [&] { return at(clock); });
    struct Case {
        double now, date;
        const char* title;
    } cases[] = {
        {local(24) + 30, local(23.99), "Yesterday"},
        {local(24) + 30, local(24), "Today"},
        {local(24) + 30, local(-0.01), "Apr 30, 2024"},
        {local(24) - 1, local(0), "Today"},
        {local(24) - 1, local(-1), "Yesterday"},
        {local(24) - 1, local(24), "May 2, 2024"},  // tomorrow is just a date
    };
    for (const auto& c : cases) {
        clock = c.now;
        EXPECT_EQ(TranscriptStore::dayTitle(at(c.date), cal), c.title) << c.date;
    }
    clock = local(24) + 30;
    UserCalendar gb("en_GB", "America/New_York", [&] { return at(clock); });
    EXPECT_EQ(TranscriptStore::dayTitle(at(local(-0.01)), gb), "30 Apr 2024");
}

TEST_F(SessionListTest, ReadsRegisterTheFieldsTheyUse) {
    load({seg(9)}, {marker(8)});
    int fired = 0;
    auto token = platform::ObservationRegistrar::withObservationTracking(
        [&] { store.sessionItems(); }, [&] { ++fired; });
    store.append(seg(10));
    EXPECT_EQ(fired, 1);
}
