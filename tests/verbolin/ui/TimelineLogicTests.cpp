#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <random>

#include "support/TempDir.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/ui/CopyFlash.hpp"
#include "verbolin/ui/GutterEntry.hpp"
#include "verbolin/ui/HeldWindow.hpp"
#include "verbolin/ui/LocaleTime.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"
#include "verbolin/ui/ScrubberGeometry.hpp"
#include "verbolin/ui/TimelineBlocks.hpp"
#include "verbolin/ui/TimelineEditMapper.hpp"
#include "verbolin/ui/TimelinePaneModel.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineSplice.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineUpdatePlanner.hpp"

using namespace verbolin;
using uitest::block;
namespace P = TimelineUpdatePlanner;

namespace {

QString idText(const Block& b) { return QString::fromStdString(b.id.string()); }

struct Three {
    std::vector<Block> blocks{block(0, 1, "Alpha one"), block(10, 11, "Beta two"),
                              block(20, 21, "Gamma")};
    AttributedText text = TimelineRenderer::render(blocks, nullptr, 20, {});
    std::vector<ParagraphRange> ranges = blockRanges(text);  // 0-9, 10-18, 19-24
};

TEST(TimelineUpdatePlanner, PlansNoneTailOrFull) {
    Block a = block(0, 1, "a"), b = block(5, 6, "b"), c = block(9, 10, "c"), z = block(-9, -8, "z");
    Block bb = b;
    bb.segments.push_back(uitest::segment(6.5, 7, "more"));  // b grew a segment
    const auto rendered = P::paragraphKeys({a, b});
    struct Case {
        std::vector<Block> blocks;
        double font;
        TimelinePlan::Kind kind;
        size_t common;
        bool prepended;
    } cases[] = {
        {{a, b}, 20, TimelinePlan::Kind::none, 2, false},
        {{a, bb}, 20, TimelinePlan::Kind::tail, 1, false},
        {{a, b, c}, 20, TimelinePlan::Kind::tail, 2, false},
        {{z, a, b}, 20, TimelinePlan::Kind::full, 0, true},
        {{c}, 20, TimelinePlan::Kind::tail, 0, false},
        {{a, b}, 22, TimelinePlan::Kind::full, 2, false},
    };
    for (const Case& k : cases) {
        TimelinePlan p = P::plan(rendered, k.blocks, 20, k.font, true, true);
        EXPECT_EQ(p.kind, k.kind) << k.blocks.size() << " " << k.font;
        EXPECT_EQ(p.common, k.common);
        EXPECT_EQ(p.prepended, k.prepended);
    }
    EXPECT_EQ(P::plan({}, {a}, 20, 20, true, true).kind, TimelinePlan::Kind::full);
    EXPECT_EQ(P::plan(rendered, {a, b}, 20, 20, true, false).kind, TimelinePlan::Kind::full);
    // The in-place comparison agrees with building the key.
    for (const Block& x : {a, b, bb, c})
        for (const Block& y : {a, b, bb, c})
            EXPECT_EQ(ParagraphKey::of(x).matches(y), ParagraphKey::of(x) == ParagraphKey::of(y));
}

TEST(TimelineUpdatePlanner, TailStartsAtSeparatorOfFirstChangedParagraph) {
    Three t;
    auto keys = P::paragraphKeys(t.blocks);
    EXPECT_EQ(P::tailStart(t.ranges, t.text.length(), keys, 0), 0);
    EXPECT_EQ(P::tailStart(t.ranges, t.text.length(), keys, 2), 18);
    EXPECT_EQ(P::tailStart(t.ranges, t.text.length(), keys, 3), t.text.length());
    EXPECT_EQ(P::tailStart(t.ranges, t.text.length(), {{platform::Uuid::random(), "x"}}, 0),
              t.text.length());
}

TEST(TimelineUpdatePlanner, VisibleWalkFallsBackToParagraphAbove) {
    Three t;
    auto id = [&](int i) { return std::optional(t.blocks[size_t(i)].id); };
    struct Case {
        int loc, len;
        std::optional<platform::Uuid> first, last;
    } cases[] = {
        {0, 25, id(0), id(2)}, {3, 10, id(0), id(1)},
        {9, 0, id(0), id(0)},  // only the separator shows
        {18, 1, id(1), id(1)}, {30, 0, id(2), id(2)},
    };
    for (const Case& c : cases) {
        VisibleParagraphs v = P::visibleWalk(t.ranges, c.loc, c.len);
        EXPECT_EQ(v.first, c.first) << c.loc;
        EXPECT_EQ(v.last, c.last) << c.loc;
    }
    EXPECT_EQ(P::visibleWalk({}, 0, 0), VisibleParagraphs{});
}

TEST(ParagraphRanges, SelectionNamesParagraphsWithInclusiveCaret) {
    Three t;
    auto ids = [&](std::initializer_list<int> is) {
        std::vector<platform::Uuid> out;
        for (int i : is) out.push_back(t.blocks[size_t(i)].id);
        return out;
    };
    EXPECT_EQ(selectedIds(t.ranges, 9, 0), ids({0}));   // right after Alpha
    EXPECT_EQ(selectedIds(t.ranges, 10, 0), ids({1}));  // first character of Beta
    EXPECT_EQ(selectedIds(t.ranges, 8, 3), ids({0, 1}));
    EXPECT_EQ(selectedIds(t.ranges, 9, 1), ids({}));                     // the separator alone
    EXPECT_EQ(blockIdAt(t.text, t.text.length()), idText(t.blocks[2]));  // past the end
    EXPECT_EQ(blockIdAt(t.text, 9), idText(t.blocks[0]));  // separator reads as the one before
}

TEST(TimelineEditMapper, GuardsSeparatorsAndTheLiveParagraph) {
    Three t;
    const std::optional<QString> live = idText(t.blocks[2]), none;
    struct Case {
        int pos, len;
        std::optional<QString> live;
        bool allowed;
    } cases[] = {
        {2, 3, none, true},   {8, 3, none, false},  {9, 1, none, false},  {9, 0, none, true},
        {25, 0, none, true},  {25, 0, live, false},  // typing at the end joins the live paragraph
        {20, 2, live, false}, {17, 3, live, false}, {19, 0, live, false}, {5, 0, live, true},
        {18, 0, live, true},  // right after Beta, before the separator
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimelineEditMapper::shouldChange(t.text, c.pos, c.len, c.live), c.allowed)
            << c.pos << "+" << c.len << (c.live ? " live" : "");
}

TEST(TimelineEditMapper, StrayTextJoinsNeighbourAndEditsAreReported) {
    Three t;
    const auto shown = P::paragraphKeys(t.blocks);
    t.text.replace(0, 0, AttributedText(QStringLiteral(">> "), TextAttributes{}));  // at the start
    t.text.replace(12, 0, AttributedText(QStringLiteral("!"), TextAttributes{}));   // end of Alpha
    t.text.replace(t.text.length(), 0, AttributedText(QStringLiteral("?"), TextAttributes{}));
    TimelineEditMapper::assignStrayText(t.text, 20);
    EditMapping m = TimelineEditMapper::collectEdits(t.text, blockRanges(t.text), shown);
    ASSERT_EQ(m.edits.size(), 2u);
    EXPECT_EQ(m.edits[0], (ParagraphEdit{t.blocks[0].id, "Alpha one", ">> Alpha one!", {}}));
    EXPECT_EQ(m.edits[1], (ParagraphEdit{t.blocks[2].id, "Gamma", "Gamma?", t.blocks[1].id}));
}

TEST(TimelineEditMapper, EditsAreReportedWithTheParagraphInFront) {
    Three t;
    const auto shown = P::paragraphKeys(t.blocks);
    const auto typed = [&](int at, const char* s, int block) {
        t.text.replace(
            at, 0,
            AttributedText(QString::fromUtf8(s),
                           TimelineRenderer::bodyAttributes(20, t.blocks[size_t(block)].id, 0)));
    };
    typed(0, ">> ", 0), typed(12, "!", 0), typed(t.text.length(), "?", 2);
    EditMapping m = TimelineEditMapper::collectEdits(t.text, blockRanges(t.text), shown);
    ASSERT_EQ(m.edits.size(), 2u);
    EXPECT_EQ(m.edits[0], (ParagraphEdit{t.blocks[0].id, "Alpha one", ">> Alpha one!", {}}));
    EXPECT_EQ(m.edits[1], (ParagraphEdit{t.blocks[2].id, "Gamma", "Gamma?", t.blocks[1].id}));
    EXPECT_EQ(m.keys[1], ParagraphKey::of(t.blocks[1]));

    // A paragraph whose text is gone is an edit to nothing, named with the
    // paragraph shown in front of it; it stays, as an empty line.
    Three u;
    u.text.replace(10, 8, AttributedText());
    EditMapping n =
        TimelineEditMapper::collectEdits(u.text, blockRanges(u.text), P::paragraphKeys(u.blocks));
    EXPECT_EQ(n.edits,
              (std::vector<ParagraphEdit>{{u.blocks[1].id, "Beta two", "", u.blocks[0].id}}));
    ASSERT_EQ(n.keys.size(), 3u);
    EXPECT_EQ(n.keys[1], (ParagraphKey{u.blocks[1].id, ""}));
}

TEST(Gutter, EntriesFontsAndFlash) {
    std::vector<Block> b{block(0, 1, "a"), block(301, 302, "b"), block(310, 311, "c"),
                         block(2000, 2001, "d")};
    b[2].segments[0].edited = true;
    auto e = Gutter::entries(b, [](const Block& x) { return x.text() + "@"; },
                             {{b[3].id, "Standup"}, {b[0].id, "First"}});
    EXPECT_EQ(e.at(idText(b[0])), (GutterEntry{"a@", false, std::nullopt}));
    EXPECT_EQ(e.at(idText(b[1])), (GutterEntry{"b@", false, "5 min later"}));
    EXPECT_EQ(e.at(idText(b[2])), (GutterEntry{"c@", true, std::nullopt}));
    EXPECT_EQ(e.at(idText(b[3])), (GutterEntry{"d@", false, "Standup"}));

    std::tuple<double, double, double> fonts[] = {{20, 11, 10}, {26, 11.7, 12}, {64, 13, 12}};
    for (auto [size, label, divider] : fonts) {
        EXPECT_DOUBLE_EQ(Gutter::labelFontSize(size), label);
        EXPECT_DOUBLE_EQ(Gutter::dividerFontSize(size), divider);
    }

    CopyFlash f;
    unsigned first = f.start(3, 4);
    EXPECT_TRUE(f.tick(first));
    unsigned second = f.start(10, 2);  // restarts at 0.45 and stops the old chain
    EXPECT_FALSE(f.tick(first));
    EXPECT_DOUBLE_EQ(f.alpha, 0.45);
    int ticks = 1;
    while (f.tick(second)) ++ticks;
    EXPECT_EQ(ticks, 23);
    EXPECT_FALSE(f.active());
    EXPECT_FALSE(f.range.has_value());
}

}  // namespace

