#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <tuple>

#include "StorageTestSupport.hpp"
#include "support/DictationTranscript.hpp"
#include "support/ScopedEnv.hpp"
#include "verbolin/storage/BlockLineage.hpp"
#include "verbolin/storage/StorageLog.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using namespace storage_test;
using platform::Uuid;

namespace {

// What each commit that changes the full-text index runs after its rows.
constexpr const char* kMergeStep =
    "INSERT INTO segments_fts(segments_fts, rank) VALUES ('merge', 16)";
// What every write runs first: whether another program committed meanwhile.
constexpr const char* kLookFirst = "PRAGMA data_version";

UserCalendar fixedCalendar(double now = kBase) {
    return UserCalendar("en_GB", "Europe/London", [now] { return at(now); });
}

// Counts the notifications of one observable field.
struct Counter {
    int calls = 0;
    platform::ObservationToken token;
    template <class T>
    explicit Counter(platform::Observable<T>& field) : token(field.observe([this] { ++calls; })) {}
};

class StoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::unique_ptr<TranscriptStore> store =
        std::make_unique<TranscriptStore>(dir.path(), fixedCalendar());

    std::vector<Segment> reopened() {
        store.reset();
        store = std::make_unique<TranscriptStore>(dir.path(), fixedCalendar());
        return store->segments.peek();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& s : store->segments.peek()) out.push_back(s.text);
        return out;
    }
};

// A store whose folder cannot be made: its parent is a file.
std::filesystem::path unmakeableFolder(const TempDir& dir) {
    std::ofstream(dir.path() / "file") << "x";
    return dir.path() / "file" / "Verbolin";
}

// Each session's title under its first paragraph, found by a walk.
std::unordered_map<Uuid, std::string> firstParagraphs(const TranscriptStore& store,
                                                      const std::vector<Block>& blocks) {
    std::unordered_map<Uuid, std::string> titles;
    for (const SessionMarker& m : store.sessions.peek()) {
        const auto it = std::find_if(blocks.begin(), blocks.end(), [&](const Block& b) {
            return b.segments.front().start >= m.start;
        });
        if (it != blocks.end())
            titles[it->id] = m.name.value_or(store.calendar().shortTime(m.start));
    }
    return titles;
}

// Where the paragraphs holding any of `ids` are, found by a walk.
std::vector<size_t> holding(const std::vector<Block>& blocks, const std::unordered_set<Uuid>& ids) {
    std::vector<size_t> found;
    for (size_t i = 0; i < blocks.size(); ++i)
        if (std::any_of(blocks[i].segments.begin(), blocks[i].segments.end(),
                        [&](const Segment& s) { return ids.count(s.id) > 0; }))
            found.push_back(i);
    return found;
}

}  // namespace

TEST_F(StoreTest, AppendStoresNonEmptyTextAndAlwaysEndsTheSpeakingState) {
    store->preview.set("partial");
    store->isSpeaking.set(true);
    Counter segmentsChanged(store->segments);
    StatementSpy spy(store->db()->handle());
    store->append(segment(0, 1, ""));
    EXPECT_EQ(store->preview.peek(), "");
    EXPECT_FALSE(store->isSpeaking.peek());
    EXPECT_TRUE(store->segments.peek().empty());
    EXPECT_EQ(segmentsChanged.calls, 0);
    EXPECT_TRUE(spy.statements().empty());

    auto space = segment(0, 1, " ");
    store->append(space);
    EXPECT_EQ(segmentsChanged.calls, 1);
    // The row, and a step of the index's merging, in one transaction.
    EXPECT_EQ(spy.statements(),
              (std::vector<std::string>{kLookFirst, "BEGIN",
                                        "INSERT OR REPLACE INTO segments (id, start, end, text, "
                                        "edited, original) VALUES (?, ?, ?, ?, ?, ?)",
                                        kMergeStep, "COMMIT"}));
    EXPECT_EQ(reopened(), std::vector<Segment>{space});
}

