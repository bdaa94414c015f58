// A long timeline holds a stretch of its paragraphs, its newest first, and
// brings older ones in a page at a time as the top is reached, letting go of
// those far below. Whatever arrives meanwhile, what it holds must read
// exactly as the same stretch of a single full render.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <limits>
#include <random>

#include "support/ProcessMemory.hpp"
#include "support/TempDir.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/LongParagraph.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TextDepth.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineUpdatePlanner.hpp"
#include "verbolin/ui/TimelineViewHarness.hpp"
#include "verbolin/ui/UiFonts.hpp"

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

double lineTop(TimelineHarness& h, int position) {
    return DocumentGeometry::lineAt(h.doc(), position)->rect.top() - h.view.scrollY();
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

// Scrolls to the top, one page a turn, until the oldest paragraph is held.
void finish(TimelineHarness& h) {
    for (int turns = 0; h.view.heldFrom() > 0 && turns < 10000; ++turns) {
        h.view.scrollTo(0);
        h.view.loadOlder();
        h.settle();
    }
    h.settle();
}

// What the held stretch must be: the same stretch of the same inputs
// rendered whole, from the separator in front of its first paragraph.
void expectSameAsFullRender(TimelineHarness& h, const TimelineInputs& in) {
    TimelineHarness full;
    full.view.windowParagraphs = kNever;
    full.view.setInputs(in);
    full.settle();
    ASSERT_EQ(full.view.heldFrom(), 0u);
    const size_t lo = h.view.heldFrom(), count = h.view.renderedKeys().size();
    const auto& all = full.view.ranges();
    ASSERT_LE(lo + count, all.size());
    const int start = lo > 0 ? all[lo].location - 1 : 0;
    const int end =
        lo + count < all.size() ? all[lo + count].location - 1 : full.view.text().length();
    EXPECT_EQ(h.view.text().string(), full.view.text().string().mid(start, end - start));
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    // Block by block, but for the empty one in front of a leading separator.
    std::vector<std::string> dump = documentDump(full.doc());
    const int firstBlock = full.doc().findBlock(lo > 0 ? start + 1 : 0).blockNumber();
    dump = std::vector<std::string>(
        dump.begin() + firstBlock,
        dump.begin() + firstBlock + h.doc().blockCount() - (lo > 0 ? 1 : 0));
    std::vector<std::string> held = documentDump(h.doc());
    if (lo > 0) held.erase(held.begin());
    EXPECT_EQ(held, dump);
    std::vector<ParagraphRange> ranges(all.begin() + std::ptrdiff_t(lo),
                                       all.begin() + std::ptrdiff_t(lo + count));
    for (ParagraphRange& r : ranges) r.location -= start;
    EXPECT_EQ(h.view.ranges(), ranges);
    const auto& keys = full.view.renderedKeys();
    EXPECT_EQ(h.view.renderedKeys(),
              std::vector<ParagraphKey>(keys.begin() + std::ptrdiff_t(lo),
                                        keys.begin() + std::ptrdiff_t(lo + count)));
    const auto entries = gutterEntries(full);
    EXPECT_EQ(gutterEntries(h), decltype(entries)(entries.begin() + std::ptrdiff_t(lo),
                                                  entries.begin() + std::ptrdiff_t(lo + count)));
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
        {25, 1, true},         {40, 39, true}, {20, 20, true},  // held whole
        {5, 1000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.paragraphs) + " by " + std::to_string(c.step));
        TimelineHarness h(600, 60);  // a few paragraphs more than fill it
        h.view.windowParagraphs = c.step;
        auto segments = uitest::segments(c.paragraphs, 60);
        for (auto& s : segments)
            while (c.tooLong && s.text.size() <= size_t(LongParagraph::kLimit)) s.text += " more";
        auto blocks = uitest::blocks(segments);
        std::optional<Block> live;
        if (c.live) live = uitest::block(1e5, 1e5 + 2, "and so we");
        const TimelineInputs in = withLive(h, blocks, live);
        h.view.setInputs(in);
        // Paragraphs too long to show whole are counted as deep as the part
        // shown: five of them are far within the depth.
        const size_t expected = size_t(c.paragraphs) > c.step ? c.paragraphs - c.step : 0;
        EXPECT_LT(DocumentGeometry::layoutAll(h.doc()), TimelineTextView::kDepthCeiling);
        EXPECT_EQ(h.view.heldFrom(), expected);
        EXPECT_EQ(h.view.heldTo(), size_t(c.paragraphs));
        EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
        h.settle();
        EXPECT_EQ(h.view.heldFrom(), expected);  // nothing comes in unasked
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());
        expectSameAsFullRender(h, in);
        if (expected > 0) {
            // One page at the top: the paragraph on top stays where it was.
            // Scrolled to the top: pages come in.
            h.view.scrollTo(0);
            const QString top = h.view.ranges()[0].id;
            const double before = lineTop(h, h.view.ranges()[0].location);
            h.settle();
            EXPECT_LT(h.view.heldFrom(), expected);
            const auto now = std::find_if(h.view.ranges().begin(), h.view.ranges().end(),
                                          [&](const ParagraphRange& r) { return r.id == top; });
            // Held still unless pages came in until it was far below.
            if (now != h.view.ranges().end() && (h.view.heldFrom() > 0 || h.view.scrollY() > 0)) {
                EXPECT_NEAR(lineTop(h, now->location), before, 1.0);
            }
            expectSameAsFullRender(h, in);
        }
        finish(h);
        EXPECT_EQ(h.view.heldFrom(), 0u);
        expectSameAsFullRender(h, in);
        h.view.reachEnd();  // Ctrl+End: the newest at once
        h.settle();
        EXPECT_EQ(h.view.heldTo(), size_t(c.paragraphs));
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());
        expectSameAsFullRender(h, in);
    }
}

TEST(TimelineFill, NewFinalsAndPreviewsDuringTheFillChangeOnlyTheTail) {
    TimelineHarness h;
    h.view.windowParagraphs = 5;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.heldFrom(), 25u);
    const int shown = h.view.text().length();

    // A preview, then a final: the older text is not held.
    Block live = uitest::block(1e5, 1e5 + 2, "and so");
    h.view.setInputs(withLive(h, uitest::blocks(segs), live));
    EXPECT_EQ(h.view.heldFrom(), 25u);
    EXPECT_GT(h.view.text().length(), shown);
    segs.push_back(uitest::segment(1e5, 1e5 + 2, "and so we went."));
    TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.heldFrom(), 26u);  // the oldest held let go for the newest
    // The gutter finds the paragraphs held among all of them.
    const auto entry = h.view.gutter()->entryAt(0);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->label, (*in.blocks)[26].text());
    // With the caret in the oldest held paragraph, the next final lets go
    // of the other end: the paragraph being edited stays, the caret in it.
    const int oldest = h.view.ranges()[0].location;
    h.select(oldest + 4, oldest + 4);
    segs.push_back(uitest::segment(1e5 + 10, 1e5 + 12, "and back again."));
    in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.heldFrom(), 26u);
    EXPECT_EQ(h.edit().textCursor().position(), h.view.ranges()[0].location + 4);
    expectSameAsFullRender(h, in);
    finish(h);
    expectSameAsFullRender(h, in);
}

