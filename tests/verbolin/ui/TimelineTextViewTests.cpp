#include <gtest/gtest.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <cmath>
#include <numeric>
#include <thread>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TimelineRenderer.hpp"
#include "verbolin/ui/TimelineViewHarness.hpp"

using namespace verbolin;
using uitest::TimelineHarness;

namespace {

std::vector<int> changeStarts(QTextDocument& doc, std::function<void()> action) {
    std::vector<int> starts;
    auto c = QObject::connect(&doc, &QTextDocument::contentsChange,
                              [&](int pos, int, int) { starts.push_back(pos); });
    action();
    QObject::disconnect(c);
    return starts;
}

// Clipboard text whose fetch runs `meanwhile` first, as fetching another
// program's X selection lets events run.
struct FetchedMimeData : QMimeData {
    mutable std::function<void()> meanwhile;
    QVariant retrieveData(const QString& type, QMetaType as) const override {
        if (const auto run = std::exchange(meanwhile, nullptr)) run();
        return QMimeData::retrieveData(type, as);
    }
};

double lineTop(TimelineHarness& h, int position) {
    return DocumentGeometry::lineAt(h.doc(), position)->rect.top() - h.view.scrollY();
}

TEST(TimelineTextView, RendersOnceFollowsTheEndAndReplacesOnlyTheTail) {
    TimelineHarness h;
    auto segs = uitest::segments(40);
    h.show(uitest::blocks(segs));
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    EXPECT_GT(h.maxScroll(), 0);
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());

    const int revision = h.doc().revision();
    h.show(uitest::blocks(segs));  // the same paragraphs again
    EXPECT_EQ(h.doc().revision(), revision);

    h.select(2, 6);  // inside the first paragraph
    h.view.scrollTo(h.maxScroll());
    const int oldEnd = h.view.text().length();
    segs.push_back(uitest::segment(1000, 1002, "A new paragraph."));
    auto starts = changeStarts(h.doc(), [&] { h.show(uitest::blocks(segs)); });
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.front(), oldEnd);  // the new separator
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());
    EXPECT_EQ(h.edit().textCursor().selectionStart(), 2);
    EXPECT_EQ(h.edit().textCursor().selectionEnd(), 6);

    // The last paragraph grows: the replace starts at its separator.
    segs.push_back(uitest::segment(1003, 1004, "More."));
    const int lastStart = h.view.ranges().back().location;
    starts = changeStarts(h.doc(), [&] { h.show(uitest::blocks(segs)); });
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.front(), lastStart - 1);
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
}

TEST(TimelineTextView, LiveParagraphGivenApartReadsAsIfAppendedAndChangesOnlyItsTail) {
    auto blocks = uitest::blocks(uitest::segments(30));
    const Block live = uitest::block(2000, 2000, "so far");
    std::vector<Block> appended = *blocks;
    appended.push_back(live);

    TimelineHarness reference, h;
    reference.show(std::make_shared<const std::vector<Block>>(appended));
    auto in = h.inputs(blocks);
    in.liveBlock = live;
    h.view.setInputs(in);
    h.settle();
    EXPECT_EQ(h.view.text(), reference.view.text());  // characters and attributes alike
    EXPECT_EQ(h.view.renderedKeys(), reference.view.renderedKeys());
    EXPECT_EQ(h.doc().toPlainText(), reference.doc().toPlainText());

    // The preview grows: only the live paragraph, from its separator, is written.
    const int liveStart = h.view.ranges().back().location;
    in.liveBlock = uitest::block(2000, 2000, "so far we went");
    auto starts = changeStarts(h.doc(), [&] {
        h.view.setInputs(in);
        h.settle();
    });
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.front(), liveStart - 1);
    EXPECT_EQ(h.view.ranges().size(), 31u);
    EXPECT_EQ(h.view.renderedKeys().back(), ParagraphKey::of(*in.liveBlock));
    // Speech ends: the live paragraph goes, nothing else is touched.
    in.liveBlock.reset();
    starts = changeStarts(h.doc(), [&] {
        h.view.setInputs(in);
        h.settle();
    });
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts.front(), liveStart - 1);
    EXPECT_EQ(h.view.text(), TimelineRenderer::render(*blocks, nullptr, 20, {}));
}

TEST(TimelineTextView, SameParagraphArrayAfterAnEditIsComparedAgain) {
    // The store may refuse an edit and hand back the very same paragraphs:
    // the text must return to them, not keep the typed words.
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(5));
    auto in = h.inputs(blocks);
    h.view.setInputs(in);
    h.settle();
    const QString stored = h.doc().toPlainText();
    const auto r = h.view.ranges()[2];
    h.select(r.location + 4, r.location + 4);
    QTest::keyClicks(&h.edit(), "zz");
    ASSERT_FALSE(h.edits.empty());
    ASSERT_NE(h.doc().toPlainText(), stored);
    h.view.setInputs(in);  // the same shared array, unchanged
    h.settle();
    EXPECT_EQ(h.doc().toPlainText(), stored);
    EXPECT_EQ(h.view.text().string(), stored);
}