TEST_F(StoreTest, LiveFieldsNotifyOnlyOnChange) {
    Counter preview(store->preview), speaking(store->isSpeaking), level(store->level);
    store->preview.set("");
    store->isSpeaking.set(false);
    store->level.set(0.0f);
    EXPECT_EQ(preview.calls + speaking.calls + level.calls, 0);
    store->preview.set("a");
    store->isSpeaking.set(true);
    store->level.set(NAN);
    store->level.set(NAN);
    EXPECT_EQ(preview.calls, 1);
    EXPECT_EQ(speaking.calls, 1);
    EXPECT_EQ(level.calls, 2);
    // Appending clears both live fields, each telling its observers once.
    store->append(segment(0, 1, "x"));
    EXPECT_EQ(preview.calls, 2);
    EXPECT_EQ(speaking.calls, 2);
}

TEST(TranscriptStoreBlocks, GroupsByTheGapBetweenEndAndNextStart) {
    struct Case {
        const char* name;
        double secondStart;
        size_t blocks;
    } cases[] = {
        {"just under the gap", 1 + 2.999, 1},
        {"exactly the gap", 1 + 3.0, 2},
        {"overlapping", 0.5, 1},
        {"far apart", 100, 2},
    };
    for (const auto& c : cases) {
        auto a = segment(0, 1, "a");
        auto b = segment(c.secondStart, c.secondStart + 1, "b");
        auto blocks = TranscriptStore::blocks({a, b}, TranscriptStore::paragraphGap);
        ASSERT_EQ(blocks.size(), c.blocks) << c.name;
        EXPECT_EQ(blocks[0].id, a.id) << c.name;
        if (c.blocks == 2) {
            EXPECT_EQ(blocks[1].id, b.id) << c.name;
        }
    }
    EXPECT_TRUE(TranscriptStore::blocks({}, 3.0).empty());
    // The gap is measured from the previous segment's end, not the block's latest end.
    auto longOne = segment(0, 10, "long");
    auto inside = segment(1, 2, "inside");
    auto after = segment(5.5, 6, "after");
    EXPECT_EQ(TranscriptStore::blocks({longOne, inside, after}, 3.0).size(), 2u);
}

TEST_F(StoreTest, AllBlocksIsBuiltOncePerChangeOfSegments) {
    store->append(segment(0, 1, "one"));
    auto first = store->allBlocks();
    EXPECT_EQ(store->allBlocks(), first);  // same array, not regrouped

    struct Step {
        const char* name;
        std::function<void()> change;
    } steps[] = {
        {"append", [&] { store->append(segment(1.5, 2, "two")); }},
        {"equal assignment", [&] { store->segments.set(store->segments.peek()); }},
        {"replace", [&] { store->replace(store->allBlocks()->front(), "merged"); }},
        {"append far", [&] { store->append(segment(50, 51, "three")); }},
        {"undo of the edit",
         [&] {
             const Segment merged = store->segments.peek().front();
             Segment back = merged;
             back.text = "one two";
             back.edited = false;
             store->replaceSegments({merged}, {back});
         }},
        {"a segment put in between", [&] { store->replaceSegments({}, {segment(20, 21, "x")}); }},
        {"delete", [&] { store->deleteBlocks({store->allBlocks()->back()}); }},
        {"delete of one gone",
         [&] {
             store->deleteBlocks({Block{Uuid::random(), {}}});
         }},
    };
    for (auto& step : steps) {
        auto before = store->allBlocks();
        step.change();
        auto after = store->allBlocks();
        EXPECT_NE(after, before) << step.name;
        EXPECT_EQ(*after, TranscriptStore::blocks(store->segments.peek(), 3.0)) << step.name;
        EXPECT_EQ(store->allBlocks(), after) << step.name;
    }
    EXPECT_EQ(texts(), (std::vector<std::string>{"one two", "x"}));
}