// Reading the newest text as it comes, the user's caret far above keeps nothing held.
TEST(TimelineFill, FollowingNewSpeechLetsGoOfACaretScrolledAwayAbove) {
    TimelineHarness h(600, 60);
    h.view.windowParagraphs = 4;
    auto segs = uitest::segments(20, 60);
    h.view.setInputs(h.inputs(uitest::blocks(segs)));
    ASSERT_EQ(h.view.heldFrom(), 16u);
    const int oldest = h.view.ranges()[0].location;
    h.select(oldest + 3, oldest + 3);  // put there by the user
    h.view.scrollTo(h.maxScroll());
    h.settle();
    segs.push_back(uitest::segment(1e5, 1e5 + 2, "and so we went."));
    h.view.setInputs(h.inputs(uitest::blocks(segs)));
    EXPECT_EQ(h.view.heldFrom(), 17u);
    EXPECT_EQ(h.view.heldTo(), 21u);
}

TEST(TimelineFill, ChangeAmongOlderParagraphsRendersAnew) {
    TimelineHarness h;
    h.view.windowParagraphs = 6;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.heldFrom(), 24u);
    segs.erase(segs.begin() + 3);  // deleted elsewhere, not yet shown here
    segs[1].text = "Changed by another window.";
    const TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.heldFrom(), 23u);  // the same paragraphs, a place earlier
    expectSameAsFullRender(h, in);
    finish(h);
    expectSameAsFullRender(h, in);
}

TEST(TimelineFill, ChangeInTheFirstShownParagraphReplacesFromItsSeparator) {
    TimelineHarness h;
    h.view.windowParagraphs = 5;
    auto segs = uitest::segments(30, 60);
    h.view.setInputs(withLive(h, uitest::blocks(segs), std::nullopt));
    ASSERT_EQ(h.view.heldFrom(), 25u);
    segs[25].text = "Reworded by another window.";
    const TimelineInputs in = withLive(h, uitest::blocks(segs), std::nullopt);
    h.view.setInputs(in);
    EXPECT_EQ(h.view.heldFrom(), 25u);  // only the shown text changed
    expectSameAsFullRender(h, in);
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    finish(h);
    expectSameAsFullRender(h, in);
}

TEST(TimelineFill, TypingDuringTheFillIsReportedAndKept) {
    TimelineHarness h(600, 60);
    h.view.windowParagraphs = 4;
    auto blocks = uitest::blocks(uitest::segments(20, 60));
    h.view.setInputs(h.inputs(blocks));
    ASSERT_EQ(h.view.heldFrom(), 16u);
    const auto& r = h.view.ranges()[1];  // paragraph 17
    h.select(r.location + 9, r.location + 9);
    QTest::keyClicks(&h.edit(), "XY");
    ASSERT_FALSE(h.edits.empty());
    EXPECT_EQ(h.edits.back().first.id, (*blocks)[17].id);
    EXPECT_EQ(h.edits.back().second, "ParagraphXY 17 says something worth keeping.");
    // Only the edited paragraph's key changed; the one in front is as it was.
    ASSERT_EQ(h.view.renderedKeys().size(), 4u);
    EXPECT_EQ(h.view.renderedKeys()[0], ParagraphKey::of((*blocks)[16]));
    EXPECT_EQ(h.view.renderedKeys()[1].text, "ParagraphXY 17 says something worth keeping.");

    // The store takes the edit: nothing is rendered again.
    std::vector<Block> edited = *blocks;
    edited[17].segments.front().text = "ParagraphXY 17 says something worth keeping.";
    auto stored = std::make_shared<const std::vector<Block>>(edited);
    int revision = h.doc().revision();
    h.show(stored);
    EXPECT_EQ(h.doc().revision(), revision);

    // A page at the top: the caret stays in the edited paragraph while
    // older text comes in front; then that paragraph is let go, and brought
    // back, with the caret, by Ctrl+End.
    h.view.scrollTo(0);
    h.settle();
    EXPECT_LT(h.view.heldFrom(), 16u);
    const QString edited17 = QString::fromStdString((*blocks)[17].id.string());
    const auto at17 = std::find_if(h.view.ranges().begin(), h.view.ranges().end(),
                                   [&](const ParagraphRange& r) { return r.id == edited17; });
    ASSERT_NE(at17, h.view.ranges().end());
    EXPECT_EQ(at17->location + 11, h.edit().textCursor().position());
    const size_t reported = h.edits.size();
    finish(h);
    EXPECT_EQ(h.view.heldFrom(), 0u);
    EXPECT_EQ(h.view.heldTo(), 4u);
    EXPECT_TRUE(h.view.text().string().startsWith("Paragraph 0 says"));
    h.view.reachEnd();
    h.settle();
    EXPECT_TRUE(h.view.text().string().contains("ParagraphXY 17 says"));
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    // Typed again where the caret came back: the edit reaches the paragraph.
    const auto& again = h.view.ranges()[1];
    h.select(again.location + 11, again.location + 11);
    QTest::keyClicks(&h.edit(), "Z");
    ASSERT_EQ(h.edits.size(), reported + 1);
    EXPECT_EQ(h.edits.back().first.id, (*blocks)[17].id);
    EXPECT_EQ(h.edits.back().second, "ParagraphXYZ 17 says something worth keeping.");

    // Let go again, then taken back by the window's undo: the paragraph
    // comes in where the caret is asked for.
    finish(h);
    ASSERT_EQ(h.view.heldTo(), 4u);
    TimelineInputs undone = h.inputs(blocks);
    undone.caret = {(*blocks)[17].id, 9, 1};
    h.view.setInputs(undone);
    h.settle();
    const QString id17 = QString::fromStdString((*blocks)[17].id.string());
    const auto back = std::find_if(h.view.ranges().begin(), h.view.ranges().end(),
                                   [&](const ParagraphRange& r) { return r.id == id17; });
    ASSERT_NE(back, h.view.ranges().end());
    EXPECT_EQ(h.edit().textCursor().position(), back->location + 9);
    EXPECT_TRUE(h.view.text().string().contains("Paragraph 17 says"));
}

