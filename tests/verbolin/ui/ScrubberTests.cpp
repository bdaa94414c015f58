// The time scrubber: its geometry, labels and clicks.
#include <gtest/gtest.h>

#include <QTest>
#include <cmath>

#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/LocaleTime.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"

namespace {

using uitest::block;
using verbolin::ScrubberGeometry;
using verbolin::ScrubberInputs;

ScrubberInputs inputs(std::vector<verbolin::Block> blocks, bool atEnd = false,
                      bool liveView = false) {
    ScrubberInputs in;
    in.blocks = std::make_shared<const std::vector<verbolin::Block>>(std::move(blocks));
    in.atEnd = atEnd;
    in.isLiveView = liveView;
    return in;
}

constexpr double kWidth = 110;  // a track of 100

TEST(ScrubberGeometryTest, SpanMarksAndBar) {
    auto one = inputs({block(0, 5, "short")});
    one.visibleFirst = one.visibleLast = one.blocks->front().id;
    ScrubberGeometry g(one, kWidth);
    EXPECT_EQ(g.trackWidth(), 100);
    EXPECT_EQ(platform::secondsBetween(g.span()->first, g.span()->second), 60);  // never shorter
    EXPECT_EQ(g.marks(), std::vector<double>{0});
    EXPECT_EQ(g.bar()->width, 10);  // 8.3 wide, drawn at the minimum

    auto two = inputs({block(0, 5, "a"), block(3600, 7200, "b")}, true);
    ScrubberGeometry g2(two, kWidth);
    EXPECT_EQ(g2.span()->second, uitest::at(7200));
    EXPECT_EQ(g2.marks(), (std::vector<double>{0, 50}));
    EXPECT_EQ(g2.bar()->x, 50);  // no visible ids at the end: the last paragraph
    EXPECT_EQ(g2.bar()->opacity, 0.5);
    two.isLiveView = true;
    EXPECT_EQ(ScrubberGeometry(two, kWidth).bar()->width, 100 + 4 - 50);  // into the dot
    two.atEnd = false;
    two.visibleFirst = platform::Uuid::random();
    EXPECT_FALSE(ScrubberGeometry(two, kWidth).bar());
}

TEST(ScrubberGeometryTest, ClicksJumpToTheNearestParagraph) {
    const auto in =
        inputs({block(0, 1, "a"), block(20, 21, "b"), block(40, 41, "c"), block(99, 100, "d")});
    const auto& b = *in.blocks;
    ScrubberGeometry g(in, kWidth);
    struct Case {
        double x;
        size_t expected;
    };
    for (const Case c : {Case{-50, 0}, Case{10, 0} /* midway: the earlier */, Case{10.1, 1},
                         Case{25, 1}, Case{60, 2}, Case{104, 3}})
        EXPECT_EQ(g.target(c.x), b[c.expected].id) << c.x;
    EXPECT_FALSE(ScrubberGeometry(inputs({}), kWidth).target(10));
}

TEST(ScrubberGeometryTest, NarrowerThanItsDotDrawsWhatFitsAndIgnoresClicks) {
    auto in = inputs({block(0, 1, "a"), block(20, 21, "b")}, true, true);
    for (double width : {0.0, 5.0, 10.0}) {
        ScrubberGeometry g(in, width);
        EXPECT_TRUE(!g.hasTrack() && g.marks().empty() && !g.bar() && !g.target(0)) << width;
        verbolin::TimelineScrubber strip;
        strip.resize(int(width), 30);
        strip.setInputs(in);
        (void)strip.grab();  // painting must cope too
    }
}

TEST(TimelineScrubberTest, LabelsAndClicks) {
    verbolin::TimelineScrubber strip;
    strip.resize(int(kWidth), 30);
    std::vector<platform::Uuid> jumps;
    auto in = inputs({}, true, true);
    in.onJump = [&](const platform::Uuid& id) { jumps.push_back(id); };
    strip.setInputs(in);
    EXPECT_EQ(strip.startLabel() + "|" + strip.endLabel(), "|live");
    QTest::mouseClick(&strip, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(jumps.empty());

    in.blocks = inputs({block(0, 1, "a"), block(100, 101, "b")}).blocks;
    in.isLiveView = false;
    strip.setInputs(in);
    EXPECT_FALSE(strip.startLabel().isEmpty());
    EXPECT_EQ(strip.endLabel(), verbolin::LocaleTime::shortTime(uitest::at(101)));
    QTest::mousePress(&strip, Qt::LeftButton, {}, QPoint(2, 5));
    QTest::mouseMove(&strip, QPoint(90, 5));
    QTest::mouseRelease(&strip, Qt::LeftButton, {}, QPoint(90, 5));
    EXPECT_EQ(jumps, (std::vector<platform::Uuid>{in.blocks->at(0).id, in.blocks->at(1).id}));
}

TEST(TimelineScrubberTest, DenseMarksReadAsOneEvenBandAndSparseOnesStayApart) {
    // Two paragraphs per pixel column for 40 columns, then three far apart.
    std::vector<verbolin::Block> blocks;
    for (int i = 0; i <= 80; ++i) blocks.push_back(block(i * 0.5, i * 0.5 + 0.2, "dense"));
    for (double t : {60.0, 75.0, 100.0}) blocks.push_back(block(t, t + 0.2, "sparse"));
    verbolin::TimelineScrubber strip;
    strip.resize(int(kWidth), 30);
    const ScrubberInputs in = inputs(blocks);
    strip.setInputs(in);
    const ScrubberGeometry g(in, kWidth);  // keeps a reference to `in`
    const QImage shot = strip.grab().toImage();
    const int row =
        int(verbolin::TimelineScrubber::kTopPadding + verbolin::TimelineScrubber::kStripHeight / 2);
    auto at = [&](double x) { return shot.pixel(int(x), row); };

    const QRgb bare = at(67);  // between two sparse marks: the track alone
    const std::vector<double> xs = g.marks();
    ASSERT_GE(xs.size(), 4u);
    const double denseEnd = xs[xs.size() - 4];
    const QRgb band = at(xs.front() + 1);
    EXPECT_NE(band, bare);
    for (int x = int(xs.front()) + 1; x < int(denseEnd); ++x) EXPECT_EQ(at(x), band) << x;
    for (size_t k = xs.size() - 3; k < xs.size(); ++k)
        EXPECT_NE(at(xs[k] + 0.75), bare) << xs[k];  // each sparse mark still shows
    EXPECT_EQ(at(xs[xs.size() - 3] + 4), bare);      // and nothing right after it
}

TEST(TimelineScrubberTest, AStripThatSawTheParagraphsChangeDrawsWhatAFreshOneDraws) {
    // The strip keeps its marks for one array and finds them anew, without
    // walking the paragraphs, for any other: what it draws is what a fresh
    // strip draws, and its marks are those of a walk over every paragraph.
    testsupport::TempDir dir;
    verbolin::TranscriptStore store(dir.path());
    std::vector<verbolin::Segment> segs;
    for (int i = 0; i < 400; ++i)  // bursts and pauses
        segs.push_back(uitest::segment(i * 7.0 + (i / 40) * 900.0, i * 7.0 + (i / 40) * 900.0 + 2,
                                       "said " + std::to_string(i)));
    store.segments.set(segs);
    double end = platform::secondsBetween(uitest::at(0), segs.back().end);
    auto append = [&](double pause) {
        const double start = end + pause;
        end = start + 2;
        store.append(uitest::segment(start, end, "more"));
    };
    auto searched = [&] {  // a copy: shares segments, records nothing
        std::vector<verbolin::Block> hits;
        for (const verbolin::Block& b : *store.allBlocks())
            if (b.text().find('3') != std::string::npos) hits.push_back(b);
        return std::make_shared<const std::vector<verbolin::Block>>(std::move(hits));
    };
    const std::function<std::shared_ptr<const std::vector<verbolin::Block>>()> steps[] = {
        [&] { return store.allBlocks(); },
        [&] { return append(1), store.allBlocks(); },
        [&] { return append(5000), store.allBlocks(); },
        [&] { return append(1), append(2), append(4000), store.allBlocks(); },
        [&] {
            store.deleteBlocks({(*store.allBlocks())[3]});  // earlier starts move
            return store.allBlocks();
        },
        [&] { return append(300), store.allBlocks(); },
        [&] { return searched(); },
        [&] { return append(3), searched(); },
        [&] { return store.allBlocks(); },
        [&] {
            store.replace(store.allBlocks()->front(), "the first, reworded");
            return append(60), store.allBlocks();
        },
        [&] {
            store.segments.mutate([](auto& list) { list.erase(list.begin(), list.begin() + 50); });
            return append(2), store.allBlocks();
        },
        // Keys in the newest paragraph, then in one in the middle: the span
        // stays, and the columns past what was taken over are found again.
        [&] { return store.replace(store.allBlocks()->back(), "typed a"), store.allBlocks(); },
        [&] { return store.replace(store.allBlocks()->back(), "typed ab"), store.allBlocks(); },
        [&] {
            const auto all = store.allBlocks();
            return store.replace((*all)[all->size() / 2], "halfway"), store.allBlocks();
        },
        [&] {
            const auto all = store.allBlocks();
            return store.deleteBlocks({(*all)[all->size() - 2]}), store.allBlocks();
        },
    };
    verbolin::TimelineScrubber seen;
    seen.resize(300, 30);
    for (size_t i = 0; i < std::size(steps); ++i) {
        ScrubberInputs in;
        in.blocks = steps[i]();
        in.isLiveView = true;
        seen.setInputs(in);
        verbolin::TimelineScrubber fresh;
        fresh.resize(300, 30);
        fresh.setInputs(in);
        EXPECT_EQ(seen.grab().toImage(), fresh.grab().toImage()) << "step " << i;
        const ScrubberGeometry g = seen.geometryNow();
        std::vector<double> walked;  // the first paragraph of each occupied pixel column
        for (const verbolin::Block& b : *in.blocks) {
            const double x = g.x(b.segments.front().start);
            if (walked.empty() || std::floor(walked.back()) != std::floor(x)) walked.push_back(x);
        }
        EXPECT_EQ(g.marks(), walked) << "step " << i;
    }
}

}  // namespace
