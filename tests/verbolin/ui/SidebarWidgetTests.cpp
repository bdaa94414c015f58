#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <functional>

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

namespace {

// Every row as the user meets it: its texts (cut and whole), tooltip, the
// entry it stands for, whether it is a heading, and which is current.
std::vector<std::string> rowsOf(const SidebarWidget& sidebar) {
    std::vector<std::string> rows;
    const QListWidget& list = *sidebar.list();
    for (int i = 0; i < list.count(); ++i) {
        const QListWidgetItem& item = *list.item(i);
        rows.push_back((item.text() + " | " + item.data(Qt::UserRole + 1).toString() + " | " +
                        item.toolTip() + " | " + item.data(Qt::UserRole).toString() + " | " +
                        QString::number(int(item.flags())) + (item.font().bold() ? " bold" : "") +
                        (list.currentRow() == i ? " current" : ""))
                           .toStdString());
    }
    return rows;
}

}  // namespace

// Twenty days of four sessions: after each stored change the list shows
// what a sidebar built afresh shows, having rewritten only the rows whose
// text changed.
TEST(SidebarWidget, AStoredChangeRewritesItsOwnRowsAndShowsWhatAFreshBuildShows) {
    const double firstDay = 1714521600.0;  // 2024-05-01, UTC
    double now = firstDay + 19 * 86400.0 + 20 * 3600.0;
    const auto at = [](double t) { return platform::dateFromSecondsSince1970(t); };
    UserCalendar calendar("en_US", "UTC", [&] { return at(now); });
    testsupport::TempDir dir;
    TranscriptStore store(dir.path(), calendar);
    std::vector<Segment> all;
    std::vector<SessionMarker> markers;
    for (int d = 0; d < 20; ++d)
        for (int k = 0; k < 4; ++k) {
            const double start = firstDay + d * 86400.0 + (9 + 2 * k) * 3600.0;
            markers.push_back({platform::Uuid::random(), at(start), std::nullopt});
            for (int i = 0; i < 30; ++i) {
                Segment s;
                s.start = at(start + 60 + i * 120.0);
                s.end = at(start + 69 + i * 120.0);
                s.text = "day " + std::to_string(d) + " session " + std::to_string(k) +
                         " utterance " + std::to_string(i);
                all.push_back(std::move(s));
            }
        }
    store.segments.set(std::move(all));
    store.sessions.set(markers);
    std::string scope = markers[30].id.string();
    MemoryPasteboard pasteboard;
    SidebarWidget sidebar(store, scope, pasteboard);
    sidebar.resize(230, 500);
    sidebar.show();
    QCoreApplication::processEvents();

    // The first paragraph of day d's session k.
    const auto firstOf = [&](int d, int k) {
        return (*store.allBlocks())[size_t(d * 120 + k * 30)];
    };
    struct Case {
        const char* name;
        std::function<void()> change;
        size_t rowsWritten;
    } cases[] = {
        {"first words edited", [&] { store.replace(firstOf(5, 2), "new first words"); }, 1},
        {"a later paragraph edited",
         [&] { store.replace((*store.allBlocks())[5 * 120 + 2 * 30 + 10], "later words"); }, 0},
        {"a session renamed", [&] { store.rename(markers[29].id, "Planning"); }, 1},
        {"the chosen session merged into the one before",
         [&] { store.removeSession(markers[30].id); }, 1},
        {"a session's first paragraph deleted", [&] { store.deleteBlocks({firstOf(3, 0)}); }, 1},
        {"a new session", [&] { store.startSession(std::nullopt); }, 2},
        {"its first words after midnight, under a new day",
         [&] {
             now += 86400.0;
             Segment s;
             s.start = s.end = at(now);
             s.text = "tomorrow's first words";
             store.append(s);
         },
         1},
    };
    for (const auto& c : cases) {
        const size_t before = sidebar.rowsWritten();
        c.change();
        QCoreApplication::processEvents();
        EXPECT_EQ(sidebar.rowsWritten() - before, c.rowsWritten) << c.name;
        SidebarWidget fresh(store, scope, pasteboard);
        // Taking the focus would make its first row current.
        fresh.list()->setFocusPolicy(Qt::NoFocus);
        fresh.resize(230, 500);
        fresh.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(rowsOf(sidebar), rowsOf(fresh)) << c.name;
    }
}

// Rows are sized from one plain row and cut only when read: each row still
// stands where Qt's own sizing of every row's text puts it, glyphs of other
// fonts, controls and long words included.
TEST(SidebarWidget, RowsStandWhereQtsOwnSizingOfEachRowPutsThem) {
    testsupport::TempDir dir;
    TranscriptStore store(dir.path(), UserCalendar("en_US", "UTC"));
    const char* texts[] = {"plain words",
                           "漢字の文とかな",
                           "an emoji \xF0\x9F\x98\x80 here",
                           "a\ttab and a \xE2\x80\xA8 separator",
                           "Supercalifragilisticexpialidocious words keep coming one after another",
                           "two\nlines",
                           "\xF0\x9D\x92\x9C\xF0\x9D\x93\x81 script",
                           "\xE0\xB8\xA0\xE0\xB8\xB2\xE0\xB8\xA9\xE0\xB8\xB2 thai",
                           "x"};
    const auto at = [](double t) { return platform::dateFromSecondsSince1970(t); };
    std::vector<Segment> segments;
    std::vector<SessionMarker> markers;
    for (const char* text : texts) {
        const double start = 1714521600.0 + 3600.0 * double(markers.size());
        markers.push_back({platform::Uuid::random(), at(start), std::nullopt});
        Segment s;
        s.start = s.end = at(start + 60);
        s.text = text;
        segments.push_back(std::move(s));
    }
    store.segments.set(std::move(segments));
    store.sessions.set(markers);
    std::string scope = "all";
    MemoryPasteboard pasteboard;
    SidebarWidget sidebar(store, scope, pasteboard), reference(store, scope, pasteboard);
    reference.list()->setItemDelegate(new QStyledItemDelegate(reference.list()));
    for (SidebarWidget* each : {&sidebar, &reference}) {
        each->resize(200, 900);
        each->show();
    }
    QCoreApplication::processEvents();
    ASSERT_EQ(sidebar.list()->count(), 2 + int(std::size(texts)));
    for (SidebarWidget* each : {&sidebar, &reference}) each->list()->doItemsLayout();
    for (int i = 0; i < sidebar.list()->count(); ++i) {
        EXPECT_EQ(sidebar.list()->item(i)->text(), reference.list()->item(i)->text()) << i;
        EXPECT_EQ(sidebar.list()->visualItemRect(sidebar.list()->item(i)),
                  reference.list()->visualItemRect(reference.list()->item(i)))
            << i << " " << sidebar.list()->item(i)->text().toStdString();
    }
}
