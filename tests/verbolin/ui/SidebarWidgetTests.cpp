#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

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
