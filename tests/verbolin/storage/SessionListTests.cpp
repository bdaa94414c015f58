#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>

#include "StorageTestSupport.hpp"
#include "support/ScopedEnv.hpp"
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

// Each day item ends where the next day begins, whatever its length: a day
// of a clock change, the day before it, 25 hours long where the clocks go
// back at midnight into it (23:30 said twice), and a day that begins at one
// because they went forward at midnight. Its last words stay in it, and
// the next day's first half hour in the next day's item alone.
TEST(SessionListDays, DaylightSavingDaysLast23And25Hours) {
    struct Case {
        const char* zone;
        double said, dayStart, nextDay;
    } cases[] = {
        {"America/New_York", 1710086400.0, 1710046800.0, 1710129600.0},  // 2024-03-10, forward
        {"America/New_York", 1730649600.0, 1730606400.0, 1730696400.0},  // 2024-11-03, back
        // The days before, to their last half hour.
        {"America/New_York", 1710045000.0, 1709960400.0, 1710046800.0},  // 2024-03-09 23:30
        {"America/New_York", 1730604600.0, 1730520000.0, 1730606400.0},  // 2024-11-02 23:30
        {"Europe/Berlin", 1711837800.0, 1711753200.0, 1711839600.0},     // 2024-03-30 23:30
        {"Europe/Berlin", 1711879200.0, 1711839600.0, 1711922400.0},     // 2024-03-31, 23 h
        {"Europe/Berlin", 1729978200.0, 1729893600.0, 1729980000.0},     // 2024-10-26 23:30
        {"Europe/Berlin", 1730026800.0, 1729980000.0, 1730070000.0},     // 2024-10-27, 25 h
        // Clocks back from midnight to 23:00: the day before lasts 25 hours.
        {"America/Sao_Paulo", 1518917400.0, 1518832800.0, 1518922800.0},  // 2018-02-17 23:30
        {"America/Sao_Paulo", 1518921000.0, 1518832800.0, 1518922800.0},  // and again
        {"America/Santiago", 1712460600.0, 1712372400.0, 1712462400.0},   // 2024-04-06 23:30
        // Clocks forward from midnight: the day before ends at one, and the
        // day begins there and lasts 23 hours.
        {"America/Sao_Paulo", 1541298600.0, 1541214000.0, 1541300400.0},  // 2018-11-03 23:30
        {"America/Sao_Paulo", 1541340000.0, 1541300400.0, 1541383200.0},  // 2018-11-04
        {"America/Havana", 1710088200.0, 1710046800.0, 1710129600.0},     // 2024-03-10
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.said));
        TempDir dir;
        TranscriptStore store(dir.path(), UserCalendar("en_GB", c.zone));
        const Segment said = segment(c.said - kBase, c.said - kBase + 1, "said");
        const Segment next =
            segment(c.nextDay + 1800 - kBase, c.nextDay + 1801 - kBase, "the next day");
        store.segments.set({said, next});
        const auto items = store.sessionItems();
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[1].start, at(c.dayStart));
        EXPECT_EQ(items[1].end, at(c.nextDay));
        EXPECT_EQ(items[1].id, TranscriptStore::dayItemId(at(c.dayStart)));
        EXPECT_EQ(store.segmentsIn(items[1]), std::vector<Segment>{said});
        EXPECT_EQ(items[0].start, at(c.nextDay));
        EXPECT_EQ(store.segmentsIn(items[0]), std::vector<Segment>{next});
        EXPECT_EQ(store.days(), (std::vector<Date>{at(c.nextDay), at(c.dayStart)}));
        const auto& entries = store.sessionSummaries().entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[1].day, at(c.dayStart));
        EXPECT_EQ(entries[1].lastEnd, said.end);
        EXPECT_EQ(entries[0].firstStart, next.start);
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
        {"a b c d e f g h i j \u0301k l m", "a b c d e f g h i j \u0301k\u2026"},
        {"a b c d e f g h i j k ", "a b c d e f g h i j\u2026"},
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

    // One set of titles kept over many days, in any order and across the
    // change to summer time (2024-03-10), says what each day's own does.
    TranscriptStore::DayTitles titles(cal);
    for (double h : {24.5, 23.99, -0.01, -1.0, 2.0, -24.0 * 52 + 1.5, -24.0 * 52 + 3.5,
                     -24.0 * 52 - 0.5, 30.0, -0.01, -24.0 * 400})
        EXPECT_EQ(titles(at(local(h))), TranscriptStore::dayTitle(at(local(h)), cal)) << h;
}