namespace {

TEST(TimelineEditMapper, UndecodableStoredTextIsNotReportedAsEdited) {
    Three t;
    t.blocks[1].segments[0].text = "Beta \xC3";  // cut in the middle of a character
    t.text = TimelineRenderer::render(t.blocks, nullptr, 20, {});
    t.text.replace(0, 0,
                   AttributedText(QStringLiteral("x"),
                                  TimelineRenderer::bodyAttributes(20, t.blocks[0].id, 0)));
    EditMapping m =
        TimelineEditMapper::collectEdits(t.text, blockRanges(t.text), P::paragraphKeys(t.blocks));
    ASSERT_EQ(m.edits.size(), 1u);
    EXPECT_EQ(m.edits[0].id, t.blocks[0].id);
}

TEST(LocaleTime, ShortTimeFollowsTheLocaleAndReadsAsTheSidebarDoes) {
    const platform::Date at = platform::dateFromSecondsSince1970(1714578060.0);  // 15:41 UTC
    struct Case {
        const char* locale;
        const char* time;
        const char* date;
    } cases[] = {{"en_US", "3:41\u202fPM", "May 1, 2024"}, {"de_DE", "15:41", "01.05.2024"}};
    for (const Case& c : cases) {
        const UserCalendar calendar(c.locale, "UTC");
        EXPECT_EQ(LocaleTime::shortTime(at, calendar).toStdString(), c.time) << c.locale;
        EXPECT_EQ(LocaleTime::abbreviatedDate(at, calendar).toStdString(), c.date) << c.locale;

        // The time column and the sidebar write one paragraph's start alike.
        testsupport::TempDir dir;
        TranscriptStore store(dir.path(), calendar);
        Segment s;
        s.start = at;
        s.end = at + std::chrono::seconds(2);
        s.text = "hello";
        store.append(s);
        TimelinePaneInputs in;
        in.store = &store;
        in.blocks = store.allBlocks();
        platform::VirtualClock clock;
        TimelinePaneModel pane(in, TimelinePaneServices{&clock, nullptr, nullptr}, [] {});
        const std::string label = pane.textViewInputs().label(store.allBlocks()->front());
        const std::string range = store.rangeText(store.sessionItems().front());
        EXPECT_EQ(label, c.time) << c.locale;
        EXPECT_EQ(range.substr(0, label.size()), label) << range;
    }
}

}  // namespace