namespace {

// The session titles as the markers make them; the very same map as
// `before` when equal to it.
void expectTitles(const TranscriptStore& store, const std::vector<Block>& now,
                  const TranscriptStore::StartTitles& before) {
    EXPECT_EQ(store.sessionStartBlocks(), firstParagraphs(store, now));
    if (*before == store.sessionStartBlocks()) {
        EXPECT_EQ(before, store.sharedSessionStartBlocks());
    }
}

// Grouped whole, a paragraph reads its segments where the store holds them,
// unless they cross from one chunk into the next.
void expectReadInPlace(const SegmentSequence& held, const std::vector<Block>& whole) {
    size_t position = 0;
    for (const Block& b : whole) {
        const size_t last = position + b.segments.size() - 1;
        if (held.chunkOf(position) == held.chunkOf(last)) {
            ASSERT_EQ(&b.segments.front(), &held[position]) << position;
        }
        position = last + 1;
    }
}

std::vector<Segment> inStartOrder(std::vector<Segment> list) {
    std::sort(list.begin(), list.end(), [](const Segment& a, const Segment& b) {
        return std::tie(a.start, a.id) < std::tie(b.start, b.id);
    });
    return list;
}

}  // namespace

TEST_F(StoreTest, ParagraphsFollowEveryKindOfChangeAsAGroupingOfAllWould) {
    // Edits, their undo, merges, splits, deletions, appends and writes from
    // elsewhere, in random order, with gaps on both sides of the paragraph
    // gap, overlaps and starts shared by several segments.
    for (const int batch : {0, 700}) {
        SCOPED_TRACE(batch);
        if (const auto left = store->allBlocks(); !left->empty()) store->deleteBlocks(*left);
        std::mt19937 random(7);
        const auto pick = [&](size_t n) {
            return std::uniform_int_distribution<size_t>(0, n - 1)(random);
        };
        const double gaps[] = {0.5, 2.999, 3.0, 3.001, 40, -1.5, 0};
        double end = 0;
        int made = 0;
        const auto next = [&](double at) {
            const double start = at + gaps[pick(std::size(gaps))];
            end = std::max(end, start + double(pick(3)));
            return segment(start, start + double(pick(3)), "s" + std::to_string(made++));
        };
        for (int i = 0; i < 30; ++i) store->append(next(end));
        // Then, in the second round, enough at once to fill several chunks.
        std::vector<Segment> many;
        for (int i = 0; i < batch; ++i) many.push_back(next(end));
        store->replaceSegments({}, many);
        // Sessions begin among the paragraphs, and past the last.
        std::vector<SessionMarker> markers;
        for (double offset : {-1.0, 20.0, 21.0, 60.0, 1e6})
            markers.push_back({Uuid::random(), at(kBase + offset), "at " + std::to_string(offset)});
        markers[2].name.reset();
        store->sessions.set(markers);
        std::vector<std::pair<std::vector<Segment>, std::vector<Segment>>> done;  // before, after
        for (int step = 0; step < 400; ++step) {
            SCOPED_TRACE(step);
            if (store->allBlocks()->empty()) store->append(next(end));
            const auto before = store->allBlocks();
            const auto titlesBefore = store->sharedSessionStartBlocks();
            const std::vector<Block>& blocks = *before;
            const Block& some = blocks[pick(blocks.size())];
            const std::vector<Segment> its(some.segments.begin(), some.segments.end());
            switch (step % 150 == 149 ? 8 : pick(8)) {
                case 8: {  // many at once: a batch put in, or half the paragraphs deleted
                    if (step % 300 == 149) {
                        std::vector<Segment> batch;
                        for (int i = 0; i < 300; ++i) batch.push_back(next(end - 600));
                        store->replaceSegments({}, batch);
                    } else {
                        store->deleteBlocks({blocks.begin(), blocks.begin() + blocks.size() / 2});
                    }
                    break;
                }
                case 0:
                    store->append(next(end));
                    break;
                case 1: {  // an edit of a whole paragraph, which merges it
                    const std::vector<Segment> after{
                        TranscriptStore::editedSegment(some, some.text() + " e")};
                    store->replaceSegments(its, after);
                    done.emplace_back(its, after);
                    break;
                }
                case 2:  // its undo
                    if (!done.empty()) {
                        store->replaceSegments(done.back().second, done.back().first);
                        done.pop_back();
                    }
                    break;
                case 3:
                    store->replace(some, pick(4) ? some.text() + " r" : " ");
                    break;
                case 4:
                    store->deleteBlocks({some, blocks[pick(blocks.size())]});
                    break;
                case 5: {  // one of its segments split around a pause, or moved in time
                    Segment first = its[pick(its.size())],
                            second = next(platform::secondsSince1970(first.end) - kBase);
                    first.text += " split";
                    store->replaceSegments({its.front()}, {first, second});
                    break;
                }
                case 6:  // a segment put in between two paragraphs, which may join them
                    store->replaceSegments(
                        {}, {next(platform::secondsSince1970(some.segments.back().end) - kBase)});
                    break;
                default:
                    store->segments.set(std::vector<Segment>(store->segments.peek()));
                    break;
            }
            const auto now = store->allBlocks();
            const std::vector<Block> whole = TranscriptStore::blocks(store->segments.peek(), 3.0);
            ASSERT_EQ(*now, whole);
            expectReadInPlace(store->segments.peek(), whole);
            // What an array says it took over is the very same.
            const auto kept = BlockLineage::takenOver(before, now).value_or(0);
            for (size_t i = 0; i < kept; ++i)
                ASSERT_TRUE((*now)[i].segments.sharesSegmentsWith(blocks[i].segments)) << i;
            expectTitles(*store, *now, titlesBefore);
            if (step % 50 == 0) {  // a session renamed
                markers[1].name = "renamed " + std::to_string(step);
                store->sessions.set(markers);
            }
            // Asked by id, a paragraph's segments come in its order.
            if (now->empty()) continue;
            const Block& asked = (*now)[pick(now->size())];
            std::vector<Uuid> ids;
            for (const Segment& s : asked.segments) ids.insert(ids.begin(), s.id);
            EXPECT_EQ(store->segmentsWithIds(ids),
                      std::vector<Segment>(asked.segments.begin(), asked.segments.end()));
            // The paragraphs that hold some ids, one of them held nowhere.
            const std::unordered_set<Uuid> wanted{ids.front(), (*now)[pick(now->size())].id,
                                                  Uuid::random()};
            EXPECT_EQ(store->paragraphsHolding(wanted), holding(*now, wanted));
            for (const char* query : {"s1", "e split"})
                EXPECT_EQ(store->paragraphsMatching(query), holding(*now, store->search(query)));
        }
        // Memory keeps a segment said out of order where it was said, and the
        // file reads them back in start order: the same segments.
        const std::vector<Segment> inMemory = store->segments.peek(), back = reopened();
        EXPECT_EQ(batch ? inStartOrder(back) : back, batch ? inStartOrder(inMemory) : inMemory);
    }
}