TEST(GutterView, RedrawsUnchangedTextWhenALabelReadsDifferently) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(4));
    auto in = h.inputs(blocks);
    in.label = [](const Block&) { return std::string("1:00"); };
    h.view.setInputs(in);
    h.settle();
    const QImage before = h.view.gutter()->grab().toImage();
    const int revision = h.doc().revision();

    h.view.setInputs(in);  // nothing changed: the same picture
    h.settle();
    EXPECT_EQ(h.view.gutter()->grab().toImage(), before);

    in.label = [](const Block&) { return std::string("23:59 WWW"); };  // e.g. a new locale
    h.view.setInputs(in);
    h.settle();
    EXPECT_EQ(h.doc().revision(), revision);  // the text itself was not touched
    EXPECT_NE(h.view.gutter()->grab().toImage(), before);
}

TEST(TimelineTextView, HiddenViewFollowsTheEndOnceShownAgain) {
    // The window goes to the tray while dictation goes on; shown again, the
    // timeline stands at its newest paragraph, as it did when it was hidden.
    TimelineHarness h;
    auto segs = uitest::segments(20);
    h.show(uitest::blocks(segs));
    ASSERT_EQ(h.view.scrollY(), h.maxScroll());
    h.view.hide();
    for (int i = 0; i < 30; ++i) {
        segs.push_back(uitest::segment(5000 + i * 10, 5002 + i * 10, "Said while hidden."));
        h.show(uitest::blocks(segs));
    }
    h.view.show();
    h.settle();
    EXPECT_GT(h.maxScroll(), 0);
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());
    EXPECT_TRUE(h.view.atBottom());
}

TEST(TimelineTextView, StaysPutAwayFromTheEndAndKeepsTopParagraphOnPrepend) {
    TimelineHarness h;
    auto segs = uitest::segments(60, 10, 10000);
    h.show(uitest::blocks(segs));
    h.view.scrollTo(h.maxScroll() - 40);  // exactly 40 above the bottom
    h.settle();
    const double y = h.view.scrollY();
    segs.push_back(uitest::segment(20000, 20001, "Later."));
    h.show(uitest::blocks(segs));
    EXPECT_EQ(h.view.scrollY(), y);

    // Scrolled near the top: asked once for older paragraphs within a second.
    h.view.scrollTo(59);
    h.settle();
    h.view.scrollTo(30);
    h.settle();
    EXPECT_EQ(h.scrolledToTop, 1);
    EXPECT_TRUE(h.view.loadingMore());
    const QString topId = h.view.ranges()[1].id;
    const double before = lineTop(h, h.view.ranges()[1].location);
    auto older = uitest::segments(20, 10, 0);
    older.insert(older.end(), segs.begin(), segs.end());
    h.show(uitest::blocks(older));
    EXPECT_FALSE(h.view.loadingMore());
    const auto& r = h.view.ranges();
    auto it =
        std::find_if(r.begin(), r.end(), [&](const ParagraphRange& p) { return p.id == topId; });
    ASSERT_NE(it, r.end());
    EXPECT_NEAR(lineTop(h, it->location), before, 1.0);

    // A paste whose text comes while still older paragraphs are put in
    // front: the selection, made backwards, is kept by paragraph, and the
    // text replaces it there.
    h.select(it->location + 9, it->location + 2);  // "ragraph" of "Paragraph 1 says..."
    auto oldest = uitest::segments(5, 10, -1000);
    oldest.insert(oldest.end(), older.begin(), older.end());
    auto data = std::make_unique<FetchedMimeData>();
    data->setText("XY"), data->meanwhile = [&] { h.show(uitest::blocks(oldest)); };
    QGuiApplication::clipboard()->setMimeData(data.release());  // Qt owns it
    QTest::keyClick(&h.edit(), Qt::Key_V, Qt::ControlModifier);
    h.settle();
    ASSERT_EQ(h.view.ranges().size(), oldest.size());
    ASSERT_FALSE(h.edits.empty());
    EXPECT_EQ(h.edits.back().first.id.string(), topId.toStdString());
    EXPECT_EQ(h.edits.back().second, "PaXY 1 says something worth keeping.");
}

TEST(TimelineTextView, FontChangeKeepsSelectionAndScrolledToTopResetsAfterOneSecond) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(30));
    h.show(blocks);
    h.select(3, 9);
    h.view.scrollTo(h.maxScroll());
    h.show(blocks, 28);
    EXPECT_EQ(h.view.text().attributesAt(0)->fontSize, 28);
    EXPECT_EQ(h.edit().textCursor().selectionStart(), 3);
    EXPECT_EQ(h.edit().textCursor().selectionEnd(), 9);
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());

    h.view.scrollTo(10);
    h.settle();
    EXPECT_EQ(h.scrolledToTop, 1);
    h.main.advance(std::chrono::milliseconds(999));
    EXPECT_TRUE(h.view.loadingMore());
    h.main.advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(h.view.loadingMore());
    h.view.scrollTo(20);
    h.settle();
    EXPECT_EQ(h.scrolledToTop, 2);
}

