#include <gtest/gtest.h>

#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/SidebarModel.hpp"

using namespace verbolin;

namespace {

constexpr double kDay0 = 1714536000.0;  // 2024-05-01 00:00 New York
platform::Date at(double hours) { return platform::dateFromSecondsSince1970(kDay0 + hours * 3600); }

Segment seg(double hours, std::string text) {
    Segment s;
    s.start = at(hours);
    s.end = s.start + std::chrono::seconds(1);
    s.text = std::move(text);
    return s;
}

class SidebarModelTest : public ::testing::Test {
  protected:
    testsupport::TempDir dir;
    TranscriptStore store{dir.path(),
                          UserCalendar("en_US", "America/New_York", [] { return at(40); })};
    std::string scope = "all";
    SidebarModel sidebar{store, scope};
    SessionMarker late{platform::Uuid::random(), at(23.5), std::nullopt};  // words after midnight
    SessionMarker morning{platform::Uuid::random(), at(9), "Standup"};
    SessionMarker evening{platform::Uuid::random(), at(18), std::nullopt};

    void SetUp() override {
        store.segments.set({seg(1, "before any session"), seg(9.1, "first"),
                            seg(9.1 + 1.0 / 3600, "still first"), seg(9.2, "second paragraph"),
                            seg(18.1, "evening"), seg(24.5, "after midnight")});
        store.sessions.set({morning, evening, late});
    }
    SessionItem itemOf(const SessionMarker& m) {
        for (auto& i : store.sessionItems())
            if (i.marker && i.marker->id == m.id) return i;
        throw std::runtime_error("no item");
    }
};

}  // namespace

TEST_F(SidebarModelTest, GroupsByTheDayOfTheFirstWordsNewestFirst) {
    auto days = sidebar.sessionDays();
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].day, at(24));
    ASSERT_EQ(days[0].items.size(), 1u);
    EXPECT_EQ(days[0].items[0].marker->id, late.id);  // started the day before
    ASSERT_EQ(days[1].items.size(), 3u);
    EXPECT_EQ(days[1].items[0].marker->id, evening.id);
    EXPECT_EQ(days[1].items[1].marker->id, morning.id);
    EXPECT_FALSE(days[1].items[2].marker);  // the words before the first session
}

TEST_F(SidebarModelTest, RowsByKind) {
    auto named = sidebar.row(itemOf(morning));
    EXPECT_EQ(named.firstLine, "Standup");
    EXPECT_EQ(named.secondLine, store.rangeText(itemOf(morning)) + " · first");
    EXPECT_FALSE(named.isCurrent);
    EXPECT_EQ(named.entries.size(), 3u);

    auto open = sidebar.row(itemOf(late));
    EXPECT_EQ(open.firstLine, store.rangeText(itemOf(late)));
    EXPECT_EQ(open.secondLine, "after midnight");
    EXPECT_TRUE(open.isCurrent);

    auto day = sidebar.row(sidebar.sessionDays()[1].items[2]);
    EXPECT_FALSE(day.isCurrent);
    EXPECT_EQ(day.entries, std::vector<std::string>{SidebarModel::kCopy});
}

TEST_F(SidebarModelTest, RenameToBlanksRemovesTheName) {
    sidebar.beginRename(itemOf(morning));
    EXPECT_EQ(sidebar.renameText, "Standup");
    sidebar.renameText = " \t ";
    sidebar.saveRename();
    EXPECT_FALSE(sidebar.renaming());
    EXPECT_EQ(itemOf(morning).title, "");
    EXPECT_EQ(sidebar.row(itemOf(morning)).firstLine, store.rangeText(itemOf(morning)));
}

TEST_F(SidebarModelTest, MergeResetsTheScopeOnlyWhenSelected) {
    scope = itemOf(evening).id;
    sidebar.merge(itemOf(morning));
    EXPECT_EQ(scope, itemOf(evening).id);
    sidebar.merge(itemOf(evening));
    EXPECT_EQ(scope, "all");
    EXPECT_EQ(store.sessions.get().size(), 1u);
    EXPECT_EQ(store.segments.get().size(), 6u);  // merging keeps every word
}

TEST_F(SidebarModelTest, CopySeparatesParagraphsWithABlankLine) {
    EXPECT_EQ(sidebar.copyText(itemOf(morning)), "first still first\n\nsecond paragraph");
    store.segments.set({});
    EXPECT_EQ(sidebar.copyText(itemOf(morning)), "");
}
