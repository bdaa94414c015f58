#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>

#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/SidebarWidget.hpp"

using namespace verbolin;

TEST(SidebarWidget, ListsSessionsUnderHeadingsAndFollowsTheStore) {
    testsupport::TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("en_US", "UTC"));
    std::string scope = "all";
    MemoryPasteboard pasteboard;
    SidebarWidget sidebar(store, scope, pasteboard);
    sidebar.resize(230, 400);
    sidebar.show();
    EXPECT_EQ(sidebar.list()->count(), 1);  // "All" alone
    EXPECT_TRUE(sidebar.emptyOverlay()->isVisible());

    const auto marker = store.startSession(std::string("Standup"));
    Segment s;
    s.start = s.end = marker.start + std::chrono::seconds(1);
    s.text = "hello there";
    store.append(s);
    QCoreApplication::processEvents();  // reloads on the next turn
    ASSERT_EQ(sidebar.list()->count(), 3);
    EXPECT_EQ(sidebar.list()->item(1)->flags(), Qt::NoItemFlags);  // the day heading
    EXPECT_TRUE(sidebar.list()->item(2)->text().startsWith("Standup  ●\n"));
    EXPECT_FALSE(sidebar.emptyOverlay()->isVisible());

    int changes = 0;
    sidebar.onScopeChanged = [&] { ++changes; };
    sidebar.list()->setCurrentRow(2);
    EXPECT_EQ(scope, marker.id.string());
    sidebar.model().merge(store.sessionItems().front());
    EXPECT_EQ(scope, "all");
    QCoreApplication::processEvents();
    EXPECT_EQ(sidebar.list()->currentRow(), 0);
    EXPECT_EQ(changes, 1);
}

TEST(SidebarWidget, NewSessionButtonNamesTheKeysThatTriggerIt) {
    testsupport::TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("en_US", "UTC"));
    std::string scope = "all";
    MemoryPasteboard pasteboard;
    SidebarWidget sidebar(store, scope, pasteboard);

    const QPushButton& button = *sidebar.newSessionButton();
    const QString keys = button.shortcut().toString(QKeySequence::NativeText);
    EXPECT_EQ(keys, "Ctrl+N");
    EXPECT_TRUE(button.toolTip().endsWith("(" + keys + ")")) << button.toolTip().toStdString();
    EXPECT_FALSE(button.toolTip().contains(QChar(0x2318)));  // no other desktop's glyphs
}

// Whatever the column's width, "Nothing yet" keeps clear of "All", and a long
// preview is cut with an ellipsis (whole in the tooltip), never scrolled to.
TEST(SidebarWidget, RowsFitTheColumnAndTheEmptyNoteKeepsClearOfAll) {
    testsupport::TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("en_US", "UTC"));
    std::string scope = "all";
    MemoryPasteboard pasteboard;
    SidebarWidget sidebar(store, scope, pasteboard);
    for (int width : {180, 230, 320}) {
        sidebar.resize(width, 400);
        sidebar.show();
        QCoreApplication::processEvents();
        const QRect all = sidebar.list()->visualItemRect(sidebar.list()->item(0));
        ASSERT_TRUE(sidebar.emptyOverlay()->isVisible());
        EXPECT_FALSE(sidebar.emptyOverlay()->geometry().intersects(all)) << width;
        EXPECT_TRUE(sidebar.list()->viewport()->rect().contains(
            sidebar.emptyOverlay()->geometry().center()))
            << width;
    }

    const auto marker = store.startSession(std::nullopt);
    Segment s;
    s.start = s.end = marker.start + std::chrono::seconds(1);
    s.text = "Supercalifragilisticexpialidocious words keep coming one after another";
    store.append(s);
    QCoreApplication::processEvents();
    ASSERT_EQ(sidebar.list()->count(), 3);
    const QListWidgetItem* row = sidebar.list()->item(2);
    for (int width : {180, 230, 320}) {
        sidebar.resize(width, 400);
        QCoreApplication::processEvents();
        const QFontMetrics metrics = sidebar.list()->fontMetrics();
        EXPECT_FALSE(sidebar.list()->horizontalScrollBar()->isVisible()) << width;
        const QStringList lines = row->text().split('\n');
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines[1].endsWith(QChar(0x2026))) << lines[1].toStdString();
        for (const QString& line : lines)
            EXPECT_LE(metrics.horizontalAdvance(line), sidebar.list()->viewport()->width())
                << width << " " << line.toStdString();
        EXPECT_TRUE(row->toolTip().contains("Supercalifragilisticexpialidocious words keep"))
            << row->toolTip().toStdString();
    }
}