TEST(TimelineTextView, JumpsOncePerTokenAndReportsVisibleOnlyOnChange) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(50));
    h.show(blocks);
    const int reports = h.visibleReports;
    h.view.setInputs(h.inputs(blocks));  // unchanged: no report
    h.settle();
    EXPECT_EQ(h.visibleReports, reports);

    h.jump = {blocks->front().id, 1};
    h.show(blocks);
    EXPECT_EQ(h.view.scrollY(), TimelineTextView::kInsetHeight - 4);  // never above the text's top
    EXPECT_GT(h.visibleReports, reports);
    h.view.scrollTo(100);
    h.show(blocks);  // same token: ignored
    EXPECT_EQ(h.view.scrollY(), 100);
    h.jump = {platform::Uuid::random(), 2};  // not shown: to the end
    h.show(blocks);
    EXPECT_EQ(h.view.scrollY(), h.maxScroll());
    h.jump = {(*blocks)[25].id, 3};
    h.show(blocks);
    const auto& r = h.view.ranges()[25];
    const double spacing = h.view.text().attributesAt(r.location)->paragraph->spacingBefore;
    EXPECT_NEAR(lineTop(h, r.location), spacing + 4, 1.0);
}

TEST(TimelineTextView, TypingReachesOnEditWithoutReRendering) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(3));
    h.show(blocks);
    const auto& r = h.view.ranges()[1];
    h.select(r.location + 9, r.location + 9);  // after "Paragraph"
    QTest::keyClicks(&h.edit(), "XY");
    ASSERT_EQ(h.edits.size(), 2u);
    EXPECT_EQ(h.edits.back().first.id, (*blocks)[1].id);
    EXPECT_EQ(h.edits.back().second, "ParagraphXY 1 says something worth keeping.");
    EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());

    // Typing back to the stored text reports nothing new.
    QTest::keyClick(&h.edit(), Qt::Key_Backspace);
    QTest::keyClick(&h.edit(), Qt::Key_Backspace);
    EXPECT_EQ(h.edits.size(), 3u);
    EXPECT_EQ(h.edits.back().second, "ParagraphX 1 says something worth keeping.");
}

TEST(TimelineTextView, RefusesEditsAcrossSeparatorsAndSendsTypingOutOfTheLiveParagraph) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(3));
    const std::string last = (*blocks)[1].text();
    auto in = h.inputs(blocks);
    in.liveId = blocks->back().id;
    const auto r = [&] {
        h.view.setInputs(in);
        h.settle();
        return h.view.ranges();
    }();
    const QString before = h.doc().toPlainText();

    struct Case {
        int anchor, position;
        int key;
        const char* text;
        bool joinsTheParagraphBefore;  // else refused: text and selection stay
        bool byInputMethod = false;    // `text` committed by an input method, not typed
    } cases[] = {
        {r[0].end() - 2, r[1].location + 2, Qt::Key_Delete, nullptr, false},  // crosses a separator
        {r[1].location, r[1].location, Qt::Key_Backspace, nullptr, false},    // eats the separator
        {r[2].location + 3, r[2].location + 3, Qt::Key_Delete, nullptr, false},  // live text
        {r[2].location - 1, r[2].location + 4, 0, "z", false},  // stored and live text
        {r[2].location + 3, r[2].location + 3, 0, "z", true},   // inside the live paragraph
        {r[2].end(), r[2].end(), 0, "z", true},                 // at the very end
        {r[2].location, r[2].end(), 0, "z", true},              // over all of the live text
        {r[2].end(), r[2].end(), Qt::Key_Return, nullptr, true},
        {r[0].end() - 2, r[1].location + 2, 0, "z", false, true},
        {r[2].location - 1, r[2].location + 4, 0, "z", false, true},
        {r[2].location + 3, r[2].location + 3, 0, "z", true, true},
    };
    for (const Case& c : cases) {
        h.view.setInputs(in);  // the stored text again, as the store would echo it
        h.settle();
        h.edits.clear(), h.refusals.clear();
        h.select(c.anchor, c.position);
        QInputMethodEvent commit;
        commit.setCommitString(QString::fromUtf8(c.text ? c.text : ""));
        if (c.byInputMethod)
            QCoreApplication::sendEvent(&h.edit(), &commit);
        else if (c.text)
            QTest::keyClicks(&h.edit(), c.text);
        else
            QTest::keyClick(&h.edit(), Qt::Key(c.key));
        h.settle();
        if (!c.joinsTheParagraphBefore) {
            EXPECT_EQ(h.doc().toPlainText(), before) << c.anchor;
            EXPECT_EQ(h.edit().textCursor().anchor(), c.anchor);
            EXPECT_TRUE(h.edits.empty()) << c.anchor;
            EXPECT_EQ(h.refusals.size(), 1u) << c.anchor;  // said, as a key there is
            continue;
        }
        const std::string typed = c.text ? c.text : "\n";
        ASSERT_EQ(h.edits.size(), 1u) << c.anchor;
        EXPECT_EQ(h.edits[0].first.id, (*blocks)[1].id);
        EXPECT_EQ(h.edits[0].second, last + typed);
        EXPECT_EQ(h.view.ranges().back().length, r[2].length);  // the live text is whole
        EXPECT_EQ(h.edit().textCursor().position(), r[1].end() + int(typed.size()));
        EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());
    }

    h.view.setInputs(in);
    h.settle();
    h.edits.clear();
    h.select(r[0].location + 1, r[0].location + 3);  // within one stored paragraph
    QTest::keyClick(&h.edit(), Qt::Key_Delete);
    ASSERT_EQ(h.edits.size(), 1u);
    EXPECT_EQ(h.edits[0].second, "Pagraph 0 says something worth keeping.");
}

