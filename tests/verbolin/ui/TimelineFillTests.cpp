// A long timeline opens with its newest paragraphs and takes the older ones
// in on later turns. Whatever arrives meanwhile, the finished view must be
// the one a single full render gives.
#include <gtest/gtest.h>

#include <QTest>
#include <QTextBlock>
#include <limits>

#include "support/TempDir.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/TimelineUpdatePlanner.hpp"
#include "verbolin/ui/TimelineViewHarness.hpp"

using namespace verbolin;
using uitest::TimelineHarness;

namespace {

constexpr size_t kNever = std::numeric_limits<size_t>::max();

// Everything a reader of the document sees, block by block: text, spacing,
// line height, and each fragment's font size and colour.
std::vector<std::string> documentDump(QTextDocument& doc) {
    std::vector<std::string> out;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const QTextBlockFormat f = b.blockFormat();
        std::string line = b.text().toStdString() + " |top " + std::to_string(f.topMargin()) +
                           " |lh " + std::to_string(f.lineHeight());
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat c = it.fragment().charFormat();
            line += " |" + std::to_string(it.fragment().length()) + ":" +
                    std::to_string(c.font().pointSizeF()) + ":" +
                    c.foreground().color().name().toStdString();
        }
        out.push_back(std::move(line));
    }
    return out;
}

std::vector<std::optional<GutterEntry>> gutterEntries(TimelineHarness& h) {
    std::vector<std::optional<GutterEntry>> out;
    for (size_t i = 0; i < h.view.ranges().size(); ++i) out.push_back(h.view.gutter()->entryAt(i));
    return out;
}

TimelineInputs withLive(TimelineHarness& h, std::shared_ptr<const std::vector<Block>> blocks,
                        std::optional<Block> live) {
    TimelineInputs in = h.inputs(std::move(blocks));
    in.label = [](const Block& b) { return b.text(); };  // tells paragraphs apart
    in.liveBlock = std::move(live);
    if (in.liveBlock) in.liveId = in.liveBlock->id;
    SectionTitles::Map sections;
    for (size_t i = 0; i < in.blocks->size(); i += 7)  // a session now and then
        sections[(*in.blocks)[i].id] = "Session " + std::to_string(i);
    in.sectionStarts = std::move(sections);
    return in;
}

// Runs the older text's steps, one turn each, until none is left.
void finish(TimelineHarness& h) {
    for (int turns = 0; h.view.pendingParagraphs() > 0 && turns < 10000; ++turns)
        h.main.advance(TimelineTextView::kFillPause);
    h.settle();
}

// The same inputs rendered at once, for comparison.
void expectSameAsFullRender(TimelineHarness& h, const TimelineInputs& in) {
    TimelineHarness full;
    full.view.fillStep = kNever;
    full.view.setInputs(in);
    full.view.finishFill();  // however long its paragraphs
    full.settle();
    ASSERT_EQ(full.view.pendingParagraphs(), 0u);
    EXPECT_EQ(h.view.pendingParagraphs(), 0u);
    EXPECT_EQ(h.view.text().string(), full.view.text().string());
    EXPECT_EQ(h.doc().toPlainText(), full.doc().toPlainText());
    EXPECT_EQ(documentDump(h.doc()), documentDump(full.doc()));
    EXPECT_EQ(h.view.ranges(), full.view.ranges());
    EXPECT_EQ(h.view.renderedKeys(), full.view.renderedKeys());
    EXPECT_EQ(gutterEntries(h), gutterEntries(full));
}

TEST(TimelineFill, FinishedFillMatchesAFullRender) {
    struct Case {
        int paragraphs;
        size_t step;
        bool live;
        bool tooLong = false;  // each paragraph too long to show whole: one a turn
    };
    const Case cases[] = {
        {30, 4, false},        {30, 4, true},  {31, 10, true}, {12, 11, false},
        {25, 1, true},         {40, 39, true}, {20, 20, true},  // no fill: written at once
        {5, 1000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.paragraphs) + " by " + std::to_string(c.step));
        TimelineHarness h;
        h.view.fillStep = c.step;
        auto segments = uitest::segments(c.paragraphs, 60);
        for (auto& s : segments)
            while (c.tooLong && s.text.size() <= size_t(LongParagraph::kLimit)) s.text += " more";
        auto blocks = uitest::blocks(segments);
        std::optional<Block> live;
        if (c.live) live = uitest::block(1e5, 1e5 + 2, "and so we");
        const TimelineInputs in = withLive(h, blocks, live);
        h.view.setInputs(in);
        const size_t step = c.tooLong ? 1 : c.step;
        const size_t expected = size_t(c.paragraphs) > step ? c.paragraphs - step : 0;
        EXPECT_EQ(h.view.pendingParagraphs(), expected);
        EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
        h.settle();
        EXPECT_EQ(h.view.pendingParagraphs(), expected);  // the first step waits for a timer
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());
        if (expected > 0) {
            h.main.advance(TimelineTextView::kFillPause);  // one step
            EXPECT_EQ(h.view.pendingParagraphs(), expected > step ? expected - step : 0);
        }
        finish(h);
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());  // still at the end
        expectSameAsFullRender(h, in);
    }
}

