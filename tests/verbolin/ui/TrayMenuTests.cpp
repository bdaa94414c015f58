#include <gtest/gtest.h>

#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/TrayMenu.hpp"

using namespace apptest;

TEST(TrayMenu, BuiltWithoutShowingAndDispatchesThroughOneSlot) {
    TestEnvironment env;
    EngineWorld world;
    verbolin::AppModel model(world.appServices(env.home.path() / "store"));
    verbolin::Segment seg;
    seg.start = platform::Clock::system().now();
    seg.end = seg.start;
    seg.text = "line one\nline two";
    model.store().segments.set({seg});
    int quits = 0;
    verbolin::MemoryPasteboard pasteboard;
    verbolin::TrayMenu tray(model, {[&](const std::string& t) {
                                        pasteboard.clearAndSetString(QString::fromStdString(t));
                                    },
                                    [&] { ++quits; },
                                    {}});

    const auto actions = tray.menu()->actions();
    ASSERT_EQ(actions.size(), 14);
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence("Ctrl+Alt+Space"));
    EXPECT_TRUE(actions[3]->isChecked());
    EXPECT_FALSE(actions[12]->isEnabled());
    auto* recent = actions[7]->menu();
    ASSERT_NE(recent, nullptr);
    ASSERT_EQ(recent->actions().size(), 1);
    EXPECT_TRUE(recent->actions()[0]->text().endsWith("line one line two"));
    recent->actions()[0]->trigger();
    EXPECT_EQ(pasteboard.string(), "line one\nline two");

    QAction foreign("foreign");
    foreign.setProperty("verbolinAction", 13);  // not an action of this menu
    tray.dispatch(&foreign);
    tray.dispatch(nullptr);
    EXPECT_EQ(quits, 0);
    actions[13]->trigger();
    EXPECT_EQ(quits, 1);

    emit tray.menu()->aboutToShow();  // rebuilt on opening, not stale
    EXPECT_EQ(tray.menu()->actions().size(), 14);
    model.engine().stopAndWait();
}