TEST(TimelineUpdatePlanner, KnownPrefixAndLiveParagraphPlanAsTheFullComparisonDoes) {
    // Random histories of growing, edited and live paragraphs: a plan that
    // skips a prefix known to match, over the scoped array plus the live
    // paragraph, must equal the plan that compares every key of a copy.
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<Block> scoped;
        const int n = int(rng() % 6);
        for (int i = 0; i < n; ++i)
            scoped.push_back(block(i * 10, i * 10 + 2, "p" + std::to_string(i)));
        std::optional<Block> live;
        if (rng() % 2) live = block(100, 100, "live " + std::to_string(rng() % 3));
        std::vector<Block> all = scoped;
        if (live) all.push_back(*live);
        const auto rendered = P::paragraphKeys(all);
        // The next update: the same array with another live text, or a changed tail.
        std::vector<Block> next = scoped;
        std::optional<Block> nextLive = live;
        if (rng() % 2) nextLive = block(100, 100, "live " + std::to_string(rng() % 3));
        if (rng() % 3 == 0) nextLive.reset();
        const bool sameArray = rng() % 2;
        if (!sameArray && !next.empty()) next.back().segments.front().text += "+";
        if (!sameArray && rng() % 2) next.push_back(block(90, 91, "new"));
        std::vector<Block> nextAll = next;
        if (nextLive) nextAll.push_back(*nextLive);
        const TimelinePlan expected = P::plan(rendered, nextAll, 20, 20, true, true);
        const size_t known = sameArray ? std::min(scoped.size(), rendered.size()) : 0;
        const TimelinePlan got =
            P::plan(rendered, TimelineBlocks(&next, nextLive ? &*nextLive : nullptr), 20, 20, true,
                    true, known);
        EXPECT_EQ(got.kind, expected.kind) << round;
        EXPECT_EQ(got.common, expected.common) << round;
        EXPECT_EQ(got.prepended, expected.prepended) << round;
    }
}