TEST_F(StoreTest, AnAppendExtendsTheParagraphsAsARegroupingWouldAndLeavesTheOldArrayAlone) {
    // Each append starts `after` seconds past the last segment's end.
    struct Step {
        double after;
        bool readFirst;  // the paragraphs were asked for before the append
        bool joins;      // the segment joins the last paragraph
    };
    const Step steps[] = {
        {0, false, false},   {0.5, true, true},    {3.0, true, false},  // exactly the gap: apart
        {2.999, true, true}, {-1.5, true, true},   {100, true, false}, {0, false, true},
        {1, true, true},     {86400, true, false}, {0.25, true, true},
    };
    double end = 0;
    int n = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(n);
        std::shared_ptr<const std::vector<Block>> before;
        std::vector<std::string> beforeTexts;
        if (step.readFirst) {
            before = store->allBlocks();
            for (const Block& b : *before) beforeTexts.push_back(b.text());
        }
        const double start = end + step.after;
        end = start + 2;
        store->append(segment(start, end, "segment " + std::to_string(n++)));
        const auto grouped = store->allBlocks();
        EXPECT_EQ(*grouped, TranscriptStore::blocks(store->segments.peek(), 3.0));
        if (!before) continue;
        ASSERT_EQ(grouped->size(), before->size() + (step.joins ? 0 : 1));
        // The array a reader still holds reads as it did.
        std::vector<std::string> nowTexts;
        for (const Block& b : *before) nowTexts.push_back(b.text());
        EXPECT_EQ(nowTexts, beforeTexts);
        // The paragraphs the segment left alone are the very same ones.
        const size_t kept = before->size() - (step.joins ? 1 : 0);
        for (size_t i = 0; i < before->size(); ++i)
            EXPECT_EQ((*grouped)[i].segments.sharesSegmentsWith((*before)[i].segments), i < kept)
                << i;
    }
    // After a regrouping (an edit), appends extend again.
    store->replace(store->allBlocks()->front(), "edited first paragraph");
    const auto edited = store->allBlocks();
    store->append(segment(end + 1, end + 2, "joins the last"));
    EXPECT_EQ(*store->allBlocks(), TranscriptStore::blocks(store->segments.peek(), 3.0));
    EXPECT_TRUE(store->allBlocks()->front().segments.sharesSegmentsWith(edited->front().segments));
    EXPECT_EQ(store->allBlocks()->front().text(), "edited first paragraph");
}

