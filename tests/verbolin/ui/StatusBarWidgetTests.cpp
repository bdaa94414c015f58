#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>

#include "support/SmallDisk.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"

using namespace apptest;

namespace {
QString unbroken(QString text) { return text.remove(QRegularExpression(QStringLiteral("\\s"))); }
}  // namespace

// A failure longer than its lines can hold keeps its start (what went
// wrong) and its end (what to do), with "…" for the middle, each line inside
// the label and "Retry" beside it; the tooltip has it all. A single word
// wider than the bar is broken too, rather than drawn past its edge.
TEST(StatusBarWidget, LongFailureKeepsItsStartAndItsEndWithRetryVisible) {
    EngineWorld world;
    TranscriptionEngine engine(world.services());
    verbolin::StatusBarWidget bar(engine);
    bar.resize(420, 40);
    bar.show();
    const struct {
        std::string message;
        const char* start;
        const char* end;
    } rows[] = {
        {"start " + std::string(400, 'x') + " end", "start x", "x end"},
        {"Cause first. " + std::string(60, ' ') + "\t" + std::string(3000, 'y') +
             " then press Retry.",
         "Cause first.", "then press Retry."},
        {std::string(100000, 'w') + " Retry.", "www", "w Retry."},
        {"Cause first: " +
             [] {
                 std::string many;
                 for (int i = 0; i < 300; ++i) many += "word" + std::to_string(i) + " ";
                 return many;
             }() +
             "then press Retry.",
         "Cause first: word0", "word299 then press Retry."},
        // Right to left, and wider than Latin letters.
        {std::string(120, 'a') + " " +
             [] {
                 std::string rtl;
                 for (int i = 0; i < 200; ++i) rtl += "\u05e9\u05dc\u05d5\u05dd ";
                 return rtl;
             }() +
             "done.",
         "aaa", "done."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.substr(0, 40));
        engine.modelState.set(ModelState::failed(row.message));
        QCoreApplication::processEvents();  // the refresh runs on the next turn

        const auto shown = bar.message()->text();
        const QStringList lines = shown.split('\n');
        EXPECT_LE(lines.size(), verbolin::StatusBarWidget::kMaxMessageLines);
        // Lines break between words, or inside one too wide for a line.
        EXPECT_TRUE(unbroken(shown).startsWith(unbroken(row.start))) << shown.toStdString();
        EXPECT_TRUE(unbroken(shown).endsWith(unbroken(row.end))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();  // the middle left out
        // Where words are short, none is shown in part: each one shown is
        // one of the message's own.
        if (row.message.starts_with("Cause first: word")) {
            const QString own = QString::fromStdString(" " + row.message + " ");
            for (const QString& word :
                 shown.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) {
                EXPECT_TRUE(word == QChar(0x2026) || own.contains(" " + word + " "))
                    << word.toStdString() << " in " << shown.toStdString();
            }
        }
        for (const QString& line : lines)
            EXPECT_LE(bar.message()->fontMetrics().horizontalAdvance(line), bar.message()->width());
        EXPECT_LE(lines.size() * bar.message()->fontMetrics().lineSpacing(),
                  bar.message()->height());
        EXPECT_TRUE(bar.retryButton()->isVisible());
        const QRect retry(bar.retryButton()->mapTo(&bar, QPoint(0, 0)), bar.retryButton()->size());
        EXPECT_TRUE(bar.rect().contains(retry));
        EXPECT_FALSE(retry.intersects(
            QRect(bar.message()->mapTo(&bar, QPoint(0, 0)), bar.message()->size())));
        EXPECT_EQ(bar.message()->toolTip(), QString::fromStdString(row.message));
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
