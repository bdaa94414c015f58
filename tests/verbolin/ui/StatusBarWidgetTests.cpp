#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include "support/SmallDisk.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"
#include "verbolin/ui/WordDiffText.hpp"

using namespace apptest;

namespace {

// What the first two lines of the bar's trailing side, as wide as it is now,
// read of `html`.
QString firstTwoLines(const verbolin::StatusBarWidget& bar, const QString& html) {
    QTextDocument doc;
    doc.setDefaultFont(bar.trailing()->font());
    doc.setHtml(html);
    doc.setTextWidth(bar.trailing()->contentsRect().width());
    doc.documentLayout()->blockBoundingRect(doc.begin());  // laid out now
    const QTextLayout* layout = doc.begin().layout();
    if (layout->lineCount() == 0) return QString();
    const QTextLine last = layout->lineAt(std::min(2, layout->lineCount()) - 1);
    return doc.begin().text().left(last.textStart() + last.textLength());
}

}  // namespace

// A failure is one line, line breaks read as spaces: too long, its middle
// gives way (its start says what went wrong, its end what to do), "Retry"
// stays visible, and the tooltip has it all.
TEST(StatusBarWidget, LongFailureIsOneLineShortenedInTheMiddleWithRetryVisible) {
    EngineWorld world;
    TranscriptionEngine engine(world.services());
    platform::VirtualClock clock;
    verbolin::StatusBarWidget bar(engine, clock);
    bar.resize(420, 40);
    bar.show();
    std::string many, rtl;
    for (int i = 0; i < 300; ++i) many += "word" + std::to_string(i) + " ";
    for (int i = 0; i < 200; ++i) rtl += "\u05e9\u05dc\u05d5\u05dd ";
    const struct {
        std::string message;
        bool shortened;
    } rows[] = {
        {"Model not found.", false},
        {"start " + std::string(400, 'x') + " end", true},
        {"Cause first. " + std::string(60, ' ') + "\t" + std::string(3000, 'y') +
             " then press Retry.",
         true},
        {std::string(100000, 'w') + " Retry.", true},
        {"Cause first: " + many + "then press Retry.", true},
        {"First line of the cause\n" + std::string(200, 'z') + "\r\nthen press Retry.", true},
        {std::string(120, 'a') + " " + rtl + "done.", true},  // right to left, in the middle
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.substr(0, 40));
        engine.modelState.set(ModelState::failed(row.message));
        QCoreApplication::processEvents();  // the refresh runs on the next turn

        const auto shown = bar.message()->text();
        const QString line = QString::fromStdString(row.message).simplified();
        const auto* label = bar.message();
        EXPECT_FALSE(shown.contains('\n')) << shown.toStdString();
        EXPECT_LT(label->height(), 2 * label->fontMetrics().lineSpacing());
        EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->width());
        // What is left of each side is the message's own start and end.
        const qsizetype cut = shown.indexOf(QChar(0x2026));
        EXPECT_TRUE(row.shortened ? shown.size() < line.size() : shown == line)
            << shown.toStdString();
        ASSERT_EQ(cut > 0, row.shortened) << shown.toStdString();
        EXPECT_FALSE(row.shortened && shown.mid(cut + 1).isEmpty()) << shown.toStdString();
        EXPECT_TRUE(line.startsWith(shown.left(cut)) && line.endsWith(shown.mid(cut + 1)))
            << shown.toStdString();
        EXPECT_TRUE(bar.retryButton()->isVisible());
        const QRect retry(bar.retryButton()->mapTo(&bar, QPoint(0, 0)), bar.retryButton()->size());
        EXPECT_TRUE(bar.rect().contains(retry));
        EXPECT_FALSE(retry.intersects(QRect(label->mapTo(&bar, QPoint(0, 0)), label->size())));
        EXPECT_FALSE(retry.intersects(
            QRect(bar.trailing()->mapTo(&bar, QPoint(0, 0)), bar.trailing()->size())));
        EXPECT_EQ(bar.message()->toolTip(), QString::fromStdString(row.message));

        // An undo's notice is said whole beside the failure for its seconds;
        // then the failure is back as it was.
        const std::string notice =
            "Undid a change to the paragraph of 10:42, which is not shown here.";
        bar.setNotice(notice);
        // Here the bar is too narrow for both: the notice has all that Retry leaves.
        const std::string said = bar.trailing()->text().toStdString();
        EXPECT_GE(said.size(), 40u) << said;
        EXPECT_EQ(notice.substr(0, 40), said.substr(0, 40));
        EXPECT_TRUE(bar.retryButton()->isVisible());
        clock.advance(std::chrono::seconds(int(verbolin::StatusBarModel::kNoticeSeconds) + 1));
        bar.refresh();
        EXPECT_EQ(bar.message()->text(), shown);
    }

    engine.modelState.set(ModelState::ready());
    QCoreApplication::processEvents();
    EXPECT_FALSE(bar.retryButton()->isVisible());
    EXPECT_EQ(bar.message()->text(), "Paused");

    // Reset settings are said beside the state, in full in the tooltip.
    const std::string notice = "Settings reset: /c/settings.json could not be read (not a file).";
    bar.setSettingsNotice(notice);
    EXPECT_EQ(bar.message()->text(), "Paused · Settings reset");
    EXPECT_TRUE(bar.message()->toolTip().endsWith(QString::fromStdString(notice)))
        << bar.message()->toolTip().toStdString();
    engine.stopAndWait();
}

