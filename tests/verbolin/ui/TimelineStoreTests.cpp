// Edits made through the timeline view reach the database.
#include <gtest/gtest.h>

#include <QTest>

#include "support/TempDir.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/TimelineViewHarness.hpp"

using namespace verbolin;

namespace {

struct StoreHost {
    TranscriptStore& store;
    uitest::TimelineHarness& h;
    MemoryPasteboard pasteboard;
    std::vector<platform::Uuid> selection;

    void push() {
        TimelineInputs in = h.inputs(store.allBlocks());
        in.onEdit = [this](const Block& b, const std::string&, const std::string& text,
                           std::optional<int>) {
            store.replace(b, text);
            // The store's echo arrives as an observation, after the edit.
            h.main.post([this] { push(); });
        };
        in.onSelection = [this](std::pair<int, int>, const std::vector<platform::Uuid>& ids) {
            selection = ids;
        };
        in.onDeleteSelection = [this] {
            std::vector<Block> doomed;
            for (const Block& b : *store.allBlocks())
                if (std::find(selection.begin(), selection.end(), b.id) != selection.end())
                    doomed.push_back(b);
            store.deleteBlocks(doomed);
            push();
        };
        in.onCopyBlock = [this](const platform::Uuid& id) {
            for (const Block& b : *store.allBlocks())
                if (b.id == id) pasteboard.clearAndSetString(QString::fromStdString(b.text()));
        };
        h.view.setInputs(std::move(in));
    }
};

TEST(TimelineStore, TypingDeletingAndCopyingThroughTheViewReachTheDatabase) {
    testsupport::TempDir dir;
    std::vector<Segment> segs = uitest::segments(6, 60);
    {
        TranscriptStore store(dir.path());
        for (const Segment& s : segs) store.append(s);
        uitest::TimelineHarness h;
        StoreHost host{store, h, {}, {}};
        host.push();
        h.settle();
        auto r = h.view.ranges();
        ASSERT_EQ(r.size(), 6u);

        h.select(r[0].location, r[0].location);
        QTest::keyClicks(&h.edit(), "Hello ");
        h.settle();
        EXPECT_EQ(h.doc().toPlainText(), h.view.text().string());

        r = h.view.ranges();
        h.select(r[2].location + 3, r[4].location + 3);
        h.settle();
        QTest::keyClick(&h.edit(), Qt::Key_Backspace, Qt::ControlModifier);
        h.settle();
        ASSERT_EQ(h.view.ranges().size(), 3u);

        auto line = DocumentGeometry::lineAt(h.doc(), h.view.ranges()[1].location);
        QTest::mouseClick(h.edit().viewport(), Qt::LeftButton, {},
                          QPoint(30, int(line->rect.center().y() - h.view.scrollY())));
        EXPECT_EQ(host.pasteboard.string().toStdString(), segs[1].text);
        EXPECT_EQ(host.pasteboard.writes(), 1);
    }
    TranscriptStore reopened(dir.path());
    const auto& rows = reopened.segments.peek();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].id, segs[0].id);
    EXPECT_EQ(rows[0].text, "Hello " + segs[0].text);
    EXPECT_TRUE(rows[0].edited);
    EXPECT_EQ(rows[0].original, segs[0].text);
    EXPECT_EQ(rows[1], segs[1]);
    EXPECT_EQ(rows[2], segs[5]);
}

}  // namespace
