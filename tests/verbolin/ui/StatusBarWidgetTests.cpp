#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/StatusBarWidget.hpp"

using namespace apptest;

TEST(StatusBarWidget, LongFailureStaysOnOneLineWithRetryVisible) {
    EngineWorld world;
    TranscriptionEngine engine(world.services());
    verbolin::StatusBarWidget bar(engine);
    bar.resize(420, 40);
    bar.show();
    const std::string message(400, 'x');
    engine.modelState.set(ModelState::failed(message + " end"));
    QCoreApplication::processEvents();  // the refresh runs on the next turn

    const auto shown = bar.message()->text();
    EXPECT_FALSE(shown.contains('\n'));
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("end")) << shown.toStdString();  // shortened in the middle
    EXPECT_TRUE(bar.retryButton()->isVisible());
    EXPECT_TRUE(bar.rect().contains(bar.retryButton()->geometry()));
    EXPECT_EQ(bar.message()->toolTip().size(), int(message.size() + 4));

    engine.modelState.set(ModelState::ready());
    QCoreApplication::processEvents();
    EXPECT_FALSE(bar.retryButton()->isVisible());
    EXPECT_EQ(bar.message()->text(), "Paused");
    engine.stopAndWait();
}