TEST(TimelineFill, NewFinalsAndPreviewsDuringTheFillChangeOnlyTheTail) {
    TimelineHarness h;
    h.view.fillStep = 5;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.pendingParagraphs(), 25u);
    const int shown = h.view.text().length();

    // A preview, then a final: the older text is left to the fill.
    Block live = uitest::block(1e5, 1e5 + 2, "and so");
    h.view.setInputs(withLive(h, uitest::blocks(segs), live));
    EXPECT_EQ(h.view.pendingParagraphs(), 25u);
    EXPECT_GT(h.view.text().length(), shown);
    segs.push_back(uitest::segment(1e5, 1e5 + 2, "and so we went."));
    TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.pendingParagraphs(), 25u);
    // The gutter finds the paragraphs shown so far among all of them.
    const auto entry = h.view.gutter()->entryAt(0);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->label, (*in.blocks)[25].text());
    finish(h);
    expectSameAsFullRender(h, in);
}

TEST(TimelineFill, ChangeAmongOlderParagraphsRendersAnew) {
    TimelineHarness h;
    h.view.fillStep = 6;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.pendingParagraphs(), 24u);
    segs.erase(segs.begin() + 3);  // deleted elsewhere, not yet shown here
    segs[1].text = "Changed by another window.";
    const TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    finish(h);
    expectSameAsFullRender(h, in);
}

TEST(TimelineFill, ChangeInTheFirstShownParagraphReplacesFromItsSeparator) {
    TimelineHarness h;
    h.view.fillStep = 5;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.pendingParagraphs(), 25u);
    segs[25].text = "Reworded by another window.";
    const TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.pendingParagraphs(), 25u);  // only the shown text changed
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    finish(h);
    expectSameAsFullRender(h, in);
}

TEST(TimelineFill, TypingDuringTheFillIsReportedAndKept) {
    TimelineHarness h;
    h.view.fillStep = 4;
    auto blocks = uitest::blocks(uitest::segments(20, 60));
    h.view.setInputs(h.inputs(blocks));
    ASSERT_EQ(h.view.pendingParagraphs(), 16u);
    const auto& r = h.view.ranges()[1];  // paragraph 17
    h.select(r.location + 9, r.location + 9);
    QTest::keyClicks(&h.edit(), "XY");
    ASSERT_FALSE(h.edits.empty());
    EXPECT_EQ(h.edits.back().first.id, (*blocks)[17].id);
    EXPECT_EQ(h.edits.back().second, "ParagraphXY 17 says something worth keeping.");
    // Keys of the paragraphs still to come survive the edit's remapping.
    ASSERT_EQ(h.view.renderedKeys().size(), 20u);
    EXPECT_EQ(h.view.renderedKeys()[0], ParagraphKey::of((*blocks)[0]));
    EXPECT_EQ(h.view.renderedKeys()[17].text, "ParagraphXY 17 says something worth keeping.");

    finish(h);
    EXPECT_EQ(h.view.pendingParagraphs(), 0u);
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    EXPECT_EQ(h.view.ranges().size(), 20u);
    EXPECT_TRUE(h.view.text().string().contains("ParagraphXY 17 says"));
    EXPECT_TRUE(h.view.text().string().startsWith("Paragraph 0 says"));
    // The caret stayed in the edited paragraph while older text came in front.
    const int caret = h.edit().textCursor().position();
    EXPECT_EQ(h.view.ranges()[17].location + 11, caret);

    // The store takes the edit: nothing is rendered again.
    std::vector<Block> edited = *blocks;
    edited[17].segments.front().text = "ParagraphXY 17 says something worth keeping.";
    const int revision = h.doc().revision();
    h.show(std::make_shared<const std::vector<Block>>(edited));
    EXPECT_EQ(h.doc().revision(), revision);
}

