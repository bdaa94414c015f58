// Runs under Xvfb (see CMakeLists.txt): a real X server and real fonts.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>

#include "verbolin/ui/DocumentGeometry.hpp"
#include "verbolin/ui/LocaleTime.hpp"
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
        return LocaleTime::shortTime(b.segments.front().start, QLocale("en_US")).toStdString();
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

}  // namespace