TEST(TimelineTextView, NotEditableTakesNoTypingEvenAfterARerender) {
    TimelineHarness h;
    auto in = h.inputs(uitest::blocks(uitest::segments(3)));
    for (bool editable : {false, true}) {
        in.editable = editable;
        h.view.setInputs(in);  // a change of editability renders afresh
        h.select(3, 3);
        QTest::keyClicks(&h.edit(), "abc");
        EXPECT_EQ(h.edits.size(), editable ? 3u : 0u);
    }
}

TEST(TimelineTextView, CtrlBackspaceAndTheMenuDeleteTheSelectedOrTheCaretsParagraphs) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(3));
    h.show(blocks);
    const auto r = h.view.ranges();
    struct Case {
        int anchor, position;
        bool byMenu;
        std::vector<size_t> paragraphs;
    } cases[] = {
        {r[1].end(), r[1].end(), true, {1}},                    // a caret behind the last word
        {r[1].location, r[1].location, true, {1}},              // a caret at the first
        {r[0].location + 2, r[1].location + 2, false, {0, 1}},  // a selection
        {r[0].location + 2, r[2].location + 2, true, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        const QString before = h.doc().toPlainText();
        const int deletes = h.deletes;
        h.select(c.anchor, c.position);  // reported a turn late: not yet
        if (c.byMenu) {
            std::unique_ptr<QMenu> menu(h.edit().createStandardContextMenu());
            h.view.decorateContextMenu(*menu);
            menu->actions()[0]->trigger();
        } else {
            QTest::keyClick(&h.edit(), Qt::Key_Backspace, Qt::ControlModifier);
        }
        std::vector<platform::Uuid> want;
        for (size_t p : c.paragraphs) want.push_back((*blocks)[p].id);
        EXPECT_EQ(h.deletes, deletes + 1) << c.anchor;
        EXPECT_EQ(h.askedToDelete, want) << c.anchor;
        EXPECT_EQ(h.doc().toPlainText(), before);  // the host deletes, not the editor
        EXPECT_TRUE(h.edits.empty());
        h.settle();
    }
}

TEST(TimelineTextView, SelectionReportsAndTheirInteractionKind) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(3));
    h.show(blocks);
    h.calls.clear();
    const auto r = h.view.ranges();
    const QRectF line = DocumentGeometry::lineAt(h.doc(), r[1].location)->rect;
    const QPoint p(int(line.left()) + 30, int(line.center().y() - h.view.scrollY()));
    QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {}, p);
    h.settle();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"select", "interaction"}));
    EXPECT_EQ(h.selected, std::vector{(*blocks)[1].id});
    h.calls.clear();
    QTest::keyClick(&h.edit(), Qt::Key_Right);
    h.settle();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"select"}));
}

namespace {

// A line as the caret on it is drawn: its paragraph (among those scoped) and
// its line in that paragraph.
using DrawnLine = std::pair<size_t, int>;

DrawnLine drawnAt(TimelineHarness& h, int position) {
    DocumentGeometry::layoutAll(h.doc());
    const QTextBlock block = h.doc().findBlock(position);
    const ParagraphRange* r = rangeAt(h.view.ranges(), position);
    return {r ? h.view.heldFrom() + size_t(r - h.view.ranges().data()) : ~size_t(0),
            block.layout()->lineForTextPosition(position - block.position()).lineNumber()};
}

// The line above (below) the caret's; none at the first (last) one held.
std::optional<DrawnLine> lineBeside(TimelineHarness& h, bool up) {
    const int position = h.edit().textCursor().position();
    QTextBlock block = h.doc().findBlock(position);
    int line = drawnAt(h, position).second + (up ? -1 : 1);
    if (line < 0 || line >= block.layout()->lineCount()) {
        block = up ? block.previous() : block.next();
        if (!block.isValid() || !rangeAt(h.view.ranges(), block.position())) return std::nullopt;
        line = up ? block.layout()->lineCount() - 1 : 0;
    }
    return drawnAt(h, block.position() + block.layout()->lineAt(line).textStart());
}

// A column in the right half of the last letter of the lowest line that
// ends inside a word (`atMark`: at a break mark, after that letter), where
// Qt's own step up lands on the line's end, which is drawn on the next line.
std::optional<int> columnAtABrokenWord(TimelineHarness& h, bool atMark) {
    DocumentGeometry::layoutAll(h.doc());
    for (QTextBlock b = h.doc().lastBlock(); b.isValid(); b = b.previous()) {
        for (int i = b.layout()->lineCount() - 2; i >= 0; --i) {
            const QTextLine line = b.layout()->lineAt(i);
            int end = line.textStart() + line.textLength();
            const QChar last = b.text()[end - 1];
            if (last.isSpace() || atMark != (last == QChar(0x200B))) continue;
            end -= atMark ? 1 : 0;
            const double left = line.cursorToX(end - 1), right = line.cursorToX(end);
            return int(std::lround(left + (right - left) * 3 / 4));
        }
    }
    return std::nullopt;
}

}  // namespace