// A formatter kept over many dates writes each as a formatter of its own
// does: at minutes of the day met before, across clock changes, in zones
// whose offsets hold seconds or quarter hours, with day periods and literals.
TEST(SessionListTimes, AKeptFormatterWritesWhatEachDatesOwnDoes) {
    const std::pair<const char*, const char*> cases[] = {
        {"en_US", "America/New_York"}, {"de_DE", "Europe/Amsterdam"}, {"fr_CA", "Africa/Monrovia"},
        {"zh_TW", "Australia/Eucla"},  {"ko_KR", "Pacific/Chatham"},  {"en_US", "Not/AZone"},
    };
    std::mt19937_64 random(7);
    for (const auto& [locale, zone] : cases) {
        const UserCalendar calendar(locale, zone);
        UserCalendar::TimeFormatter kept(calendar);
        // From 1930 (offsets with seconds) to 2030, and every few minutes
        // around a night of a clock change.
        std::vector<double> seconds;
        for (int i = 0; i < 600; ++i)
            seconds.push_back(-1.25e9 + double(random() % 2'300'000'000) + 0.001 * (i % 1000));
        for (int i = 0; i < 200; ++i) seconds.push_back(1710050000.0 + 419.5 * i);
        for (double t : seconds)
            ASSERT_EQ(kept.shortTime(at(t)), calendar.shortTime(at(t)))
                << locale << " " << zone << " " << t;
    }
}

TEST_F(SessionListTest, ReadsRegisterTheFieldsTheyUse) {
    load({seg(9)}, {marker(8)});
    int fired = 0;
    auto token = platform::ObservationRegistrar::withObservationTracking(
        [&] { store.sessionItems(); }, [&] { ++fired; });
    store.append(seg(10));
    EXPECT_EQ(fired, 1);
}

namespace {

// What the sidebar showed of each item when it walked every segment for
// each: the reference the summaries must match, whatever changed.
void expectSummariesMatchAWalk(const TranscriptStore& store, const UserCalendar& calendar,
                               const std::string& step) {
    const auto& all = store.segments.peek();
    const auto items = TranscriptStore::sessionItems(all, store.sessions.peek(), calendar);
    const auto& entries = store.sessionSummaries().entries();
    ASSERT_EQ(entries.size(), items.size()) << step;
    // Each segment is shown under one item: a day ends where the next begins.
    for (const Segment& s : all)
        EXPECT_EQ(std::count_if(items.begin(), items.end(),
                                [&](const SessionItem& item) {
                                    return s.start >= item.start &&
                                           (!item.end || s.start < *item.end);
                                }),
                  1)
            << step << " " << platform::secondsSince1970(s.start);
    for (size_t i = 0; i < items.size(); ++i) {
        const SessionItem& item = items[i];
        const Segment *first = nullptr, *last = nullptr;
        std::vector<Segment> in;
        for (const Segment& s : all)
            if (s.start >= item.start && (!item.end || s.start < *item.end)) {
                if (!first) first = &s;
                last = &s;
                in.push_back(s);
            }
        EXPECT_EQ(store.segmentsIn(item), in) << step << " " << item.id;
        std::string range = !first      ? (item.end ? calendar.shortTime(item.start) : "Now")
                            : !item.end ? calendar.shortTime(first->start) + " \u2013 now"
                                        : calendar.shortTime(first->start) + " \u2013 " +
                                              calendar.shortTime(last->end);
        ASSERT_EQ(entries[i].item, item) << step << " #" << i;
        EXPECT_EQ(store.previewOf(item), first ? sessionPreview(first->text) : "Nothing yet")
            << step << " " << item.id;
        EXPECT_EQ(store.rangeText(item), range) << step << " " << item.id;
        EXPECT_EQ(entries[i].day, calendar.startOfDay(first ? first->start : item.start))
            << step << " " << item.id;
    }
}

std::string words(std::mt19937& random, int count) {
    static const char* const kWords[] = {"the",  "minutes", "of",  "today's", "call",
                                         "ship", "it",      "and", "then",    "review"};
    std::string out;
    for (int i = 0; i < count; ++i)
        out += (i ? " " : "") + std::string(kWords[random() % std::size(kWords)]);
    return out;
}

}  // namespace

// Six days around a clock change, or from the day before it, dictated at
// any hour (across midnight too), the first days before any session; then
// edits, undo, deletes, renames, merges, new sessions, a whole rewrite and
// an utterance stamped before the last (a clock set back), each followed
// by a check against a walk.
TEST(SessionSummaries, MatchAWalkOfEverySegmentAfterEveryChange) {
    struct Case {
        const char* name;
        double firstDay;  // local midnight
        const char* zone;
        bool memoryOnly = false;  // no database: its folder cannot be made
    } cases[] = {
        {"clocks go back", 1730433600.0, "America/New_York"},              // 2024-11-01
        {"clocks go forward", 1709874000.0, "America/New_York"},           // 2024-03-08
        {"a day that starts at one", 1541127600.0, "America/Sao_Paulo"},   // 2018-11-02
        {"the day before clocks go back", 1729893600.0, "Europe/Berlin"},  // 2024-10-26
        {"a day before of 25 hours", 1518832800.0, "America/Sao_Paulo"},   // 2018-02-17
        {"from memory alone", 1730433600.0, "America/New_York", true},
    };
    for (const auto& c : cases) {
        std::mt19937 random(7);
        double now = c.firstDay;
        UserCalendar calendar("en_US", c.zone, [&] { return at(now); });
        TempDir dir, state;
        const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
        std::ofstream(dir.path() / "file") << "x";
        const StorageLogCapture log;
        TranscriptStore store(c.memoryOnly ? dir.path() / "file" / "Verbolin" : dir.path(),
                              calendar);
        ASSERT_EQ(store.db() == nullptr, c.memoryOnly);
        const auto say = [&](double gapSeconds) {
            now += gapSeconds;
            Segment s;
            s.start = at(now);
            s.end = at(now + 4);
            s.text = words(random, 3 + int(random() % 14));
            store.append(s);
            now += 5;
        };
        for (int i = 0; i < 180; ++i) {
            if (i >= 60 && random() % 9 == 0)
                store.startSession(random() % 2 ? std::optional<std::string>("Call")
                                                : std::nullopt);
            if (i >= 60 && random() % 11 == 0)
                store.startSession(std::nullopt);  // nothing said in it
            say(600 + double(random() % 4000));
        }
        expectSummariesMatchAWalk(store, calendar, std::string(c.name) + " as dictated");

        for (int step = 0; step < 250; ++step) {
            // Mostly the first or last paragraph of an item, whose change
            // shows in it.
            const auto blocks = store.allBlocks();
            const auto items = store.sessionItems();
            const SessionItem item = items[random() % items.size()];
            const auto inItem = [&](const Block& b) {
                const auto t = b.segments.front().start;
                return t >= item.start && (!item.end || t < *item.end);
            };
            auto chosen = std::find_if(blocks->begin(), blocks->end(), inItem);
            const auto pick = random() % 4;
            if (pick == 1 && chosen != blocks->end())
                while (chosen + 1 != blocks->end() && inItem(*(chosen + 1))) ++chosen;
            if (pick >= 2 || chosen == blocks->end())
                chosen = blocks->begin() + std::ptrdiff_t(random() % blocks->size());
            const Block block = *chosen;
            const auto& markers = store.sessions.peek();
            const SessionMarker marker =
                markers.empty() ? SessionMarker{} : markers[random() % markers.size()];
            int op = int(random() % 9);
            if (markers.empty() && (op == 4 || op == 5)) op = 6;
            switch (op) {
                case 0:
                    store.replace(block, words(random, 12));
                    break;
                case 1:
                    store.replace(block, " ");
                    break;  // emptied: deleted
                case 2:
                    store.deleteBlocks({block});
                    break;
                case 3: {  // an edit undone
                    const std::vector<Segment> before(block.segments.begin(), block.segments.end());
                    store.replace(block, words(random, 2));
                    store.replaceSegments(store.segmentsWithIds({block.id}), before);
                    break;
                }
                case 4:
                    store.rename(marker.id, random() % 2 ? "Renamed" : " ");
                    break;
                case 5:
                    store.removeSession(marker.id);
                    break;
                case 6:
                    store.startSession(std::nullopt);
                    say(30);
                    break;
                case 7: {  // written whole, as a reload from disk does
                    std::vector<Segment> all = store.segments.peek();
                    all[random() % all.size()].text = words(random, 20);
                    store.segments.set(std::move(all));
                    break;
                }
                default:
                    say(double(random() % 90000));
                    break;
            }
            expectSummariesMatchAWalk(store, calendar,
                                      std::string(c.name) + " step " + std::to_string(step) +
                                          " op " + std::to_string(op));
            if (HasFatalFailure()) return;
        }
        now -= 7200;  // the clock set back two hours
        say(0);
        EXPECT_FALSE(store.sessionSummaries().segmentsSorted());
        expectSummariesMatchAWalk(store, calendar, std::string(c.name) + " clock set back");
        store.replace((*store.allBlocks())[3], "an edit while out of order");
        expectSummariesMatchAWalk(store, calendar, std::string(c.name) + " edited out of order");
    }
}

namespace {

// Days of dictation as a user makes them: 220 utterances a day in four
// sessions, the first of each day's session at nine.
void dictateDays(TranscriptStore& store, int days) {
    std::vector<Segment> all;
    std::vector<SessionMarker> markers;
    for (int d = 0; d < days; ++d)
        for (int i = 0; i < 220; ++i) {
            const double t = kBase + d * 86400.0 + i * 120.0;
            if (i % 55 == 0) markers.push_back({platform::Uuid::random(), at(t - 1), std::nullopt});
            Segment s;
            s.start = at(t);
            s.end = at(t + 9);
            s.text = "utterance " + std::to_string(d) + " " + std::to_string(i) +
                     " of a few ordinary words said into the microphone";
            all.push_back(std::move(s));
        }
    store.segments.set(std::move(all));
    store.sessions.set(std::move(markers));
}

}  // namespace

// A stored change reads its own session, whatever the transcript's length:
// a year's reads stay within a small multiple of a day's (a binary search
// deeper), where a walk would read 365 times as many.
TEST(SessionSummaries, AStoredChangeReadsItsOwnSessionAlone) {
    struct Case {
        const char* name;
        std::function<void(TranscriptStore&)> change;
    } cases[] = {
        {"first words edited",
         [](TranscriptStore& store) {
             store.replace(*store.allBlocks()->begin(), "new first words");
         }},
        {"an utterance appended",
         [](TranscriptStore& store) {
             Segment s;
             s.start = store.segments.peek().back().end + std::chrono::seconds(1);
             s.end = s.start + std::chrono::seconds(2);
             s.text = "appended";
             store.append(s);
         }},
        {"a paragraph deleted",
         [](TranscriptStore& store) { store.deleteBlocks({(*store.allBlocks())[1]}); }},
        {"an edit undone",
         [](TranscriptStore& store) {
             const Block block = (*store.allBlocks())[1];
             const std::vector<Segment> before(block.segments.begin(), block.segments.end());
             store.replace(block, "edited");
             store.replaceSegments(store.segmentsWithIds({block.id}), before);
         }},
        {"a session renamed",
         [](TranscriptStore& store) { store.rename(store.sessions.peek()[0].id, "Named"); }},
    };
    for (const auto& c : cases) {
        size_t reads[2] = {};
        for (int days : {1, 365}) {
            TempDir dir;
            TranscriptStore store(dir.path(), UserCalendar("en_US", "UTC"));
            dictateDays(store, days);
            const auto before = store.sessionSummaries().work();
            c.change(store);
            const auto after = store.sessionSummaries().work();
            EXPECT_EQ(after.rebuilds, before.rebuilds) << c.name << " " << days;
            EXPECT_LE(after.entriesComputed - before.entriesComputed, 2u) << c.name << " " << days;
            reads[days > 1] = after.segmentsRead - before.segmentsRead;
            expectSummariesMatchAWalk(store, UserCalendar("en_US", "UTC"), c.name);
        }
        EXPECT_LE(reads[1], 4 * reads[0] + 8) << c.name << ": " << reads[0] << " then " << reads[1];
    }
}