TEST_F(StoreTest, ObserversOfSegmentsSeeFreshParagraphs) {
    store->append(segment(0, 1, "one"));
    (void)store->allBlocks();
    std::vector<size_t> seen;
    auto token = store->segments.observe([&] { seen.push_back(store->allBlocks()->size()); });
    store->append(segment(10, 11, "two"));
    store->segments.set(
        store->segments.peek());  // equal: no observer, but the cache is still dropped
    store->deleteBlocks({store->allBlocks()->front()});
    EXPECT_EQ(seen, (std::vector<size_t>{2, 1}));
}

TEST_F(StoreTest, CachedBlocksDoNotRegisterAReadOfSegments) {
    store->append(segment(0, 1, "one"));
    int fired = 0;
    auto rebuilt = platform::ObservationRegistrar::withObservationTracking(
        [&] { store->allBlocks(); }, [&] { ++fired; });
    auto cached = platform::ObservationRegistrar::withObservationTracking(
        [&] { store->allBlocks(); }, [&] { fired += 10; });
    store->append(segment(1, 2, "two"));
    EXPECT_EQ(fired, 1);  // only the read that had to group depends on segments
}

TEST_F(StoreTest, SearchUsesTheFullTextIndexAndTrimsOnlyBlanks) {
    auto hello = segment(0, 1, "Hello world");
    store->append(hello);
    EXPECT_TRUE(store->search(" \t ").empty());
    EXPECT_EQ(store->search("  hel  "), std::unordered_set<Uuid>{hello.id});
    EXPECT_EQ(store->search("hello\n"),
              std::unordered_set<Uuid>{hello.id});  // the index splits at the newline
}