// Up, Down, Page Up and Page Down move through words broken across lines,
// the invisible break marks of a long stretch without a space included, at
// any size: a line (a page) at a time to the first (last) line of the
// transcript, bringing in what is not held, with Shift as without it.
TEST(TimelineTextView, LineAndPageKeysMoveThroughWordsBrokenAcrossLines) {
    const std::string words = "The measurement of incomprehensibilities was an integer.";
    std::string stretch;
    while (stretch.size() < 250) stretch += "abcdefghij";
    struct Row {
        const char* name;
        double font;
        std::string text;
        bool atMark = false;
        int paragraphs = 3;
        size_t window = 150;  // paragraphs held at most
    };
    const Row rows[] = {
        {"words wider than the column, default size", EditorModel::kDefaultFontSize, words},
        {"words wider than the column, largest size", EditorModel::kMaxFontSize, words},
        {"break marks, default size", EditorModel::kDefaultFontSize, stretch, true, 2},
        {"break marks, largest size", EditorModel::kMaxFontSize, stretch, true, 2},
        {"pages coming in", EditorModel::kMaxFontSize, words, false, 6, 2},
    };
    for (const Row& row : rows) {
        std::vector<Segment> segs;
        for (int i = 0; i < row.paragraphs; ++i)
            segs.push_back(uitest::segment(i * 60.0, i * 60.0 + 4, row.text));
        const auto blocks = uitest::blocks(segs);
        QString whole;
        for (const Block& b : *blocks)
            whole += (whole.isEmpty() ? "" : "\n\n") + QString::fromStdString(b.text());
        for (const int keys : {0, 1, 2, 3, 4, 5, 6, 7}) {
            const bool up = keys & 1, page = keys & 2, shift = keys & 4;
            const Qt::Key key =
                page ? (up ? Qt::Key_PageUp : Qt::Key_PageDown) : (up ? Qt::Key_Up : Qt::Key_Down);
            SCOPED_TRACE(std::string(row.name) + ", key " +
                         QKeySequence(key).toString().toStdString() + (shift ? " with Shift" : ""));
            TimelineHarness h(300, 400);
            h.view.windowParagraphs = row.window;
            h.show(blocks, row.font);
            EXPECT_EQ(h.view.heldTo() - h.view.heldFrom() < blocks->size(),
                      row.window < blocks->size());
            const std::optional<int> column = columnAtABrokenWord(h, row.atMark);
            ASSERT_TRUE(column.has_value());
            // From one end of the transcript, the caret's column where Qt's
            // own step stopped.
            up ? h.view.reachEnd() : h.view.reachStart();
            h.settle();
            QTextCursor c = h.edit().textCursor();
            c.setVerticalMovementX(*column);
            h.edit().setTextCursor(c);
            const auto atTheOtherEnd = [&] {
                return !lineBeside(h, up) &&
                       (up ? h.view.heldFrom() == 0 : h.view.heldTo() == blocks->size());
            };
            qsizetype selected = 0;
            for (int press = 0; press < 1000 && !atTheOtherEnd(); ++press) {
                SCOPED_TRACE("press " + std::to_string(press));
                const DrawnLine was = drawnAt(h, h.edit().textCursor().position());
                const std::optional<DrawnLine> next = lineBeside(h, up);
                QTest::keyClick(&h.edit(), key, shift ? Qt::ShiftModifier : Qt::NoModifier);
                h.settle();
                const DrawnLine now = drawnAt(h, h.edit().textCursor().position());
                if (up ? now >= was : now <= was) {
                    ADD_FAILURE() << "the caret stayed on its line";
                    break;
                }
                if (!page && next) {
                    EXPECT_EQ(now, *next);  // the very next line
                }
                EXPECT_TRUE(h.edit().viewport()->rect().intersects(h.edit().cursorRect()));
                // With Shift, from the caret to where it started, the end
                // (start) of the transcript, whether that is held or not.
                const QString selection = h.view.plainSelectedText();
                EXPECT_EQ(selection.size() > selected, shift);
                if (shift) {
                    EXPECT_TRUE(up ? whole.endsWith(selection) : whole.startsWith(selection));
                }
                selected = selection.size();
            }
            EXPECT_TRUE(atTheOtherEnd());
            EXPECT_EQ(drawnAt(h, h.edit().textCursor().position()).first,
                      up ? 0 : blocks->size() - 1);
        }
    }
}

TEST(TimelineTextView, CopiesPlainTextAndOffersParagraphDeletion) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(2));
    h.show(blocks);
    h.select(0, h.view.text().length());
    h.edit().copy();
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_FALSE(data->hasHtml());
    EXPECT_EQ(data->text().toStdString(), (*blocks)[0].text() + "\n\n" + (*blocks)[1].text());

    for (bool offer : {true, false}) {
        h.offerDelete = offer;
        h.show(blocks);
        std::unique_ptr<QMenu> menu(h.edit().createStandardContextMenu());
        const int plain = int(menu->actions().size());
        h.view.decorateContextMenu(*menu);
        if (!offer) {
            EXPECT_EQ(menu->actions().size(), plain);
            continue;
        }
        ASSERT_EQ(menu->actions().size(), plain + 2);
        EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Delete Paragraph"));
        EXPECT_TRUE(menu->actions()[1]->isSeparator());
        const auto r = h.view.ranges();
        h.select(r[1].location + 2, r[1].location + 2);  // a caret in the second paragraph
        menu->actions()[0]->trigger();
        EXPECT_EQ(h.deletes, 1);
        EXPECT_EQ(h.askedToDelete, std::vector{(*blocks)[1].id});
    }
}