TEST(TimelineUpdatePlanner, TailStartIsTheSeparatorInFrontOfAnEmptiedParagraphToo) {
    // The user emptied Beta: its range is the empty line after its
    // separator, and Gamma's the one after the next.
    Three t;
    const auto keys = P::paragraphKeys(t.blocks);
    t.text.replace(10, 8, AttributedText());
    const auto ranges = blockRanges(t.text);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[1], (ParagraphRange{ranges[1].id, 10, 0}));
    EXPECT_EQ(P::tailStart(ranges, t.text.length(), keys, 2), ranges[2].location - 1);
    EXPECT_EQ(P::tailStart(ranges, t.text.length(), keys, 1), 9);
}

// Beta (the separator in front of it and its text, 9-18) written again: a
// caret keeps its offset in its paragraph, the ranges after move with it.
TEST(TimelineSplice, APointInARewrittenParagraphKeepsItsOffsetThere) {
    Three t;
    const Block beta = t.blocks[1], alpha = t.blocks[0];
    Block grown = beta;  // speech joined it
    grown.segments.push_back(uitest::segment(11.5, 12, "and more"));
    Block edited = beta;  // an undo put back other text
    edited.segments = {uitest::segment(10, 11, "Be")};
    edited.segments.front().id = beta.id;
    Block emptied = beta;  // held by the caret, its text gone
    emptied.segments.front().text.clear();
    const struct {
        const char* name;
        std::vector<Block> stretch;  // what Beta's place shows now
        int position, expected;
    } rows[] = {
        {"before the stretch", {grown}, 4, 4},
        {"at the end of the paragraph in front", {grown}, 9, 9},
        {"inside the paragraph that grew", {grown}, 14, 14},
        {"at its end, before what joined it", {grown}, 18, 18},
        {"after the stretch", {grown}, 21, 21 + 9},
        {"inside a paragraph that shrank, held to its end", {edited}, 16, 12},
        {"inside a paragraph that went", {}, 14, 9},
        {"after a paragraph that went", {}, 22, 22 - 9},
        {"inside a paragraph emptied, at its empty line", {emptied}, 14, 10},
        {"after a paragraph emptied", {emptied}, 22, 22 - 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int start = 9, end = 18;
        const AttributedText middle = TimelineRenderer::render(row.stretch, &alpha, 20, {});
        const auto point = TimelineSplice::locate(t.ranges, start, end, row.position);
        std::vector<ParagraphRange> fresh;
        appendBlockRanges(fresh, middle, start);
        EXPECT_EQ(TimelineSplice::place(point, start, end, middle.length(), fresh), row.expected);
        // The ranges are those of the whole text rewritten.
        std::vector<ParagraphRange> ranges = t.ranges;
        TimelineSplice::replaceRanges(ranges, start, end, fresh, middle.length() - (end - start));
        AttributedText whole = t.text;
        whole.replace(start, end - start, middle);
        EXPECT_EQ(ranges, blockRanges(whole));
    }
    // Speech joining Gamma behind an emptied Beta: Beta's empty line, right
    // where the stretch starts, is not part of it.
    Three u;
    u.text.replace(10, 8, AttributedText());
    std::vector<ParagraphRange> ranges = blockRanges(u.text);
    Block gamma = u.blocks[2];
    gamma.segments.push_back(uitest::segment(21.5, 22, "and more"));
    const int start = ranges[2].location - 1, end = u.text.length();
    const AttributedText middle = TimelineRenderer::render(std::vector{gamma}, &emptied, 20, {});
    std::vector<ParagraphRange> fresh;
    appendBlockRanges(fresh, middle, start);
    TimelineSplice::replaceRanges(ranges, start, end, fresh, middle.length() - (end - start));
    u.text.replace(start, end - start, middle);
    EXPECT_EQ(ranges, blockRanges(u.text));
    EXPECT_EQ(ranges.size(), 3u);
}

TEST(ScrubberGeometryTest, MarksTakeEachOccupiedPixelColumnOnce) {
    // Against the naive rule (a mark per paragraph), reduced to columns:
    // the same columns are marked, each exactly once, at its first paragraph.
    for (int n : {1, 7, 500, 20000}) {
        std::vector<Block> blocks;
        std::mt19937 rng{static_cast<unsigned>(n)};
        double t = 0;
        for (int i = 0; i < n; ++i) {
            t += 3.5 + double(rng() % 4000) / 10.0;  // bursts and pauses
            blocks.push_back(block(t, t + 2, "x"));
        }
        ScrubberInputs in;
        in.blocks = std::make_shared<const std::vector<Block>>(blocks);
        for (double width : {10.5, 97.0, 910.0}) {
            ScrubberGeometry g(in, width);
            std::vector<double> expected;
            for (const Block& b : blocks) {
                const double x = g.x(b.segments.front().start);
                if (expected.empty() || std::floor(expected.back()) != std::floor(x))
                    expected.push_back(x);
            }
            EXPECT_EQ(g.marks(), expected) << n << " paragraphs, width " << width;
            EXPECT_LE(g.marks().size(), size_t(std::ceil(g.trackWidth())) + 1);
        }
    }
}

TEST(ScrubberGeometryTest, VisibleHintNeverOutranksTheIds) {
    std::vector<Block> blocks;
    for (int i = 0; i < 50; ++i) blocks.push_back(block(i * 10, i * 10 + 3, "p"));
    ScrubberInputs in;
    in.blocks = std::make_shared<const std::vector<Block>>(blocks);
    in.atEnd = false;
    in.visibleFirst = blocks[20].id;
    in.visibleLast = blocks[24].id;
    const auto fresh = ScrubberGeometry(in, 510).bar();
    ASSERT_TRUE(fresh);
    using Hint = ScrubberGeometry::VisibleHint;
    // Right, stale, out of range and swapped hints all give the bar the ids say.
    for (Hint h : {Hint{20, 24}, Hint{3, 40}, Hint{999, 999}, Hint{24, 20}}) {
        ScrubberGeometry g(in, 510, h);
        const auto bar = g.bar();
        ASSERT_TRUE(bar);
        EXPECT_EQ(bar->x, fresh->x);
        EXPECT_EQ(bar->width, fresh->width);
        EXPECT_EQ(g.found().first, 20u);
        EXPECT_EQ(g.found().last, 24u);
    }
}

// The check run after every change of what the timeline holds finds each
// way the stretch, its keys, the time column, the text awaiting its size and
// the kept caret can fall out of step, and nothing where all agree.
TEST(HeldWindow, ProblemsNameWhatDoesNotAgree) {
    using verbolin::HeldWindow;
    const auto all = uitest::blocks(uitest::segments(10, 60));
    const verbolin::Block live = uitest::block(1e5, 1e5 + 1, "and so");
    const auto keysOf = [&](size_t from, size_t to) {
        std::vector<verbolin::ParagraphKey> out;
        for (size_t i = from; i < to; ++i) out.push_back(verbolin::ParagraphKey::of((*all)[i]));
        return out;
    };
    const auto rangesOf = [](const std::vector<verbolin::ParagraphKey>& keys) {
        std::vector<verbolin::ParagraphRange> out;
        for (size_t k = 0; k < keys.size(); ++k)
            out.push_back({QString::fromStdString(keys[k].id.string()), int(k) * 10 + 1, 8});
        return out;
    };
    // [6, 10) held of ten, the paragraph in front named.
    const auto sound = [&] {
        HeldWindow w;
        w.splice({6, 10, 10, 0, 0, keysOf(6, 10), std::optional((*all)[5].id)});
        return w;
    };
    struct Row {
        const char* name;
        std::function<void(HeldWindow&, std::vector<verbolin::ParagraphRange>&)> breakIt;
        const char* said;  // none: all agree
        bool withLive = false;
    };
    const Row rows[] = {
        {"all agree", [](auto&, auto&) {}, nullptr},
        {"a key of another paragraph",
         [&](HeldWindow& w, auto&) {
             w.splice({6, 10, 10, 1, 2, keysOf(2, 3), std::nullopt});
         },
         "names another paragraph"},
        {"one key fewer than held",
         [&](HeldWindow& w, auto&) {
             w.splice({6, 10, 10, 3, 4, {}, std::nullopt});
         },
         "keys 3"},
        {"moved without its keys",
         [](HeldWindow& w, auto&) {
             w.splice({5, 10, 10, 0, 0, {}, std::nullopt});
         },
         "keys 4"},
        {"past the scope",
         [](HeldWindow& w, auto&) {
             w.splice({8, 12, 10, 0, 0, {}, std::nullopt});
         },
         "outside the scope"},
        {"a range of another paragraph",
         [&](auto&, auto& ranges) { ranges[2].id = QString::fromStdString((*all)[0].id.string()); },
         "not its key's"},
        {"more held than the bound",
         [&](HeldWindow& w, auto&) {
             w.splice({0, 10, 10, 0, 0, keysOf(0, 6), std::optional<platform::Uuid>()});
         },
         "bound"},
        {"the paragraph in front forgotten",
         [&](HeldWindow& w, auto&) {
             w.splice({6, 10, 10, 0, 0, {}, std::optional<platform::Uuid>()});
         },
         "in front"},
        {"a time column entry of a paragraph not held",
         [](HeldWindow& w, auto&) { w.gutter().emplace(2, verbolin::GutterEntry{}); },
         "time column"},
        {"text awaiting its size past the end",
         [](HeldWindow& w, auto&) { w.stale().reset(30, 60); }, "waiting"},
        {"a kept caret past its paragraph's text",
         [&](HeldWindow& w, auto&) {
             w.away().parked = HeldWindow::Point{(*all)[1].id, 1, 500, std::nullopt};
         },
         "caret lies past"},
        {"a kept caret in a paragraph a search hides",
         [&](HeldWindow& w, auto&) {
             w.away().parked = HeldWindow::Point{platform::Uuid::random(), 3, 500, std::nullopt};
         },
         nullptr},
        {"the live paragraph's key missing", [](auto&, auto&) {}, "keys 4 for 5", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HeldWindow w = sound();
        std::vector<verbolin::ParagraphRange> ranges = rangesOf(w.keys());
        row.breakIt(w, ranges);
        const verbolin::TimelineBlocks scope(all.get(), row.withLive ? &live : nullptr);
        const std::vector<std::string> problems = w.problems({scope, &ranges, 40, 4, true, 0, 0});
        std::string said;
        for (const auto& p : problems) said += p + "; ";
        if (!row.said)
            EXPECT_TRUE(problems.empty()) << said;
        else
            EXPECT_NE(said.find(row.said), std::string::npos) << said;
    }
}