// The word diff of a long paragraph is cut to what the bar's two lines can
// show: at every width, those lines read as the whole diff's would. A
// paragraph of one long word (a paste without a space) is written only as
// far as they reach.
TEST(StatusBarWidget, WordDiffOfALongParagraphShowsTheLinesOfTheWholeDiff) {
    EngineWorld world;
    TranscriptionEngine engine(world.services());
    verbolin::StatusBarWidget bar(engine);
    bar.show();
    const auto firstLines = [&](const QString& html) { return firstTwoLines(bar, html); };
    std::string words, letters, ideographs, astral, hebrew, accented;
    for (int i = 0; words.size() < 25000; ++i) words += "word" + std::to_string(i % 97) + " ";
    for (int i = 0; letters.size() < 60'000; ++i) letters += char('a' + i % 26);
    for (int i = 0; i < 30'000; ++i) ideographs += i % 2 ? "\u6587" : "\u5b57";
    for (int i = 0; i < 20'000; ++i) astral += i % 2 ? "\U0001D400" : "\U0001D41B";
    for (int i = 0; hebrew.size() < 25'000; ++i)
        hebrew += i % 3 ? "\u05e9\u05dc\u05d5\u05dd " : "\u05d0\u05d1 ";
    for (int i = 0; accented.size() < 25'000; ++i) accented += "e\u0301te\u0301 caf\u00e9 ";
    const struct {
        const char* name;
        std::string before, after;
    } rows[] = {
        {"words", "So " + words, words},
        {"one long word", letters, letters + "x"},
        {"ideographs without a space", ideographs + "\u3002", ideographs},
        {"letters outside the first plane without a space", astral, astral + "\U0001D400"},
        {"right-to-left words", hebrew + "\u05ea", "\u05d0 " + hebrew},
        {"words with combining marks", accented, "Cafe\u0301 " + accented},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        verbolin::Segment s;
        s.text = row.after, s.original = row.before, s.edited = true;
        bar.setSelection({verbolin::Block{s.id, {s}}}, false);
        using verbolin::WordDiffText;
        const QString whole = WordDiffText::html(
            WordDiffText::diff(WordDiffText::words(QString::fromStdString(*s.original)),
                               WordDiffText::words(QString::fromStdString(s.text))),
            bar.palette());
        for (const int width : {900, 300, 2000}) {  // growing after the diff was shown too
            bar.resize(width, 60);
            EXPECT_GT(firstLines(whole).size(), 20) << width;
            EXPECT_EQ(firstLines(bar.trailing()->text()), firstLines(whole)) << width;
            // Three lines' worth of the narrowest characters at most, each
            // word, at the widest the bar was.
            EXPECT_LT(bar.trailing()->text().size(), 2 * 3 * (2000 + 20) + 2000) << width;
        }
    }
    engine.stopAndWait();
}

// A word no wider than a letter (one letter and 50,000 accents on it), added
// or taken out: the bar holds no more of it than it could ever show, at
// every width, and says the words around it as ever.
TEST(StatusBarWidget, WordDiffHoldsOnlyWhatTheBarCanShowOfAWordOfMarks) {
    EngineWorld world;
    TranscriptionEngine engine(world.services());
    verbolin::StatusBarWidget bar(engine);
    bar.show();
    const std::string wide(700, 'm');
    const std::string marks = "a" + [] {
        std::string out;
        for (int i = 0; i < 50'000; ++i) out += "\u0301";
        return out;
    }();
    const struct {
        std::string original, now;
    } rows[] = {{"Before after.", "Before " + marks + " after."},
                {"Before " + marks + " after.", "Before after."},
                {marks, marks + " tail"},
                // Put in front of a word wider than any bar: the bar's end is
                // as wide as it can be, the word still cut as far.
                {wide, marks + " " + wide}};
    for (const auto& row : rows) {
        verbolin::Segment s;
        s.original = row.original, s.text = row.now, s.edited = true;
        bar.setSelection({verbolin::Block{s.id, {s}}}, false);
        for (const int width : {900, 300, 4000}) {
            bar.resize(width, 60);
            QCoreApplication::processEvents();
            const QString shown = bar.trailing()->text();
            EXPECT_LT(shown.size(), 10'000) << width;
            EXPECT_TRUE(shown.contains(QStringLiteral("a\u0301\u0301"))) << width;
        }
    }
    engine.stopAndWait();
}

namespace {

verbolin::Block paragraph(const std::string& text, const std::string& original = {}) {
    verbolin::Segment s;
    s.text = text;
    if (!original.empty()) s.original = original, s.edited = true;
    return verbolin::Block{s.id, {s}};
}

// A bar of the default width, shown, over an engine that is stopped before
// the bar goes.
struct ShownBar {
    EngineWorld world;
    TranscriptionEngine engine{world.services()};
    verbolin::StatusBarWidget bar{engine};
    ShownBar() {
        bar.resize(900, 60);
        bar.show();
    }
    ~ShownBar() { engine.stopAndWait(); }
};

}  // namespace

// A drag reports a selection on every move, many in one turn of the loop:
// the bar takes in the last of a turn when the turn ends, placed once, and
// says what it says for that selection alone, whatever came before.
TEST(StatusBarWidget, SaysTheLastSelectionOfATurnOnceTheTurnEnds) {
    ShownBar shownBar;
    verbolin::StatusBarWidget& bar = shownBar.bar;
    QCoreApplication::processEvents();
    using verbolin::Block;
    std::string deep;
    for (int i = 0; deep.size() < 2'500; ++i) deep += "sentence " + std::to_string(i) + " said. ";
    const Block one = paragraph("Knowledge is power."), two = paragraph("They got in."),
                three = paragraph("We will meet."), edited = paragraph(deep + "Now.", deep),
                cjk = paragraph("\u4e2d\u6587\u5b57", "\u4e2d\u5b57"),
                cjkAsLong = paragraph("\u5b57\u6587\u4e2d", "\u5b57\u4e2d"),
                rtl = paragraph("\u05e9\u05dc\u05d5\u05dd \u05d0", "\u05e9\u05dc\u05d5\u05dd"),
                marks = paragraph("e\u0301\u0301 x", "e\u0301\u0301");
    const auto selection = [](size_t n) {
        return QString::fromStdString(verbolin::StatusBarModel::selectionText(n));
    };
    const auto diffOf = [&](const Block& b) {
        using verbolin::WordDiffText;
        return WordDiffText::html(
            WordDiffText::diff(WordDiffText::words(QString::fromStdString(*b.original())),
                               WordDiffText::words(QString::fromStdString(b.text()))),
            bar.palette());
    };
    const QString hint = bar.trailing()->text();
    using Run = std::vector<std::pair<std::vector<Block>, bool>>;
    const struct {
        const char* name;
        Run run;  // the selections of one turn, the last one stays
        QString says;
    } rows[] = {
        {"within one paragraph", {{{one}, false}, {{one}, true}}, selection(1)},
        {"one paragraph, then across three",
         {{{one}, true}, {{one, two}, true}, {{one, two, three}, true}},
         selection(3)},
        {"across three, then back to one",
         {{{one, two, three}, true}, {{one, two}, true}, {{two}, true}},
         selection(1)},
        {"across two, then a caret", {{{one, two}, true}, {{two}, false}}, hint},
        {"a deep edited paragraph selected, then across",
         {{{edited}, true}, {{edited, one}, true}},
         selection(2)},
        {"across, then into a deep edited paragraph",
         {{{one, edited}, true}, {{edited}, true}},
         diffOf(edited)},
        {"one edited paragraph, then another", {{{edited}, true}, {{cjk}, true}}, diffOf(cjk)},
        {"then another as long", {{{cjkAsLong}, true}}, diffOf(cjkAsLong)},
        {"right to left", {{{cjk}, true}, {{rtl}, false}}, diffOf(rtl)},
        {"combining marks", {{{rtl}, true}, {{marks}, true}}, diffOf(marks)},
        {"an edited paragraph and back to the same",
         {{{one}, true}, {{marks}, false}},
         diffOf(marks)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString before = bar.trailing()->text();
        for (const auto& [selected, hasSelection] : row.run) {
            bar.setSelection(selected, hasSelection);
            bar.setCopiedAt(std::nullopt);
        }
        // Placed when the turn ends, not on each of its selections.
        EXPECT_EQ(bar.trailing()->text(), before);
        QCoreApplication::processEvents();
        const QString said = bar.trailing()->text();
        if (row.says.startsWith('<'))  // a word diff: its lines as the whole diff's
            EXPECT_EQ(firstTwoLines(bar, said), firstTwoLines(bar, row.says));
        else
            EXPECT_EQ(said, row.says);
    }
}

// A drag within an edited paragraph: every move reports a selection, each
// in a turn of its own, and the bar says the same word diff throughout. It
// is not laid out or painted again for any of them.
TEST(StatusBarWidget, ADragWithinAnEditedParagraphLeavesTheBarAsItIs) {
    ShownBar shownBar;
    verbolin::StatusBarWidget& bar = shownBar.bar;
    std::string deep, arrows;
    for (int i = 0; deep.size() < 2'500; ++i) deep += "sentence " + std::to_string(i) + " said. ";
    for (int i = 0; i < 150'000; ++i) arrows += "\u27ff";
    struct Painted : QObject {
        int count = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++count;
            return false;
        }
    } painted;
    bar.trailing()->installEventFilter(&painted);
    const struct {
        const char* name;
        verbolin::Block block;
    } rows[] = {
        {"a deep paragraph", paragraph(deep + "Now.", deep)},
        {"150,000 long arrows", paragraph(arrows + "x", arrows)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        bar.setSelection({row.block}, false);
        // Until the diff is laid out and painted: three turns that paint nothing.
        for (int quiet = 0, turn = 0; quiet < 3 && turn < 100; ++turn) {
            painted.count = 0;
            QCoreApplication::processEvents();
            quiet = painted.count ? 0 : quiet + 1;
        }
        const QString shown = bar.trailing()->text();
        const QRect place = bar.trailing()->geometry();
        painted.count = 0;
        for (int move = 0; move < 100; ++move) {
            bar.setSelection({row.block}, move > 0);
            bar.setCopiedAt(std::nullopt);
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(painted.count, 0);
        EXPECT_EQ(bar.trailing()->text(), shown);
        EXPECT_EQ(bar.trailing()->geometry(), place);
    }
}

// A paragraph deleted in the editor while the disk is full: the bar says
// the transcript is not saved, the paragraph stays deleted, and the retry
// timer writes the delete once there is room, clearing the warning.
TEST(StatusBarWidget, AnEditorDeleteOnAFullDiskShowsNotSavedUntilItIsWritten) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    TestEnvironment env;
    EngineWorld world;
    const auto folder = disk / "Verbolin";
    auto model = std::make_unique<verbolin::AppModel>(world.appServices(folder));
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    auto& store = model->store();
    for (int i = 0; i < 2; ++i) {
        verbolin::Segment s;
        s.start = t0 + std::chrono::seconds(60 * i);
        s.end = s.start + std::chrono::seconds(1);
        s.text = i == 0 ? "keep this" : "delete this";
        store.append(s);
    }
    verbolin::StatusBarWidget bar(model->engine());
    bar.followSaving(store);
    bar.resize(600, 40);
    bar.show();
    verbolin::EditorModel editor(*model);
    editor.selectedIDs = {store.allBlocks()->back().id};
    editor.selectedRange = {12, 3};

    disk.fill();
    ASSERT_TRUE(editor.deleteSelection());
    QCoreApplication::processEvents();
    EXPECT_TRUE(bar.message()->text().endsWith("Not saved")) << bar.message()->text().toStdString();
    EXPECT_TRUE(bar.message()->toolTip().contains("kept"))
        << bar.message()->toolTip().toStdString();
    // Which file, and the system's reason.
    for (const QString& named :
         {QString::fromStdString(store.db()->url().string()), QString("No space left on device")})
        EXPECT_TRUE(bar.message()->toolTip().contains(named))
            << bar.message()->toolTip().toStdString();
    EXPECT_FALSE(bar.retryButton()->isVisible());
    ASSERT_EQ(store.segments.peek().size(), 1u);

    world.main.advance(verbolin::AppModel::kSaveRetryInterval);  // still full
    QCoreApplication::processEvents();
    EXPECT_TRUE(bar.message()->text().endsWith("Not saved"));
    disk.makeRoom();
    world.main.advance(verbolin::AppModel::kSaveRetryInterval);
    QCoreApplication::processEvents();
    EXPECT_FALSE(bar.message()->text().contains("Not saved"))
        << bar.message()->text().toStdString();
    model->engine().stopAndWait();
    model.reset();
    verbolin::TranscriptDB db(folder / "transcript.sqlite");
    ASSERT_EQ(db.allSegments().size(), 1u);
    EXPECT_EQ(db.allSegments()[0].text, "keep this");
}
