// Runs under Xvfb (see CMakeLists.txt): a real X server and real fonts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <cmath>

#include "verbolin/ui/ColorRole.hpp"
#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/LocaleTime.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineViewHarness.hpp"

using namespace verbolin;

namespace {

bool ink(const QImage& img, int x, int y) { return qGray(img.pixel(x, y)) < 225; }

TEST(TimelineScreenshot, GutterTimesSitOnTheirParagraphsFirstLines) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    std::vector<Segment> segs;
    std::unordered_map<platform::Uuid, std::string> sections;
    for (int session = 0; session < 3; ++session) {
        const double base = session * 20000.0;
        auto part = uitest::segments(67 - (session == 2), 8 + session * 40, base);
        for (size_t i = 0; i < part.size(); i += 9)
            part[i].text +=
                " It runs on for a while, long enough to wrap onto a second line of the timeline.";
        sections[part.front().id] = "Session " + std::to_string(session + 1);
        segs.insert(segs.end(), part.begin(), part.end());
    }
    auto blocks = uitest::blocks(segs);
    ASSERT_EQ(blocks->size(), 200u);

    uitest::TimelineHarness h(900, 700);
    TimelineInputs in = h.inputs(blocks, 26);
    in.label = [](const Block& b) {
        const UserCalendar calendar("en_US", "UTC");
        return LocaleTime::shortTime(b.segments.front().start, calendar).toStdString();
    };
    in.sectionStarts = sections;
    h.view.setInputs(in);
    h.settle();
    in.jump = {(*blocks)[66].id, 1};  // just above the second session
    h.view.setInputs(in);
    h.settle();

    const QImage shot = h.view.grab().toImage();
    const std::string path = std::string(VERBOLIN_BINARY_DIR) + "/timeline-screenshot.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(path)));

    const QImage column = h.edit().viewport()->grab().toImage();
    const double dpr = column.devicePixelRatio();
    ASSERT_EQ(dpr, 1.0);
    std::vector<bool> claimed(size_t(column.height()), false);
    int checked = 0;
    for (const ParagraphRange& r : h.view.ranges()) {
        auto line = DocumentGeometry::lineAt(h.doc(), r.location);
        const int top = int(line->rect.top() - h.view.scrollY()),
                  bottom = int(line->rect.bottom() - h.view.scrollY());
        if (top < 0 || bottom >= column.height()) continue;
        int lowest = -1;
        for (int y = top; y <= bottom; ++y)
            for (int x = 0; x < 70; ++x)
                if (ink(column, x, y)) {
                    lowest = y;
                    claimed[size_t(y)] = true;
                }
        ASSERT_GE(lowest, 0) << "no time beside paragraph " << r.id.toStdString();
        const double baseline = line->baseline - h.view.scrollY();
        EXPECT_NEAR(lowest, baseline, 2.0) << r.id.toStdString();  // digits sit on the baseline
        ++checked;
    }
    EXPECT_GE(checked, 8);
    for (int y = 0; y < column.height(); ++y)
        for (int x = 0; x < 70; ++x)
            if (ink(column, x, y)) {
                EXPECT_TRUE(claimed[size_t(y)]) << "stray time ink at y " << y;
            }
}

// Closer to the accent than to any grey: the bar, not a mark or the track.
bool accentTinted(QColor c) {
    int h, sat, v;
    c.getHsv(&h, &sat, &v);
    return sat >= 40 && h >= 180 && h <= 260;  // the accent's blue, however blended
}

TEST(TimelineScreenshot, ScrubberBarStaysVisibleOverTwentyThousandParagraphs) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: ctest runs this under xvfb-run";
    ASSERT_TRUE(accentTinted(colorFor(ColorRole::accent, QGuiApplication::palette())))
        << "the probe below assumes a blue accent";
    // Paragraphs 30 s apart: far more than there are pixel columns, so
    // their marks run together into one band.
    std::vector<Segment> segs;
    for (int i = 0; i < 20000; ++i) {
        const double t = i * 30.0;
        segs.push_back(
            uitest::segment(t, t + 6, "Paragraph " + std::to_string(i) + " of the year."));
    }
    auto blocks = uitest::blocks(segs);
    ASSERT_EQ(blocks->size(), 20000u);

    QtMainExecutor main;
    TimelinePaneInputs in;
    in.blocks = blocks;
    in.showsLive = true;
    TimelinePane pane(in, main);
    pane.resize(1000, 600);
    pane.show();
    auto settle = [] {
        for (int i = 0; i < 20; ++i) QApplication::processEvents();
    };
    settle();
    // The user jumps to a day in spring: the bar leaves the end of the track.
    const Block& target = (*blocks)[6000];
    pane.model().scrubberJumped(target.id);
    settle();
    ASSERT_FALSE(pane.model().atEnd());
    ASSERT_TRUE(pane.model().visibleFirst().has_value());
    pane.finishAnimations();
    settle();

    const QImage shot = pane.grab().toImage();
    ASSERT_TRUE(shot.save(
        QString::fromStdString(std::string(VERBOLIN_BINARY_DIR) + "/timeline-scrubber-20000.png")));
    const QImage strip = pane.scrubber().grab().toImage();
    ASSERT_EQ(strip.devicePixelRatio(), 1.0);
    const ScrubberGeometry g = pane.scrubber().geometryNow();
    ASSERT_LE(g.marks().size(), size_t(std::ceil(g.trackWidth())) + 1);  // one per column at most
    const auto bar = g.bar();
    ASSERT_TRUE(bar);
    ASSERT_GT(bar->x, 100);  // well inside the track, with marks on both sides
    ASSERT_LT(bar->x + bar->width, g.trackWidth() - 100);

    // Across the marks' rows, the bar's inside shows the accent, and the
    // marked track on either side of it does not.
    const int mid = int(TimelineScrubber::kTopPadding + TimelineScrubber::kStripHeight / 2);
    int inside = 0, tinted = 0, outsideTinted = 0, outside = 0;
    for (int y = mid - 2; y <= mid + 1; ++y) {
        for (int x = int(std::ceil(bar->x)) + 3; x < int(bar->x + bar->width) - 3; ++x, ++inside)
            tinted += accentTinted(strip.pixelColor(x, y));
        for (int x = 0; x < int(g.trackWidth()); ++x)
            if (x < bar->x - 2 || x > bar->x + bar->width + 2)
                ++outside, outsideTinted += accentTinted(strip.pixelColor(x, y));
    }
    ASSERT_GT(inside, 0);
    EXPECT_EQ(tinted, inside) << "the position bar is covered by paragraph marks";
    EXPECT_EQ(outsideTinted, 0);
    EXPECT_GT(outside, 0);
}

}  // namespace