// A copy holds exactly the characters selected, white space at either end
// and a paragraph's own included, paragraphs divided by one blank line: by
// Ctrl+C and the menu's Copy, with the selection held and once it is
// scrolled away; a cut takes the same characters, and a paste of them puts
// the paragraph back as it was.
TEST(TimelineTextView, CopiesAndCutsHoldExactlyTheSelection) {
    std::vector<Segment> segs = uitest::segments(30, 60);
    segs[27].text = "  Spaced out, as recognised.  ";
    segs[28].text = "Script might be provided ";
    segs[29].text = " provided here.";
    const auto blocks = uitest::blocks(segs);
    ASSERT_EQ(blocks->size(), 30u);
    const struct {
        const char* name;
        size_t from, to;   // paragraphs
        int fromAt, toAt;  // offsets in them; -1: the paragraph's end
        const char* copied;
    } rows[] = {
        {"a space first", 28, 28, 6, 10, " mig"},
        {"a space last", 28, 28, 10, 13, "ht "},
        {"a space at either end, the paragraph's last among them", 28, 28, 15, -1, " provided "},
        {"a paragraph's own spaces, the whole of it", 27, 27, 0, -1,
         "  Spaced out, as recognised.  "},
        {"two paragraphs, spaces at both ends", 28, 29, 16, 9, "provided \n\n provided"},
        {"from the break in front of a paragraph", 27, 28, -1, 6, "Script"},
        {"the break between two paragraphs alone", 28, 29, -1, 0, ""},
    };
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString before = QStringLiteral("copied before");
    const auto menuCopy = [](TimelineHarness& h) {
        std::unique_ptr<QMenu> menu(h.edit().createStandardContextMenu());
        h.view.decorateContextMenu(*menu);
        for (QAction* action : menu->actions())
            if (action->objectName() == QLatin1String("edit-copy")) action->trigger();
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TimelineHarness h(600, 120);
        h.view.windowParagraphs = 6;
        h.show(blocks);
        ASSERT_LE(h.view.heldFrom(), row.from);
        const auto position = [&](size_t paragraph, int offset) {
            const ParagraphRange r = h.view.ranges()[paragraph - h.view.heldFrom()];
            return offset < 0 ? r.end() : r.location + offset;
        };
        const auto selectRow = [&] {
            h.select(position(row.from, row.fromAt), position(row.to, row.toAt));
        };
        const std::string copied = row.copied;
        selectRow();
        EXPECT_EQ(h.view.plainSelectedText().toStdString(), copied);
        clipboard->setText(before);
        QTest::keyClick(&h.edit(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(clipboard->text().toStdString(), copied);
        clipboard->setText(before);
        menuCopy(h);
        EXPECT_EQ(clipboard->text().toStdString(), copied);

        if (row.from == row.to) {
            const std::string text = (*blocks)[row.from].text();
            const int at = position(row.from, row.fromAt) - position(row.from, 0);
            QTest::keyClick(&h.edit(), Qt::Key_X, Qt::ControlModifier);
            EXPECT_EQ(clipboard->text().toStdString(), copied);
            ASSERT_FALSE(h.edits.empty());
            EXPECT_EQ(h.edits.back().second, std::string(text).erase(size_t(at), copied.size()));
            // The paragraph as given again, which is no edit to report.
            QTest::keyClick(&h.edit(), Qt::Key_V, Qt::ControlModifier);
            const ParagraphRange r = h.view.ranges()[row.from - h.view.heldFrom()];
            EXPECT_EQ(paragraphText(h.view.text(), r).toStdString(), text);
            selectRow();
        }
        if (copied.empty()) continue;
        // Scrolled up until the selection's paragraphs are let go: the
        // document shows none of it, and the copy reads the transcript.
        for (int turns = 0; h.view.heldTo() > row.from && turns < 100; ++turns) {
            h.view.scrollTo(0);
            h.settle();
        }
        ASSERT_LE(h.view.heldTo(), row.from);
        clipboard->setText(before);
        QTest::keyClick(&h.edit(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(clipboard->text().toStdString(), copied);
        clipboard->setText(before);
        menuCopy(h);
        EXPECT_EQ(clipboard->text().toStdString(), copied);
    }
}

// Ctrl+A then Ctrl+C copies every paragraph whole, from the transcript where
// one is shown in part or not held, as plain text; no key changes a
// selection that reaches paragraphs not held.
TEST(TimelineTextView, SelectAllCopiesEveryParagraphWhole) {
    std::string huge = "Long.";
    while (huge.size() < 300'000) huge += " Words spoken for a long time.";
    struct Row {
        const char* name;
        int before, after;  // short paragraphs around the long one
        size_t window;
        // The view first given only this many of the newest, and the rest
        // joined in front of them after Ctrl+A, as a long transcript opens.
        size_t newestFirst = 0;
    };
    const Row rows[] = {
        {"a paragraph shown in part between two", 1, 1, 300},
        {"paragraphs not held, one shown in part among them", 40, 30, 12},
        {"only the newest held", 60, 0, 6},
        {"Ctrl+A before the earlier paragraphs joined", 40, 30, 12, 20},
        {"Ctrl+A before the earlier paragraphs joined, all held", 3, 4, 300, 2},
    };
    QClipboard* clipboard = QGuiApplication::clipboard();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Segment> segs = uitest::segments(row.before, 60);
        segs.push_back(uitest::segment(row.before * 60.0 + 1, row.before * 60.0 + 3, huge));
        for (const Segment& s : uitest::segments(row.after, 60, row.before * 60.0 + 120))
            segs.push_back(s);
        const auto blocks = uitest::blocks(segs);
        ASSERT_EQ(blocks->size(), size_t(row.before + row.after + 1));
        std::string whole;
        for (const Block& b : *blocks) whole += (whole.empty() ? "" : "\n\n") + b.text();

        TimelineHarness h;
        h.view.windowParagraphs = row.window;
        // Where the platform has an X primary selection, Ctrl+A sets it.
        const bool primary = clipboard->supportsSelection();
        if (primary) clipboard->setText(QStringLiteral("selected before"), QClipboard::Selection);
        if (row.newestFirst > 0) {
            h.show(std::make_shared<const std::vector<Block>>(
                blocks->end() - std::ptrdiff_t(row.newestFirst), blocks->end()));
            QTest::keyClick(&h.edit(), Qt::Key_A, Qt::ControlModifier);
        }
        h.show(blocks);
        EXPECT_EQ(h.view.heldFrom() > 0, row.window < blocks->size());
        if (row.newestFirst == 0) QTest::keyClick(&h.edit(), Qt::Key_A, Qt::ControlModifier);
        if (primary) {
            EXPECT_TRUE(clipboard->text(QClipboard::Selection).toStdString() == whole)
                << clipboard->text(QClipboard::Selection).size() << " in the primary selection of "
                << whole.size();
        }
        QTest::keyClick(&h.edit(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == whole)
            << QGuiApplication::clipboard()->text().size() << " copied of " << whole.size();
        // The menu's Copy copies the same.
        QGuiApplication::clipboard()->clear();
        std::unique_ptr<QMenu> menu(h.edit().createStandardContextMenu());
        h.view.decorateContextMenu(*menu);
        for (QAction* action : menu->actions())
            if (action->objectName() == QLatin1String("edit-copy")) action->trigger();
        EXPECT_TRUE(QGuiApplication::clipboard()->text().toStdString() == whole);
        if (h.view.heldFrom() == 0) continue;
        // Typing over it changes nothing and says why.
        const QString before = h.view.text().string();
        QTest::keyClicks(&h.edit(), "x");
        QTest::keyClick(&h.edit(), Qt::Key_Delete);
        EXPECT_EQ(h.view.text().string(), before);
        EXPECT_TRUE(h.edits.empty());
        EXPECT_FALSE(h.refusals.empty());
        // Scrolled to the top, pages come in: the selection still reaches both ends.
        h.view.scrollTo(0);
        h.settle();
        EXPECT_TRUE(h.view.plainSelectedText().toStdString() == whole);
        // Ctrl+Shift+Home from inside the newest paragraph, then Ctrl+Shift+End
        // back from the oldest: each end is kept while the other is not held.
        h.view.reachEnd();
        const ParagraphRange last = h.view.ranges().back();
        h.select(last.location + 4, last.location + 4);
        QTest::keyClick(&h.edit(), Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(h.view.heldFrom(), 0u);
        // A paragraph shown in part is copied whole wherever the selection ends in it.
        const bool lastCut = row.after == 0;
        const std::string upTo =
            lastCut ? whole : whole.substr(0, whole.size() - blocks->back().text().size() + 4);
        EXPECT_TRUE(h.view.plainSelectedText().toStdString() == upTo);
        QTest::keyClick(&h.edit(), Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(h.view.heldTo(), blocks->size());
        EXPECT_TRUE(h.view.plainSelectedText().toStdString() ==
                    (lastCut ? huge : blocks->back().text().substr(4)));
    }
}

// A paste whose text comes while a page of older paragraphs comes in and
// newer ones are let go lands where the selection was, by paragraph.
TEST(TimelineTextView, APasteWhileAPageComesInLandsAtTheSelection) {
    for (const bool backwards : {false, true}) {
        TimelineHarness h(600, 120);
        h.view.windowParagraphs = 6;
        const auto blocks = uitest::blocks(uitest::segments(30, 60));
        h.show(blocks);
        ASSERT_EQ(h.view.heldFrom(), 24u);
        const ParagraphRange r = h.view.ranges()[0];  // paragraph 24, on top
        h.select(r.location + (backwards ? 9 : 2), r.location + (backwards ? 2 : 9));
        auto data = std::make_unique<FetchedMimeData>();
        data->setText("XY");
        data->meanwhile = [&] {
            h.view.loadOlder();
            ASSERT_LT(h.view.heldFrom(), 24u);
        };
        QGuiApplication::clipboard()->setMimeData(data.release());  // Qt owns it
        QTest::keyClick(&h.edit(), Qt::Key_V, Qt::ControlModifier);
        h.settle();
        ASSERT_EQ(h.edits.size(), 1u);
        EXPECT_EQ(h.edits.back().first.id, (*blocks)[24].id);
        EXPECT_EQ(h.edits.back().second, "PaXY 24 says something worth keeping.");
    }
}

TEST(GutterView, ClickOnATimeCopiesAndFlashesThatParagraph) {
    TimelineHarness h;
    auto blocks = uitest::blocks(uitest::segments(3));
    h.show(blocks);
    h.view.scrollTo(0);
    h.settle();
    const auto r = h.view.ranges();
    auto line = DocumentGeometry::lineAt(h.doc(), r[1].location);
    const QPoint onTime(40, int(line->rect.center().y() - h.view.scrollY()));
    const QPoint probe(h.edit().viewport()->width() - 12, onTime.y());
    const QColor plain = h.edit().viewport()->grab().toImage().pixelColor(probe);

    QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {}, onTime);
    EXPECT_EQ(h.copied, std::vector{(*blocks)[1].id});
    EXPECT_DOUBLE_EQ(h.view.gutter()->flashState().alpha, 0.45);
    EXPECT_NE(h.view.gutter()->grab().toImage().pixelColor(probe), plain);
    h.main.advance(std::chrono::milliseconds(100));
    QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {}, onTime);  // restarts
    EXPECT_DOUBLE_EQ(h.view.gutter()->flashState().alpha, 0.45);
    h.main.advance(std::chrono::milliseconds(1000));
    EXPECT_FALSE(h.view.gutter()->flashState().active());
    EXPECT_EQ(h.edit().viewport()->grab().toImage().pixelColor(probe), plain);

    // Right of the column, or below the last paragraph: the text takes it.
    const QPoint inText(200, onTime.y());
    QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {}, inText);
    const QPoint below(40, h.edit().viewport()->height() - 2);
    QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {}, below);
    EXPECT_EQ(h.copied.size(), 2u);
    EXPECT_EQ(h.edit().textCursor().position(), h.view.text().length());
}

}  // namespace

namespace {

TEST(TimelineTextView, WorkLeftOnTheMainQueueOutlivesTheView) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    int visible = 0;
    {
        uitest::TimelineHarness h;  // a second view on its own queue
        auto view = std::make_unique<TimelineTextView>(main);
        view->resize(400, 300);
        view->show();
        TimelineInputs in = h.inputs(uitest::blocks(uitest::segments(30)));
        in.onVisible = [&](auto, auto, bool) { ++visible; };
        in.onScrolledToTop = [] {};
        view->setInputs(in);
        view->scrollTo(0);  // arms the one-second reset
        view->gutter()->flash(0, 5);
        EXPECT_GT(main.pendingCount(), 0u);
        view.reset();
    }
    main.advance(std::chrono::seconds(2));  // nothing left to touch
    EXPECT_EQ(main.pendingCount(), 0u);
    EXPECT_LE(visible, 2);
}

TEST(QtMainExecutor, RunsPostedWorkInOrderOnALaterTurn) {
    QtMainExecutor main;
    std::vector<int> order;
    main.post([&] { order.push_back(1); });
    main.postAfter(std::chrono::milliseconds(20), [&] { order.push_back(3); });
    main.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(main.isMainThread());
    std::thread([&] { main.post([&] { order.push_back(4); }); }).join();
    QElapsedTimer t;
    t.start();
    while (order.size() < 4 && t.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));
}

// Tasks posted from several threads at once: each thread's tasks run in its
// order, and each task, with what it captured, is destroyed on the GUI
// thread whichever thread made it.
TEST(QtMainExecutor, TasksFromWorkersRunInTheirOrderAndDieOnTheGuiThread) {
    struct Capture {
        std::shared_ptr<std::vector<std::thread::id>> destroyedOn;
        explicit Capture(std::shared_ptr<std::vector<std::thread::id>> d) : destroyedOn(d) {}
        ~Capture() {
            if (destroyedOn) destroyedOn->push_back(std::this_thread::get_id());
        }
    };
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::vector<int>> seen(kThreads);
    auto destroyedOn = std::make_shared<std::vector<std::thread::id>>();
    {
        QtMainExecutor main;
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t)
            workers.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    auto capture = std::make_shared<Capture>(destroyedOn);
                    main.post(
                        [&seen, t, i, capture = std::move(capture)] { seen[t].push_back(i); });
                }
            });
        for (auto& w : workers) w.join();
        QElapsedTimer timer;
        timer.start();
        auto total = [&] {
            size_t n = 0;
            for (const auto& s : seen) n += s.size();
            return n;
        };
        while (total() < size_t(kThreads * kEach) && timer.elapsed() < 30000)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    std::vector<int> expected(kEach);
    std::iota(expected.begin(), expected.end(), 0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << t;
    ASSERT_EQ(destroyedOn->size(), size_t(kThreads * kEach));
    EXPECT_EQ(std::count(destroyedOn->begin(), destroyedOn->end(), std::this_thread::get_id()),
              kThreads * kEach);
}

}  // namespace