TEST(TimelineFill, JumpToAnOlderParagraphFinishesTheFillFirst) {
    TimelineHarness h;
    h.view.fillStep = 5;
    auto blocks = uitest::blocks(uitest::segments(40, 60));
    h.view.setInputs(h.inputs(blocks));
    h.settle();
    ASSERT_EQ(h.view.pendingParagraphs(), 35u);
    h.jump = {(*blocks)[2].id, 1};
    h.view.setInputs(h.inputs(blocks));
    EXPECT_EQ(h.view.pendingParagraphs(), 0u);
    h.settle();
    const auto& r = h.view.ranges()[2];
    const double top = DocumentGeometry::lineAt(h.doc(), r.location)->rect.top() - h.view.scrollY();
    const double spacing = h.view.text().attributesAt(r.location)->paragraph->spacingBefore;
    EXPECT_NEAR(top, spacing + 4, 1.0);
    EXPECT_EQ(h.scrolledToTop, 0);
}

TEST(TimelineFill, AwayFromTheEndTheShownTextStaysInPlace) {
    TimelineHarness h;
    h.view.fillStep = 20;
    auto blocks = uitest::blocks(uitest::segments(60, 60));
    h.view.setInputs(h.inputs(blocks));
    h.settle();
    ASSERT_GT(h.view.pendingParagraphs(), 0u);
    h.view.scrollTo(h.maxScroll() / 2);
    const auto& r = h.view.ranges()[3];
    const QString id = r.id;
    const double before =
        DocumentGeometry::lineAt(h.doc(), r.location)->rect.top() - h.view.scrollY();
    ASSERT_GT(h.view.scrollY(), TimelineTextView::kTopSlack);
    ASSERT_FALSE(h.view.atBottom());
    finish(h);
    ASSERT_EQ(h.view.pendingParagraphs(), 0u);
    bool found = false;
    for (const ParagraphRange& now : h.view.ranges()) {
        if (now.id != id) continue;
        found = true;
        EXPECT_NEAR(DocumentGeometry::lineAt(h.doc(), now.location)->rect.top() - h.view.scrollY(),
                    before, 1.0);
    }
    EXPECT_TRUE(found);
    // Reaching the top while older text was coming asked for nothing.
    EXPECT_EQ(h.scrolledToTop, 0);
}

// The store hands over paragraphs that share their segments with those it
// handed over before; the view takes what it shares with the array it
// rendered as unchanged. Whatever came between, the text must be what a full
// render of the same paragraphs gives, written at once or while older text
// is still coming in.
TEST(TimelineFill, AppendsAfterEditsDeletesAndScopeChangesMatchAFullRender) {
    enum class Scope { all, searched, session };
    for (const size_t step : {kNever, size_t(4)}) {
        SCOPED_TRACE(step == kNever ? "written at once" : "during the fill");
        testsupport::TempDir dir;
        TranscriptStore store(dir.path());
        store.segments.set(uitest::segments(30, 60));
        double end = 29 * 60 + 4;
        int appended = 0;
        auto append = [&](double pause, std::string text = {}) {
            if (text.empty()) text = "Appended " + std::to_string(appended) + " arrives now.";
            ++appended;
            const double start = end + pause;
            end = start + 2;
            store.append(uitest::segment(start, end, std::move(text)));
        };
        auto edit = [&](size_t index, std::string text) {
            const auto all = store.allBlocks();
            store.replace((*all)[std::min(index, all->size() - 1)], text);
        };
        auto remove = [&](size_t index) {
            const auto all = store.allBlocks();
            store.deleteBlocks({(*all)[std::min(index, all->size() - 1)]});
        };
        auto shown = [&](Scope scope) -> std::shared_ptr<const std::vector<Block>> {
            switch (scope) {
                case Scope::all:
                    return store.allBlocks();
                case Scope::searched: {  // copies of the paragraphs that hold a hit
                    std::vector<Block> hits;
                    for (const Block& b : *store.allBlocks())
                        if (b.text().find('1') != std::string::npos) hits.push_back(b);
                    return std::make_shared<const std::vector<Block>>(std::move(hits));
                }
                case Scope::session: {  // grouped anew from the session's segments
                    std::vector<Segment> since;
                    for (const Segment& s : store.segments.peek())
                        if (s.start >= uitest::at(20 * 60)) since.push_back(s);
                    return uitest::blocks(since);
                }
            }
            return nullptr;
        };
        struct Step {
            const char* name;
            std::function<void()> change;
            Scope scope = Scope::all;
            bool live = false;
        };
        const Step steps[] = {
            {"first", [] {}},
            {"a preview", [] {}, Scope::all, true},
            {"a final joins the last paragraph", [&] { append(1); }},
            {"a final after a pause", [&] { append(30); }, Scope::all, true},
            {"an older paragraph edited", [&] { edit(2, "The second paragraph, reworded."); }},
            {"a final after the edit", [&] { append(40); }, Scope::all, true},
            {"the last paragraph edited", [&] { edit(1000, "The last one, reworded."); }},
            {"a final joins the edited one", [&] { append(0.5); }},
            {"a middle paragraph deleted", [&] { remove(5); }},
            {"a final after the delete", [&] { append(50); }},
            {"a search", [] {}, Scope::searched},
            {"a final that is a hit", [&] { append(50, "Number 41 is a hit."); }, Scope::searched},
            {"a final that is no hit", [&] { append(50, "Nothing here."); }, Scope::searched},
            {"a hit joins the last hit", [&] { append(1, "Also 1."); }, Scope::searched, true},
            {"a session", [] {}, Scope::session},
            {"a final in the session", [&] { append(1); }, Scope::session},
            {"the whole transcript again", [] {}},
            {"a final", [&] { append(30); }, Scope::all, true},
            {"the last paragraph deleted", [&] { remove(1000); }},
            {"a final after it", [&] { append(30); }},
            {"the first paragraph edited", [&] { edit(0, "Paragraph zero, reworded."); }},
            {"a final joins", [&] { append(2); }},
        };
        TimelineHarness h;
        h.view.fillStep = step;
        TimelineInputs in;
        int duringFill = 0;  // steps taken while older text was still to come
        for (const Step& s : steps) {
            SCOPED_TRACE(s.name);
            s.change();
            std::optional<Block> live;
            if (s.live) live = uitest::block(end + 5, end + 6, "and so we");
            in = withLive(h, shown(s.scope), live);
            h.view.setInputs(in);
            h.settle();
            EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
            if (step == kNever) expectSameAsFullRender(h, in);
            if (h.view.pendingParagraphs() > 0) ++duringFill;
        }
        // Back to the whole transcript, the view keeps its place: older text
        // is then written at once.
        EXPECT_EQ(duringFill, step == kNever ? 0 : 16);
        finish(h);
        expectSameAsFullRender(h, in);
    }
}