TEST(TranscriptStoreMemoryOnly, WorksWithoutADatabaseAndLogsWhy) {
    TempDir dir, state, temporary;
    const testsupport::ScopedEnv stateHome("XDG_STATE_HOME", state.path().string());
    const testsupport::ScopedEnv tmp("TMPDIR", temporary.path().string());
    std::vector<std::string> logged;
    auto old = setStorageLogSink([&](const std::string& line) { logged.push_back(line); });
    TranscriptStore store(unmakeableFolder(dir), fixedCalendar());
    setStorageLogSink(old);
    EXPECT_EQ(store.db(), nullptr);
    ASSERT_GE(logged.size(), 2u);  // the folder, then the database
    EXPECT_NE(logged.back().find("Cannot open"), std::string::npos);

    auto a = segment(0, 1, "the Straße is long");
    auto b = segment(10, 11, "hello there");
    store.append(a);
    store.append(b);
    EXPECT_EQ(store.segments.peek().size(), 2u);
    struct Case {
        const char* query;
        std::unordered_set<Uuid> expected;
    } cases[] = {
        {"HELLO", {b.id}}, {"  THERE\t", {b.id}}, {"strasse", {a.id}},  // full case folding
        {"hello\n", {}},   // a line break is not trimmed and is part of the text searched for
        {"o th", {b.id}},  // a plain substring, not word prefixes
        {"hallo", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(store.search(c.query), c.expected) << c.query;

    auto marker = store.startSession("Talk");
    store.rename(marker.id, " Renamed ");
    EXPECT_EQ(store.sessions.peek().front().name, "Renamed");
    store.replace(store.allBlocks()->front(), "edited");
    store.deleteBlocks({store.allBlocks()->back()});
    EXPECT_EQ(store.segments.peek().size(), 1u);
    EXPECT_EQ(store.segments.peek().front().text, "edited");
}

TEST(TranscriptStoreSearch, ParagraphsMatchingAreThoseHoldingWhatTheSearchFinds) {
    TempDir dir;
    testsupport::writeTranscript(dir.path(),
                                 testsupport::makeDictation({.days = 20, .wordsMax = 12}));
    TranscriptStore store(dir.path(), fixedCalendar());
    const std::vector<Segment> all = store.segments.peek();
    ASSERT_GT(all.size(), 2000u);
    // Starts shared with a stored segment, finer than the file keeps, and
    // before everything; each found by a word of its own.
    Segment twin = all[all.size() / 2], finer = all[all.size() / 3], first = all.front();
    twin.id = Uuid::random(), twin.text = "twin zephyrine";
    finer.id = Uuid::random(), finer.text = "finer", finer.start += std::chrono::nanoseconds(7);
    first.id = Uuid::random(), first.text = "first", first.start -= std::chrono::hours(1);
    // Written after the rest, among the newest paragraphs: more words of one
    // prefix than are spelled out, and one of another script.
    Segment many = all[all.size() - 40], last = all[all.size() - 20], other = all[all.size() - 60];
    many.id = Uuid::random(), many.start += std::chrono::milliseconds(1), many.text = "";
    for (int i = 0; i < 69; ++i) many.text += "qa" + std::to_string(i) + " ";
    last.id = Uuid::random(), last.start += std::chrono::milliseconds(1), last.text = "qa9";
    other.id = Uuid::random(), other.start += std::chrono::milliseconds(1);
    other.text = "Ma\u00f1ana caf\u00e9-bar";
    store.replaceSegments({}, {twin, finer, first, many, last, other});
    ASSERT_FALSE(store.hasUnsavedChanges());
    const std::string rare = testsupport::rareWord;
    for (const std::string& query :
         {rare, std::string("ma"), std::string("M"), rare + " the", std::string("twin"),
          std::string(" FINER\t"), std::string("first"), std::string("\""), std::string("nowhere"),
          std::string(" "), std::string("qa"), std::string("QA1 ma"), std::string("man"),
          std::string("caf\u00e9-b"), std::string("ZEPH mo"), std::string("x9")}) {
        const std::vector<size_t> found = store.paragraphsMatching(query);
        EXPECT_EQ(found, store.paragraphsHolding(store.search(query))) << query;
        EXPECT_EQ(found, holding(*store.allBlocks(), store.search(query))) << query;
        // The newest: every match from where they reach back to, and as
        // many as were wanted unless they reach back to the start.
        for (const size_t wanted : {size_t(1), size_t(16), size_t(150), size_t(100000)}) {
            const auto newest = store.newestParagraphsMatching(query, wanted);
            const auto tail = std::lower_bound(found.begin(), found.end(), newest.from);
            EXPECT_EQ(newest.paragraphs, std::vector<size_t>(tail, found.end()))
                << query << " " << wanted;
            if (newest.from > 0) {
                EXPECT_GE(newest.paragraphs.size(), wanted) << query;
            }
        }
        // Any stretch: what the whole search finds in it, edges shared
        // with the stretch beside included once.
        const size_t count = store.allBlocks()->size();
        for (const auto& [from, to] : {std::pair<size_t, size_t>{0, count},
                                       {0, 1},
                                       {count / 3, count / 2},
                                       {count - 7, count},
                                       {5, 5}}) {
            const auto among = store.paragraphsMatchingAmong(query, from, to);
            ASSERT_TRUE(among.has_value()) << query;
            EXPECT_EQ(*among,
                      std::vector<size_t>(std::lower_bound(found.begin(), found.end(), from),
                                          std::lower_bound(found.begin(), found.end(), to)))
                << query << " " << from << " " << to;
        }
    }
    EXPECT_GT(store.newestParagraphsMatching("ma", 16).from, 0u);  // read in part
    EXPECT_GT(store.newestParagraphsMatching("qa", 1).from, 0u);
    EXPECT_GT(store.newestParagraphsMatching("ma THE", 16).from, 0u);  // words spelled out together
    EXPECT_EQ(store.paragraphsMatching("twin").size(), 1u);
    // Within a sidebar entry: what the whole search finds there, the open
    // last one and the one holding the segments put in included.
    const std::vector<SessionItem> items = store.sessionItems();
    const size_t twinAt = size_t(std::find_if(items.begin(), items.end(),
                                              [&](const SessionItem& item) {
                                                  return twin.start >= item.start &&
                                                         (!item.end || twin.start < *item.end);
                                              }) -
                                 items.begin());
    ASSERT_LT(twinAt, items.size());
    for (const size_t at : {size_t(0), items.size() / 3, twinAt, items.size() - 1}) {
        for (const std::string& query : {rare, std::string("ma"), std::string("twin")}) {
            const auto within = store.searchWithin(query, items[at]), all = store.search(query);
            size_t found = 0;
            for (const Segment& s : store.segmentsIn(items[at])) {
                EXPECT_EQ(within.count(s.id), all.count(s.id)) << at << " " << query;
                found += all.count(s.id);
            }
            EXPECT_GE(within.size(), found);
        }
    }
}

TEST_F(StoreTest, ReplaceMergesTheParagraphIntoOneEditedSegment) {
    auto a = segment(0, 1, "hello");
    auto b = segment(2, 3, "wrld");
    auto later = segment(20, 21, "later");
    for (auto* s : {&a, &b, &later}) store->append(*s);
    Block block = store->allBlocks()->front();

    {
        Counter changed(store->segments);
        StatementSpy spy(store->db()->handle());
        store->replace(block, "hello wrld");  // the paragraph's exact text
        EXPECT_EQ(changed.calls, 0);
        EXPECT_TRUE(spy.statements().empty());
    }

    store->replace(block, "hello world ");
    ASSERT_EQ(store->segments.peek().size(), 2u);
    const Segment merged = store->segments.peek().front();
    EXPECT_EQ(merged.id, a.id);
    EXPECT_EQ(merged.start, a.start);
    EXPECT_EQ(merged.end, b.end);
    EXPECT_EQ(merged.text, "hello world ");  // untrimmed
    EXPECT_TRUE(merged.edited);
    EXPECT_EQ(merged.original, "hello wrld");
    EXPECT_EQ(store->segments.peek().back(), later);
    EXPECT_EQ(store->search("wrld"), std::unordered_set<Uuid>{});  // the index followed the edit
    EXPECT_EQ(store->search("world"), std::unordered_set<Uuid>{a.id});

    store->replace(store->allBlocks()->front(), "Hello, world!");
    EXPECT_EQ(store->segments.peek().front().original, "hello wrld");  // the first original is kept
    auto inMemory = store->segments.peek();
    EXPECT_EQ(reopened(), inMemory);
    EXPECT_EQ(store->segments.peek().front().text, "Hello, world!");
}

TEST_F(StoreTest, ReplaceWithBlankTextDeletesAndAStaleBlockChangesNothing) {
    auto a = segment(0, 1, "one");
    auto b = segment(10, 11, "two");
    store->append(a);
    store->append(b);
    Block first = store->allBlocks()->front();
    store->replace(first, " \n\t\n ");
    EXPECT_EQ(texts(), std::vector<std::string>{"two"});
    EXPECT_EQ(reopened().size(), 1u);

    Counter changed(store->segments);
    StatementSpy spy(store->db()->handle());
    store->replace(first, "resurrected");  // its first segment is gone
    EXPECT_EQ(changed.calls, 0);
    EXPECT_TRUE(spy.statements().empty());
    EXPECT_EQ(texts(), std::vector<std::string>{"two"});
}

TEST_F(StoreTest, DeleteRunsOneTransactionAndNothingForNoBlocks) {
    for (int i = 0; i < 3; ++i) store->append(segment(i * 10, i * 10 + 1, "s" + std::to_string(i)));
    auto blocks = *store->allBlocks();
    Counter changed(store->segments);
    StatementSpy spy(store->db()->handle());

    store->deleteBlocks({});
    EXPECT_TRUE(spy.statements().empty());

    store->deleteBlocks({blocks[0], blocks[2]});
    EXPECT_EQ(texts(), std::vector<std::string>{"s1"});
    std::vector<std::string> expected{kLookFirst,
                                      "BEGIN",
                                      "DELETE FROM segments WHERE id = ?",
                                      "DELETE FROM segments WHERE id = ?",
                                      kMergeStep,
                                      "COMMIT"};
    EXPECT_EQ(spy.statements(), expected);

    // Blocks that are already gone: observers still hear of it and the same statements run.
    spy.clear();
    int before = changed.calls;
    store->deleteBlocks({blocks[0], blocks[2]});
    EXPECT_EQ(changed.calls, before + 1);
    EXPECT_EQ(spy.statements(), expected);
    EXPECT_EQ(reopened().size(), 1u);
}

TEST_F(StoreTest, SessionsStartRenameAndRemoveWithWriteThrough) {
    auto talk = store->startSession(std::nullopt);
    EXPECT_EQ(talk.start, at(kBase));  // the injected clock
    EXPECT_FALSE(talk.name);
    store = std::make_unique<TranscriptStore>(dir.path(), fixedCalendar(kBase + 60));
    auto padded = store->startSession("  kept as given ");
    EXPECT_EQ(padded.name, "  kept as given ");

    struct Case {
        const char* name;
        std::optional<std::string> stored;
    } cases[] = {{"  Weekly sync\t", "Weekly sync"}, {" \t ", std::nullopt}, {"Line\n", "Line\n"}};
    for (const auto& c : cases) {
        store->rename(talk.id, c.name);
        EXPECT_EQ(store->sessions.peek().front().name, c.stored) << c.name;
        reopened();
        EXPECT_EQ(store->sessions.peek().front().name, c.stored) << c.name;
    }

    Counter changed(store->sessions);
    StatementSpy spy(store->db()->handle());
    store->rename(Uuid::random(), "nobody");
    EXPECT_EQ(changed.calls, 0);
    EXPECT_TRUE(spy.statements().empty());

    store->append(segment(10, 11, "words"));
    store->removeSession(talk.id);
    EXPECT_EQ(store->sessions.peek(), std::vector<SessionMarker>{padded});
    EXPECT_EQ(store->segments.peek().size(), 1u);  // segments stay
    spy.clear();
    store->removeSession(Uuid::random());  // unknown: still notifies and still deletes on disk
    EXPECT_EQ(changed.calls, 2);
    EXPECT_EQ(spy.statements(),
              (std::vector<std::string>{kLookFirst, "DELETE FROM sessions WHERE id = ?"}));
    reopened();
    EXPECT_EQ(store->sessions.peek(), std::vector<SessionMarker>{padded});
}

TEST(TranscriptStoreOpening, TakesOverTheLegacyFolderOnlyForTheDefaultLocation) {
    TempDir home;
    const char* oldXdg = getenv("XDG_DATA_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    auto legacy = home.path() / "Echovane";
    auto current = home.path() / "Verbolin";
    auto seed = segment(0, 1, "from before");
    {
        std::filesystem::create_directories(legacy);
        TranscriptDB db(legacy / "transcript.sqlite");
        db.upsert(seed);
    }

    {  // an explicit folder never triggers the move
        TempDir other;
        TranscriptStore store(other.path(), fixedCalendar());
        EXPECT_TRUE(std::filesystem::exists(legacy));
    }
    {
        TranscriptStore store(std::nullopt, fixedCalendar());
        EXPECT_EQ(store.directory(), current);
        EXPECT_FALSE(std::filesystem::exists(legacy));
        EXPECT_EQ(store.segments.peek(), std::vector<Segment>{seed});
    }
    {  // with both present the current folder wins and the legacy one stays
        std::filesystem::create_directories(legacy);
        std::ofstream(legacy / "marker") << "x";
        TranscriptStore store(std::nullopt, fixedCalendar());
        EXPECT_TRUE(std::filesystem::exists(legacy / "marker"));
        EXPECT_EQ(store.segments.peek(), std::vector<Segment>{seed});
    }
    if (oldXdg)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}