TEST(TimelineFill, JumpToAnOlderParagraphFinishesTheFillFirst) {
    TimelineHarness h;
    h.view.windowParagraphs = 30;
    auto blocks = uitest::blocks(uitest::segments(40, 60));
    h.view.setInputs(h.inputs(blocks));
    h.settle();
    ASSERT_EQ(h.view.heldFrom(), 10u);
    h.jump = {(*blocks)[2].id, 1};
    h.view.setInputs(h.inputs(blocks));
    ASSERT_LE(h.view.heldFrom(), 2u);
    EXPECT_GT(h.view.heldTo(), 2u);
    h.settle();
    const auto& r = h.view.ranges()[2 - h.view.heldFrom()];
    const double top = DocumentGeometry::lineAt(h.doc(), r.location)->rect.top() - h.view.scrollY();
    const double spacing = h.view.text().attributesAt(r.location)->paragraph->spacingBefore;
    EXPECT_NEAR(top, spacing + 4, 1.0);
    // Passing the top while the oldest came in asks the host once at most.
    EXPECT_LE(h.scrolledToTop, 1);
}

TEST(TimelineFill, AwayFromTheEndTheShownTextStaysInPlace) {
    TimelineHarness h;
    h.view.windowParagraphs = 20;
    auto segs = uitest::segments(60, 60);
    h.view.setInputs(h.inputs(uitest::blocks(segs)));
    h.settle();
    ASSERT_GT(h.view.heldFrom(), 0u);
    h.view.scrollTo(h.maxScroll() / 2);
    const auto& r = h.view.ranges()[3];
    const QString id = r.id;
    const double before =
        DocumentGeometry::lineAt(h.doc(), r.location)->rect.top() - h.view.scrollY();
    ASSERT_GT(h.view.scrollY(), TimelineTextView::kTopSlack);
    ASSERT_FALSE(h.view.atBottom());
    // New speech, but not past what the window may hold: the text on
    // screen stays.
    segs.push_back(uitest::segment(5000, 5002, "New."));
    h.show(uitest::blocks(segs));
    EXPECT_LE(h.view.renderedKeys().size(), 20u);
    bool found = false;
    for (const ParagraphRange& now : h.view.ranges()) {
        if (now.id != id) continue;
        found = true;
        EXPECT_NEAR(DocumentGeometry::lineAt(h.doc(), now.location)->rect.top() - h.view.scrollY(),
                    before, 1.0);
    }
    EXPECT_TRUE(found);
    // Reaching the top while older text is not held brings it in and asks
    // the host for nothing.
    h.view.scrollTo(0);
    h.settle();
    EXPECT_LT(h.view.heldFrom(), 41u);
    EXPECT_EQ(h.scrolledToTop, 0);
    // Pages in until the newest are let go: new speech and a preview do not
    // pull the view, nor come into what it holds.
    for (int i = 0; i < 20 && h.view.heldTo() == segs.size(); ++i) {
        h.view.scrollTo(0);
        h.settle();
    }
    ASSERT_LT(h.view.heldTo(), segs.size());
    const size_t to = h.view.heldTo();
    const QString text = h.view.text().string();
    const double y = h.view.scrollY();
    segs.push_back(uitest::segment(9000, 9002, "Newer still."));
    TimelineInputs in = h.inputs(uitest::blocks(segs));
    in.liveBlock = uitest::block(9100, 9101, "and so");
    in.liveId = in.liveBlock->id;
    h.view.setInputs(in);
    h.settle();
    EXPECT_EQ(h.view.heldTo(), to);
    EXPECT_EQ(h.view.text().string(), text);
    EXPECT_EQ(h.view.scrollY(), y);
    // Ctrl+End: the newest and the live paragraph at once.
    h.view.reachEnd();
    h.settle();
    EXPECT_EQ(h.view.heldTo(), segs.size());
    EXPECT_TRUE(h.view.text().string().endsWith("and so"));
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());
}

// In a text a little taller than the screen, the page that scrolling to one
// end of what is held brings in leaves the view near its other end, with
// the text on screen in place: it is the user's next scroll there, not the
// page's own move, that brings the next page.
TEST(TimelineFill, APageThatKeepsTheTextInPlaceAsksForNoPageTheOtherWay) {
    constexpr size_t kHeld = 12, kPage = 4;  // a third of what is held
    const auto blocks = uitest::blocks(uitest::segments(30, 60));
    // The depth of what is held and of a page, alike all along.
    double held = 0, page = 0, frame = 0;
    {
        TimelineHarness probe(600, 1200);
        probe.view.windowParagraphs = kHeld;
        probe.show(blocks);
        ASSERT_EQ(probe.view.renderedKeys().size(), kHeld);
        const auto top = [&](size_t k) {
            return DocumentGeometry::lineAt(probe.doc(), probe.view.ranges()[k].location)
                ->rect.top();
        };
        held = DocumentGeometry::layoutAll(probe.doc());
        page = top(kPage) - top(0);
        frame = probe.edit().height() - probe.edit().viewport()->height();
    }
    ASSERT_GT(page, TimelineTextView::kTopSlack);
    // A page's move leaves the view 10 px from the other end of what is held.
    const int height = int(held - page - 10 + frame);
    const struct {
        const char* name;
        bool toTop;
    } rows[] = {{"the top of the newest reached", true}, {"the end of the oldest reached", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TimelineHarness h(600, height);
        h.view.windowParagraphs = kHeld;
        h.show(blocks);
        if (!row.toTop) h.view.reachStart(), h.settle();
        const size_t from = h.view.heldFrom();
        const QString onTop = h.view.ranges()[row.toTop ? 0 : kHeld - 1].id;
        const auto placeOnScreen = [&]() -> std::optional<double> {
            for (const ParagraphRange& r : h.view.ranges())
                if (r.id == onTop)
                    return DocumentGeometry::lineAt(h.doc(), r.location)->rect.top() -
                           h.view.scrollY();
            return std::nullopt;
        };
        h.view.scrollTo(row.toTop ? 0 : h.maxScroll());
        const std::optional<double> before = placeOnScreen();
        // A page that asked for another would go on for ever: a bounded wait.
        for (int i = 0; i < 3; ++i) QApplication::processEvents(), h.main.runPending(100);
        EXPECT_EQ(h.view.heldFrom(), row.toTop ? from - kPage : from + kPage);
        QApplication::processEvents();
        EXPECT_EQ(h.main.runPending(100), 0u) << "a page comes in turn after turn";
        const std::optional<double> after = placeOnScreen();
        ASSERT_TRUE(before && after);
        EXPECT_NEAR(*after, *before, 1.0);
    }
}

TEST(TimelineFill, AnArrayHoldingNoneOfWhatIsHeldComesInAPageAtATimeFromItsNewest) {
    TimelineHarness h;
    h.view.windowParagraphs = 21;
    h.show(uitest::blocks(uitest::segments(60, 60)));
    ASSERT_EQ(h.view.heldFrom(), 39u);
    // A search: paragraphs of other ids, fewer than were held before.
    const TimelineInputs in = withLive(h, uitest::blocks(uitest::segments(30, 60, 7)), {});
    h.view.setInputs(in);
    h.settle();
    // Its newest, pages of 7 until they fill the screen, not all 21 at once.
    EXPECT_EQ(h.view.heldTo(), 30u);
    const size_t from = h.view.heldFrom();
    EXPECT_TRUE(from == 23 || from == 16) << from;
    expectSameAsFullRender(h, in);
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());
    // Scrolling to its top brings the ones before a page at a time, letting
    // go of the newest past what may be held.
    h.view.scrollTo(0);
    h.settle();
    EXPECT_EQ(h.view.heldFrom(), from - 7);
    finish(h);
    EXPECT_EQ(h.view.heldFrom(), 0u);
    EXPECT_LE(h.view.renderedKeys().size(), 21u);
    expectSameAsFullRender(h, in);
}