TEST(TimelineUpdatePlanner, SharedPrefixCountsOnlyParagraphsCarriedOver) {
    using Array = std::shared_ptr<const std::vector<Block>>;
    const Array base = uitest::blocks(uitest::segments(5, 60));
    auto segmentsOf = [](const std::vector<Block>& blocks) {
        std::vector<Segment> out;
        for (const Block& b : blocks) out.insert(out.end(), b.segments.begin(), b.segments.end());
        return out;
    };
    auto changed = [&](std::function<void(std::vector<Block>&)> change) {
        std::vector<Block> copy = *base;
        change(copy);
        return std::make_shared<const std::vector<Block>>(std::move(copy));
    };
    struct Case {
        const char* name;
        Array older, newer;
        size_t shared;
    };
    const Case cases[] = {
        {"the same array", base, base, 5},
        {"none rendered yet", nullptr, base, 0},
        {"none now", base, nullptr, 0},
        {"a copy", base, changed([](auto&) {}), 5},
        {"one more", base, changed([](auto& v) { v.push_back(uitest::block(1e4, 1e4 + 1, "x")); }),
         5},
        {"one fewer", base, changed([](auto& v) { v.pop_back(); }), 4},
        {"an equal text in a new paragraph", base, changed([](auto& v) {
             v[2] = Block{v[2].id, std::vector<Segment>{v[2].segments[0]}};
         }),
         2},
        {"a changed segment", base, changed([](auto& v) { v[3].segments[0].text = "new"; }), 3},
        {"the same segments under another id", base,
         changed([](auto& v) { v[1].id = platform::Uuid::random(); }), 1},
        {"a paragraph deleted", base, changed([](auto& v) { v.erase(v.begin() + 1); }), 1},
        {"regrouped from the same segments", base, uitest::blocks(segmentsOf(*base)), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimelineUpdatePlanner::sharedPrefix(c.older, c.newer), c.shared) << c.name;
}

TEST(TimelineUpdatePlanner, TailStartWithParagraphsNotYetShown) {
    // Text "\nB\nC": A is not shown yet, B follows its separator.
    const std::vector<ParagraphKey> keys = {
        {platform::Uuid::random(), "A"},
        {platform::Uuid::random(), "B"},
        {platform::Uuid::random(), "C"},
    };
    auto id = [&](size_t i) { return QString::fromStdString(keys[i].id.string()); };
    const std::vector<ParagraphRange> ranges = {{id(1), 1, 1}, {id(2), 3, 1}};
    struct Case {
        size_t index, hidden;
        int start;
    };
    const Case cases[] = {
        {1, 1, 0},  // the first one shown: from its separator
        {2, 1, 2},
        {3, 1, 4},  // nothing after the last: an append
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimelineUpdatePlanner::tailStart(ranges, 4, keys, c.index, c.hidden), c.start)
            << c.index << "/" << c.hidden;
}

}  // namespace
