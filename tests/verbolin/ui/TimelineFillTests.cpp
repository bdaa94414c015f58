// A long timeline opens with its newest paragraphs and takes the older ones
// in on later turns. Whatever arrives meanwhile, the finished view must be
// the one a single full render gives.
#include <gtest/gtest.h>

#include <QTest>
#include <QTextBlock>
#include <limits>

#include "verbolin/ui/DocumentGeometry.hpp"
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
    };
    const Case cases[] = {
        {30, 4, false}, {30, 4, true},  {31, 10, true}, {12, 11, false},
        {25, 1, true},  {40, 39, true}, {20, 20, true},  // no fill: written at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.paragraphs) + " by " + std::to_string(c.step));
        TimelineHarness h;
        h.view.fillStep = c.step;
        auto blocks = uitest::blocks(uitest::segments(c.paragraphs, 60));
        std::optional<Block> live;
        if (c.live) live = uitest::block(1e5, 1e5 + 2, "and so we");
        const TimelineInputs in = withLive(h, blocks, live);
        h.view.setInputs(in);
        const size_t expected = size_t(c.paragraphs) > c.step ? c.paragraphs - c.step : 0;
        EXPECT_EQ(h.view.pendingParagraphs(), expected);
        EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
        h.settle();
        EXPECT_EQ(h.view.pendingParagraphs(), expected);  // the first step waits for a timer
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());
        if (expected > 0) {
            h.main.advance(TimelineTextView::kFillPause);  // one step
            EXPECT_EQ(h.view.pendingParagraphs(), expected > c.step ? expected - c.step : 0);
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