// The store hands over paragraphs that share their segments with those it
// handed over before; the view takes what it shares with the array it
// rendered as unchanged. Whatever came between, the text must be what a full
// render of the same paragraphs gives, written at once or while older text
// is still coming in.
TEST(TimelineFill, AppendsAfterEditsDeletesAndScopeChangesMatchAFullRender) {
    enum class Scope { all, searched, session };
    for (const size_t step : {kNever, size_t(4)}) {
        SCOPED_TRACE(step == kNever ? "held whole" : "four held");
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
        h.view.windowParagraphs = step;
        TimelineInputs in;
        int duringFill = 0;  // steps taken while older text was still to come
        int longer = 0;      // steps whose view has more paragraphs than may be held
        for (const Step& s : steps) {
            SCOPED_TRACE(s.name);
            s.change();
            std::optional<Block> live;
            if (s.live) live = uitest::block(end + 5, end + 6, "and so we");
            in = withLive(h, shown(s.scope), live);
            h.view.setInputs(in);
            h.settle();
            EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
            expectSameAsFullRender(h, in);
            if (h.view.heldFrom() > 0) ++duringFill;
            if (in.blocks->size() > step) ++longer;
        }
        EXPECT_EQ(duringFill, step == kNever ? 0 : 22);
        EXPECT_EQ(duringFill, longer);
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

namespace {

// `count` paragraphs of dictation a minute apart, each its own paragraph.
std::shared_ptr<const std::vector<Block>> dictation(int count, size_t words = 12,
                                                    const std::string& word = " spoken") {
    std::vector<Segment> segs;
    segs.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        std::string text = "Utterance " + std::to_string(i);
        for (size_t w = 0; w < words; ++w) text += word;
        segs.push_back(uitest::segment(i * 600.0, i * 600.0 + 4, text + "."));
    }
    return uitest::blocks(segs);
}

}  // namespace

// A year of dictation costs what a day's does: what is held, laid out,
// compared per key and restyled is bounded by the window, not the
// transcript, and never deeper than Qt can place a line, at the largest
// size in a narrow window too.
TEST(TimelineFill, AYearsViewHoldsWhatADaysDoes) {
    struct Row {
        const char* name;
        int paragraphs;
        double font;
        int width;
        size_t words = 12;
        std::string word = " spoken";
    };
    const Row rows[] = {
        {"one day", 300, 20, 600},
        {"one year", 81'000, 20, 600},
        {"one year at the largest size, narrow", 81'000, 64, 330},
        // Words of wide letters, each wrapped alone, leave lines part empty.
        {"wide words, largest size, narrow", 2'000, 64, 330, 400, " WW"},
        // Characters several times as wide as a letter take a line each: the
        // Arabic ligature where a font has it, the three-em dash, a digraph
        // of two bytes only, and one of each script in turn, in long runs
        // without a space.
        {"runs of U+FDFD, largest size, narrowest", 2'000, 64, 240, 400, "\uFDFD\uFDFD\uFDFD"},
        {"runs of three-em dashes, largest size, narrow", 2'000, 64, 300, 400,
         "\u2E3B\u2E3B\u2E3B"},
        {"runs of digraphs, largest size, narrowest", 2'000, 64, 240, 400, "\u01F1\u01F1\u01F1"},
        {"mixed scripts, largest size, narrow", 2'000, 64, 270, 60,
         " \u4E2D\u6587 \u0639\u0631\u0628\u064A \uFDFD \u0CCB \u30FA\u2E3B WW"},
    };
    struct Work {
        int held = 0, keys = 0, edits = 0;
    };
    std::optional<Work> day;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TimelineHarness h(row.width, 400);
        const auto blocks = dictation(row.paragraphs, row.words, row.word);
        h.show(blocks, row.font);
        for (int i = 0; i < 100 && h.view.restyling(); ++i)
            h.main.advance(TimelineTextView::kFillPause);
        h.settle();
        EXPECT_LT(DocumentGeometry::layoutAll(h.doc()), TimelineTextView::kDepthCeiling);
        EXPECT_EQ(h.view.heldTo(), blocks->size());  // the newest first
        EXPECT_EQ(h.view.scrollY(), h.maxScroll());
        // Typed at the newest paragraph's end: only that one is reported.
        const ParagraphRange last = h.view.ranges().back();
        h.select(last.end(), last.end());
        QTest::keyClicks(&h.edit(), "x");
        ASSERT_EQ(h.edits.size(), 1u);
        EXPECT_EQ(h.edits.back().first.id, blocks->back().id);
        // A new size and a narrow window: the held text restyled, no deeper
        // than the ceiling.
        h.show(blocks, 64);
        h.view.resize(std::min(row.width, 300), 400);
        h.settle();
        for (int i = 0; i < 1000 && h.view.restyling(); ++i)
            h.main.advance(TimelineTextView::kFillPause);
        EXPECT_FALSE(h.view.restyling());
        EXPECT_LT(DocumentGeometry::layoutAll(h.doc()), TimelineTextView::kDepthCeiling);
        // And answers a key there.
        const ParagraphRange newest = h.view.ranges().back();
        h.select(newest.end(), newest.end());
        QTest::keyClicks(&h.edit(), "y");
        ASSERT_EQ(h.edits.size(), 2u);
        EXPECT_EQ(h.edits.back().first.id, blocks->back().id);
        const Work now{h.view.text().length(), int(h.view.renderedKeys().size()),
                       int(h.edits.size())};
        if (!day) day = now;
        if (row.word != rows[0].word) continue;  // paragraphs of another length
        EXPECT_LE(now.held, day->held * 3 / 2);
        EXPECT_LE(now.keys, day->keys * 3 / 2);
    }
}

namespace {

// `text` laid out by Qt as the timeline sets a paragraph at `font`, in a
// column `width` wide: its depth, the space above it included.
double laidOut(const QString& text, double font, double width) {
    QTextDocument doc;
    doc.setDocumentMargin(0);
    doc.setTextWidth(width);
    QTextBlockFormat block;
    block.setTopMargin(font * TimelineRenderer::kSectionFactor);
    block.setLineHeight(font * TimelineRenderer::kLineSpacingFactor,
                        QTextBlockFormat::LineDistanceHeight);
    QTextCharFormat characters;
    characters.setFont(UiFonts::body(font));
    QTextCursor c(&doc);
    c.setBlockFormat(block);
    c.insertText(text, characters);
    return DocumentGeometry::layoutAll(doc);
}

QString times(QStringView part, int count) {
    QString out;
    for (int i = 0; i < count; ++i) out += part;
    return out;
}

// Assigned characters below U+3000, of any script, a space now and then.
QString scrambled(unsigned seed) {
    std::mt19937 random(seed);
    QString out;
    while (out.size() < 400) {
        const auto c = char16_t(std::uniform_int_distribution(0x20, 0x2FFF)(random));
        if ((c >= 0x7F && c < 0xA0) || QChar::category(c) == QChar::Other_NotAssigned) continue;
        if (random() % 6 == 0) out += QLatin1Char(' ');
        out += QChar(c);
    }
    return out;
}

// Assigned characters of the scripts written without spaces (ideographs,
// kana, hangul, their punctuation, fullwidth forms), a space now and then.
QString scrambledWide(unsigned seed) {
    std::mt19937 random(seed);
    const std::pair<char16_t, char16_t> ranges[] = {
        {0x3000, 0x30FF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}, {0xFF01, 0xFFEE}};
    QString out;
    while (out.size() < 1200) {
        const auto& [from, to] = ranges[random() % 4];
        const auto c = char16_t(std::uniform_int_distribution(int(from), int(to))(random));
        if (QChar::category(c) == QChar::Other_NotAssigned) continue;
        if (random() % 9 == 0) out += QLatin1Char(' ');
        out += QChar(c);
    }
    return out;
}

}  // namespace

// The depth a paragraph is counted to take is never less than what Qt's
// layout makes of it, whatever its script, and close to it for ordinary
// dictation, so that the window holds as much of that as it may.
TEST(TimelineFill, ParagraphsAreSetNoDeeperThanCounted) {
    const double font = EditorModel::kMaxFontSize;
    struct Row {
        const char* name;
        QString text;
        double most = 0;  // how far above Qt's depth the count may be, where it matters
    };
    const Row rows[] = {
        {"dictation",
         times(u"the team moved to Monday because half of us were away, and notes from last "
               u"week still matter. Please call back about the budget draft review. ",
               8),
         1.2},
        {"wide words", times(u" WW", 200), 1.2},
        {"a long word", times(u"m", 400), 1.2},
        {"U+FDFD", times(u"\uFDFD", 300)},
        {"three-em dashes", times(u"\u2E3B", 300)},
        {"digraphs", times(u"\u01F1", 300)},
        {"ideographs", times(u"\u4E2D\u6587\u5B57", 100)},
        {"ideographs, kana and hangul of many kinds", scrambledWide(1), 1.3},
        {"the same, other kinds", scrambledWide(2), 1.3},
        {"ideographs each before a space", times(u"\u6587 \u5B57\u00A0", 150)},
        {"fullwidth forms", times(u"\uFF37\uFF4D\uFF10\uFF01", 150), 1.3},
        {"spaced signs of another font", times(u"\u0BF5 ", 150)},
        {"marks after letters", times(u"a\u07A6b\u07A8 ", 100)},
        {"vowel signs alone", times(u"\u0CCB", 300)},
        {"tabs", times(u"a\tbb\t", 80)},
        {"line and paragraph separators", times(u"one\u2028two\u2029three ", 40)},
        {"emoji sequences", times(u"\U0001F469\u200D\U0001F4BB ", 80)},
        {"scrambled", scrambled(1)},
        {"scrambled again", scrambled(2)},
    };
    for (const double width : {129.0, 228.0, 620.0}) {
        TextDepth depth(font, width, font * TimelineRenderer::kSectionFactor,
                        font * TimelineRenderer::kLineSpacingFactor);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + " in " + std::to_string(int(width)) + " px");
            const double real = laidOut(row.text, font, width), counted = depth.depth(row.text);
            EXPECT_GE(counted, real);
            if (row.most > 0) {
                EXPECT_LE(counted, real * row.most);
            }
        }
    }
    // Remembered by id and text: an edit is measured anew, and so is the
    // text the view holds where it differs from the transcript's.
    TextDepth depth(font, 228, 0, 1);
    const Block spoken = uitest::block(0, 1, "short");
    EXPECT_EQ(depth.paragraph(spoken), depth.depth(u"short"));
    Block edited = spoken;
    edited.segments[0].text = "short, and then a good deal longer";
    EXPECT_EQ(depth.paragraph(edited), depth.depth(u"short, and then a good deal longer"));
    EXPECT_EQ(depth.paragraph(spoken.id, u"short"), depth.depth(u"short"));
    EXPECT_EQ(depth.paragraph(edited), depth.depth(u"short, and then a good deal longer"));
    // Taken over by a narrower column (a window made narrower), what each
    // paragraph shows is kept and its depth counted anew there, a paragraph
    // of the transcript's and one the view holds alike.
    const Block other = uitest::block(2, 3, "another paragraph of a few words, set narrow");
    (void)depth.paragraph(other);
    TextDepth narrow(font, 60, 0, 1);
    narrow.rememberShownFrom(std::move(depth));
    const auto alone = [&](const char16_t* text) {
        return TextDepth(font, 60, 0, 1).depth(QStringView(text));
    };
    EXPECT_EQ(narrow.paragraph(other), alone(u"another paragraph of a few words, set narrow"));
    EXPECT_GT(narrow.paragraph(other), TextDepth(font, 228, 0, 1).paragraph(other));
    EXPECT_EQ(narrow.paragraph(edited.id, u"short, and then a good deal longer"),
              alone(u"short, and then a good deal longer"));
}

// A search for a word of one old paragraph, cleared after a key: the view
// opens a page at its newest, as it does for any view, and holds no more
// than it may however often it is done; the caret is carried by its
// paragraph, and the next key lands there.
TEST(TimelineFill, ASearchClearedAfterAKeyOpensABoundedPage) {
    TimelineHarness h;
    h.view.windowParagraphs = 30;
    auto blocks = dictation(5'000);
    h.show(blocks);
    const ParagraphRange newest = h.view.ranges().back();
    h.select(newest.location + 9, newest.location + 9);
    QTest::keyClicks(&h.edit(), "x");
    ASSERT_EQ(h.edits.size(), 1u);
    std::vector<Block> edited = *blocks;
    edited.back().segments.back().text = h.edits.back().second;
    blocks = std::make_shared<const std::vector<Block>>(std::move(edited));
    h.show(blocks);
    const double before = testsupport::heapMegabytes();
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        h.show(std::make_shared<const std::vector<Block>>(1, (*blocks)[7]));  // the search
        ASSERT_EQ(h.view.renderedKeys().size(), 1u);
        h.show(blocks);  // cleared
        EXPECT_LE(h.view.renderedKeys().size(), 30u);
        EXPECT_EQ(h.view.heldTo(), blocks->size());
    }
    // What five thousand paragraphs held would take, and more.
    EXPECT_LT(testsupport::heapMegabytes() - before, 4.0);
    QTest::keyClicks(&h.edit(), "y");
    ASSERT_EQ(h.edits.size(), 2u);
    EXPECT_EQ(h.edits.back().first.id, blocks->back().id);
    EXPECT_EQ(h.edits.back().second.substr(0, 16), "Utterancexy 4999");
}

namespace {

// The units of the blocks of `doc` set at `size`, line height and
// characters, and the longest block.
std::pair<int, int> unitsInSize(QTextDocument& doc, double size) {
    const QFont font = UiFonts::body(size);
    int units = 0, longest = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        bool in = b.blockFormat().lineHeight() == size * TimelineRenderer::kLineSpacingFactor;
        for (auto it = b.begin(); in && !it.atEnd(); ++it)
            in = it.fragment().charFormat().font().pixelSize() == font.pixelSize();
        units += in ? b.length() : 0;
        longest = std::max(longest, b.length());
    }
    return {units, longest};
}

// A size a step smaller, with a key typed early in the newest paragraph
// before (its break marks not where a new rendering puts them, each a
// character early): what is on screen takes
// it at once and nothing else, the rest a few parts a turn, the view staying
// at the end with the caret where it was and the characters held as they
// were; then all of it has the size, within the depth bound.
// A few turns, each of a bounded number of tasks: pages that bring each
// other back fail the checks after it rather than hold the test.
void turnAFew(TimelineHarness& h) {
    for (int i = 0; i < 3; ++i) QApplication::processEvents(), h.main.runPending(100);
}

// What is held is within the bound, as deep as Qt's own layout finds it, and
// each paragraph reads as the transcript holds it, or is shown in part.
void readsAsTheTranscript(const TimelineTextView& view, const std::vector<Block>& blocks) {
    EXPECT_LT(DocumentGeometry::layoutAll(*view.textEdit()->document()),
              TimelineTextView::kDepthCeiling);
    EXPECT_TRUE(view.heldProblems().empty());
    for (size_t i = 0; i < view.ranges().size(); ++i) {
        const ParagraphRange& r = view.ranges()[i];
        if (LongParagraph::isCut(view.text(), r)) continue;
        EXPECT_TRUE(paragraphText(view.text(), r).toStdString() ==
                    blocks[view.heldFrom() + i].text())
            << i;
    }
}

std::vector<Block> takeASmallerSize(TimelineHarness& h, TimelineTextView& view,
                                    std::vector<Block> blocks) {
    // Rendered anew, the view would hold another document.
    const auto doc = [&]() -> QTextDocument& { return *view.textEdit()->document(); };
    const double size = EditorModel::kMaxFontSize - 1;
    // A key early in the newest paragraph, inside its long run without a
    // space where there is one, stored and given back: every break mark
    // after it now stands a character early.
    constexpr int kAt = 20;
    if (const ParagraphRange last = view.ranges().back();
        !LongParagraph::isCut(view.text(), last) && last.length > kAt) {
        QTextCursor c(&doc());
        c.setPosition(last.location + kAt);
        view.textEdit()->setTextCursor(c);
        QTest::keyClicks(view.textEdit(), "s");
        h.settle();
        const QString typed = QString::fromStdString(blocks.back().text()).insert(kAt, u's');
        EXPECT_TRUE(h.edits.back().second == typed.toStdString());
        blocks.back().segments.back().text = h.edits.back().second;
        view.setInputs(h.inputs(std::make_shared<const std::vector<Block>>(blocks),
                                EditorModel::kMaxFontSize));
        h.settle();
    }
    const QString held = doc().toPlainText();
    const int caret = view.textEdit()->textCursor().position();
    // The screen's place: its end, or its first line as far below its top.
    const bool atEnd = view.atBottom();
    const int first =
        DocumentGeometry::visibleRange(doc(), view.scrollY(), view.scrollY() + 1).first;
    const auto below = [&] {
        return DocumentGeometry::lineAt(doc(), first)->rect.top() - view.scrollY();
    };
    const double wasBelow = below();
    const auto keptPlace = [&](int turn) {
        if (atEnd) {
            EXPECT_EQ(view.scrollY(), view.textEdit()->verticalScrollBar()->maximum()) << turn;
        } else {
            EXPECT_NEAR(below(), wasBelow, 1) << turn;
        }
    };
    TimelineInputs in = h.inputs(std::make_shared<const std::vector<Block>>(blocks), size);
    view.setInputs(in);
    const auto [onScreen, longest] = unitsInSize(doc(), size);
    const double top = view.scrollY();
    const auto [loc, len] =
        DocumentGeometry::visibleRange(doc(), top, top + view.textEdit()->viewport()->height());
    int seen = 0;
    for (QTextBlock b = doc().findBlock(loc); b.isValid() && b.position() <= loc + len;
         b = b.next())
        seen += b.length();
    EXPECT_GT(onScreen, 0);
    EXPECT_LE(onScreen, seen);
    keptPlace(-1);
    int done = onScreen, turns = 0;
    for (; view.restyling() && turns < 1000; ++turns) {
        h.main.advance(TimelineTextView::kFillPause);
        const int now = unitsInSize(doc(), size).first;
        EXPECT_LE(now - done, LongParagraph::kPart + 2 * longest) << turns;
        done = now;
        keptPlace(turns);
    }
    EXPECT_FALSE(view.restyling());
    EXPECT_EQ(unitsInSize(doc(), size).first, doc().characterCount());
    EXPECT_TRUE(doc().toPlainText() == held);
    EXPECT_EQ(view.textEdit()->textCursor().position(), caret);
    readsAsTheTranscript(view, blocks);
    // And the largest again, as the window was.
    view.setInputs(
        h.inputs(std::make_shared<const std::vector<Block>>(blocks), EditorModel::kMaxFontSize));
    for (int i = 0; i < 1000 && view.restyling(); ++i) h.main.advance(TimelineTextView::kFillPause);
    EXPECT_EQ(unitsInSize(doc(), EditorModel::kMaxFontSize).first, doc().characterCount());
    return blocks;  // with the key, as the view holds them
}

}  // namespace

// Wide text at the largest size, given to a view before it is first shown,
// as the window gives it at launch: neither the show (the window's loop, and
// with it the answer to a signal, wait for it), a key, the narrowest window
// nor a page scrolled in lays out deeper than Qt can place a line. A
// paragraph that would be, even alone, is shown in part.
TEST(TimelineFill, WideTextAtTheLargestSizeStaysAboveTheCeilingOnEveryRoad) {
    std::string ideographs;  // seventeen, then a comma
    for (int i = 0; i < 17; ++i) ideographs += QString(QChar(0x4E00 + i * 37)).toStdString();
    ideographs += "\uFF0C";
    // As a page of Chinese has them: a thousand kinds, a comma after every seventeen.
    std::string manyKinds;
    for (int i = 0; i < 1060; ++i)
        manyKinds +=
            QString(QChar(i % 18 == 17 ? 0xFF0C : 0x4E00 + (i * 7919) % 0x5000)).toStdString();
    struct Row {
        const char* name;
        int paragraphs;
        size_t words;
        std::string word;
        double font = EditorModel::kMaxFontSize;  // the size pages are scrolled in at
    };
    const Row rows[] = {
        {"200 paragraphs of 1,000 ideographs", 200, 59, ideographs},
        {"1,000 paragraphs of 1,000 fullwidth W", 1000, 1000, "\uFF37"},
        {"two paragraphs of 150,000 U+27FF", 2, 150'000, "\u27FF"},
        {"one of 199,980 per-ten-thousand signs", 1, 199'980, "\u2031"},
        {"one of 199,999 three-em dashes", 1, 199'999, "\u2E3B"},
        {"200 paragraphs of 1,060 ideographs of a thousand kinds", 200, 1, manyKinds},
        {"2,000 paragraphs of 1,000 fullwidth W", 2000, 1000, "\uFF37"},
        {"100 paragraphs of 1,000 fullwidth W", 100, 1000, "\uFF37"},
        {"two paragraphs of 150,000 U+27FF, a page in at 63", 2, 150'000, "\u27FF",
         EditorModel::kMaxFontSize - 1},
    };
    // Qt lays a block of the document out whole on any change in it: none
    // is much longer than a part of a long paragraph.
    const auto longestBlock = [](const QTextDocument& doc) {
        int longest = 0;
        for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
            longest = std::max(longest, b.length());
        return longest;
    };
    constexpr int kLongestBlock = LongParagraph::kPartFrom;
    constexpr int kHeight = 560;  // the default window's, less the toolbar
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TimelineHarness h;  // the inputs' records
        TimelineTextView view(h.main);
        view.resize(730, kHeight);
        auto blocks = dictation(row.paragraphs, row.words, row.word);
        view.setInputs(h.inputs(blocks, EditorModel::kMaxFontSize));
        view.show();  // laid out here, before the loop turns
        QTextDocument& doc = *view.textEdit()->document();
        double height = DocumentGeometry::layoutAll(doc);
        EXPECT_LT(height, TimelineTextView::kDepthCeiling);
        EXPECT_EQ(view.heldTo(), blocks->size());
        EXPECT_LE(longestBlock(doc), kLongestBlock);
        ASSERT_FALSE(view.ranges().empty());
        // Shown in part where Qt would set it, whole, deeper than the view
        // may hold in the narrowest column: as deep as ten times a tenth of it.
        const QString text = QString::fromStdString(blocks->back().text());
        const double whole =
            10 * laidOut(text.left(text.size() / 10), EditorModel::kMaxFontSize,
                         TimelineTextView::kNarrowestText - 2 * TimelineTextView::kInsetWidth);
        const bool inPart = whole > TimelineTextView::kDepthShare * TimelineTextView::kDepthCeiling;
        EXPECT_EQ(LongParagraph::isCut(view.text(), view.ranges().back()), inPart);
        const auto typeAtTheEnd = [&](const char* key) {
            h.settle();
            const size_t edits = h.edits.size(), refusals = h.refusals.size();
            QTextCursor c(&doc);
            c.setPosition(view.ranges().back().end());
            view.textEdit()->setTextCursor(c);
            const std::string before = blocks->back().text();
            QTest::keyClicks(view.textEdit(), key);
            if (inPart) {
                EXPECT_EQ(h.edits.size(), edits);
                EXPECT_GT(h.refusals.size(), refusals);
            } else {
                ASSERT_EQ(h.edits.size(), edits + 1);
                EXPECT_EQ(h.edits.back().first.id, blocks->back().id);
                // Exactly what was there and the key: no mark of the view's.
                EXPECT_TRUE(h.edits.back().second == before + key);
                // Stored, and given back as the window would: the caret is
                // carried by the paragraph as the transcript holds it.
                std::vector<Block> edited = *blocks;
                edited.back().segments.back().text = h.edits.back().second;
                blocks = std::make_shared<const std::vector<Block>>(std::move(edited));
                view.setInputs(h.inputs(blocks, EditorModel::kMaxFontSize));
            }
        };
        typeAtTheEnd("x");
        // The narrowest the window lets it be, held text let go of first.
        view.resize(view.minimumSizeHint().width(), kHeight);
        h.settle();
        height = DocumentGeometry::layoutAll(doc);
        EXPECT_LT(height, TimelineTextView::kDepthCeiling);
        EXPECT_EQ(view.heldTo(), blocks->size());
        EXPECT_EQ(view.scrollY(), view.textEdit()->verticalScrollBar()->maximum());
        EXPECT_LE(longestBlock(doc), kLongestBlock);
        typeAtTheEnd("y");
        blocks = std::make_shared<const std::vector<Block>>(takeASmallerSize(h, view, *blocks));
        if (row.font != EditorModel::kMaxFontSize) {
            view.setInputs(h.inputs(blocks, row.font));
            for (int i = 0; i < 1000 && view.restyling(); ++i)
                h.main.advance(TimelineTextView::kFillPause);
        }
        // Scrolled to the top, the page before comes in, however deep; at
        // its end, the page after comes back. Each lets go of what it
        // replaces before it comes in, whichever way the view goes.
        if (const size_t from = view.heldFrom(); from > 0) {
            view.scrollTo(0);
            view.loadOlder();
            turnAFew(h);
            readsAsTheTranscript(view, *blocks);
            EXPECT_LT(view.heldFrom(), from);
            const size_t to = view.heldTo();
            ASSERT_LT(to, blocks->size());
            view.scrollTo(view.textEdit()->verticalScrollBar()->maximum());
            view.loadNewer();
            turnAFew(h);
            readsAsTheTranscript(view, *blocks);
            EXPECT_GT(view.heldTo(), to);
        }
    }
}

namespace {

// What a view given `blocks` unshown holds when the window's own loop (its
// tasks posted as events among Qt's) first draws its text, and what it held
// right after the show.
std::pair<size_t, size_t> heldAtTheFirstFrame(TimelineHarness& h,
                                              std::shared_ptr<const std::vector<Block>> blocks,
                                              double font) {
    struct Watch final : QObject {
        const TimelineTextView* view = nullptr;
        std::optional<size_t> drawn;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint && !drawn) drawn = view->renderedKeys().size();
            return false;
        }
    } watch;
    QtMainExecutor main;
    TimelineTextView view(main);
    watch.view = &view;
    view.textEdit()->viewport()->installEventFilter(&watch);
    view.resize(730, 560);
    view.setInputs(h.inputs(std::move(blocks), font));
    view.show();
    const size_t shown = view.renderedKeys().size();
    for (int turns = 0; !watch.drawn && turns < 1000; ++turns) QApplication::processEvents();
    return {shown, watch.drawn.value_or(kNever)};
}

}  // namespace

// A view given its paragraphs before it is first shown, as the window gives
// them at launch and to a new scope's pane, opens with what fills its screen:
// the show lays out no more before the window's loop turns (and answers a
// signal), nor does the loop before it draws that screen first. The rest
// it may hold comes in front a step a turn, whatever happens meanwhile, the
// view staying at the newest text; then it holds and reads exactly what a
// view shown before its paragraphs came holds.
TEST(TimelineFill, AViewGivenItsParagraphsUnshownOpensWithAScreensWorthThenHoldsTheRest) {
    std::string ideographs;  // seventeen, then a comma
    for (int i = 0; i < 17; ++i) ideographs += QString(QChar(0x4E00 + i * 37)).toStdString();
    ideographs += "\uFF0C";
    enum class Meanwhile { nothing, speech, key, search };
    struct Row {
        const char* name;
        std::shared_ptr<const std::vector<Block>> blocks;
        double font;
        Meanwhile meanwhile = Meanwhile::nothing;
    };
    const Row rows[] = {
        {"a year of dictation", dictation(5'000), 20},
        {"200 paragraphs of 1,000 ideographs at the largest size", dictation(200, 59, ideographs),
         EditorModel::kMaxFontSize},
        {"1,000 paragraphs of 1,000 fullwidth W at the largest size",
         dictation(1'000, 1'000, "\uFF37"), EditorModel::kMaxFontSize},
        {"ten short paragraphs, held whole at once", dictation(10), 20},
        {"new speech before the first step", dictation(400), 20, Meanwhile::speech},
        {"a key at the newest paragraph's end before the first step", dictation(400), 20,
         Meanwhile::key},
        {"a search before the first step", dictation(400), 20, Meanwhile::search},
    };
    constexpr int kWidth = 730, kHeight = 560;  // the default window's timeline
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TimelineHarness h;  // the inputs' records
        h.view.hide();
        TimelineTextView view(h.main);
        view.resize(kWidth, kHeight);
        auto blocks = row.blocks;
        view.setInputs(h.inputs(blocks, row.font));
        view.show();                    // laid out here, before the loop turns
        QApplication::processEvents();  // the show's own events, not the view's steps
        QTextDocument& doc = *view.textEdit()->document();
        const double height = DocumentGeometry::layoutAll(doc);
        EXPECT_EQ(view.heldTo(), blocks->size());
        EXPECT_LE(view.renderedKeys().size(), TimelineTextView::kFirstPageMost);
        EXPECT_EQ(view.filling(), view.heldFrom() > 0);
        // But for its oldest paragraph, what it holds fills no more than the
        // screens of a first page.
        if (view.ranges().size() > 1) {
            const double second =
                DocumentGeometry::lineAt(doc, view.ranges()[1].location)->rect.top();
            EXPECT_LE(height - second, TimelineTextView::kFirstPageScreens * kHeight +
                                           2 * TimelineTextView::kInsetHeight);
        }
        const size_t first = view.heldFrom();
        if (row.meanwhile == Meanwhile::nothing) {
            const auto [shown, drawn] = heldAtTheFirstFrame(h, blocks, row.font);
            EXPECT_EQ(shown, view.renderedKeys().size());
            EXPECT_EQ(drawn, shown);
        }
        switch (row.meanwhile) {
            case Meanwhile::nothing:
                break;
            case Meanwhile::speech: {
                std::vector<Block> more = *blocks;
                more.push_back(uitest::block(1e7, 1e7 + 2, "and so we went."));
                blocks = std::make_shared<const std::vector<Block>>(std::move(more));
                view.setInputs(h.inputs(blocks, row.font));
                break;
            }
            case Meanwhile::key: {
                QTextCursor c(&doc);
                c.setPosition(view.ranges().back().end());
                view.textEdit()->setTextCursor(c);
                QTest::keyClicks(view.textEdit(), "x");
                ASSERT_EQ(h.edits.size(), 1u);
                EXPECT_EQ(h.edits.back().first.id, blocks->back().id);
                std::vector<Block> edited = *blocks;
                edited.back().segments.back().text = h.edits.back().second;
                blocks = std::make_shared<const std::vector<Block>>(std::move(edited));
                view.setInputs(h.inputs(blocks, row.font));
                break;
            }
            case Meanwhile::search:
                blocks = std::make_shared<const std::vector<Block>>(blocks->begin() + 100,
                                                                    blocks->begin() + 300);
                view.setInputs(h.inputs(blocks, row.font));
                break;
        }
        h.settle();
        EXPECT_FALSE(view.filling());
        EXPECT_EQ(view.scrollY(), view.textEdit()->verticalScrollBar()->maximum());
        EXPECT_LT(DocumentGeometry::layoutAll(doc), TimelineTextView::kDepthCeiling);
        if (row.meanwhile == Meanwhile::search) {
            // A search opens with a page of its newest, as for a view shown before.
            EXPECT_LE(view.renderedKeys().size(), TimelineTextView::kFirstPageMost);
            continue;
        }
        // What a view shown before its paragraphs came holds of them.
        TimelineHarness shown(kWidth, kHeight);
        shown.view.setInputs(h.inputs(blocks, row.font));
        shown.settle();
        if (first > 0) {
            EXPECT_LT(view.heldFrom(), first);
        }
        EXPECT_EQ(view.heldFrom(), shown.view.heldFrom());
        EXPECT_EQ(view.heldTo(), shown.view.heldTo());
        EXPECT_TRUE(view.renderedKeys() == shown.view.renderedKeys());
        EXPECT_TRUE(view.text().string() == shown.view.text().string());
        EXPECT_EQ(doc.toPlainText(), view.text().string());
        EXPECT_TRUE(view.heldProblems().empty());
    }
}
