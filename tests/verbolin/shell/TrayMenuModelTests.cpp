#include <gtest/gtest.h>

#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/TrayMenuModel.hpp"

using namespace apptest;
using verbolin::AppModel;
using verbolin::Defaults;
using verbolin::Segment;
using verbolin::TrayMenuModel;
using Entry = TrayMenuModel::Entry;

namespace {

platform::Date at(double s) { return platform::dateFromSecondsSince1970(s); }

Segment seg(double start, std::string text) {
    Segment s;
    s.start = at(start);
    s.end = at(start + 1);
    s.text = std::move(text);
    return s;
}

class TrayMenuModelTest : public ::testing::Test {
  protected:
    TrayMenuModelTest() {
        model = std::make_unique<AppModel>(world.appServices(env.home.path() / "store"));
        services.copy = [this](const std::string& t) { copied.push_back(t); };
        services.inputDevices = [this] { return devices; };
    }
    ~TrayMenuModelTest() override { model->engine().stopAndWait(); }

    std::vector<Entry> menu() { return TrayMenuModel::build(*model, services); }
    void choose(const Entry& e) {
        if (e.action) e.action(*model);
    }
    // Paragraphs of one segment each, ten minutes apart, ending now.
    void paragraphs(int count) {
        std::vector<Segment> segs;
        const double now = platform::secondsSince1970(platform::Clock::system().now());
        for (int i = 0; i < count; ++i)
            segs.push_back(seg(now - 600.0 * (count - i), "p" + std::to_string(i)));
        model->store().segments.set(segs);
    }

    TestEnvironment env;
    EngineWorld world;
    std::unique_ptr<AppModel> model;
    TrayMenuModel::Services services;
    std::vector<verbolin::AudioCapture::Device> devices;
    std::vector<std::string> copied;
};

}  // namespace

TEST_F(TrayMenuModelTest, ItemsInOrderWithShortcutsAndCheckmarks) {
    world.defaults.setBool(Defaults::kAlwaysOnTop, true);
    model->engine().livePreview.set(false);
    auto m = menu();
    std::vector<std::string> titles, shortcuts;
    std::vector<int> checks;
    for (const auto& e : m) {
        titles.push_back(e.separator ? "-" : e.title);
        shortcuts.push_back(e.shortcut);
        checks.push_back(e.checked ? int(*e.checked) : -1);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{
                          "Open Verbolin", "New Session", "-", "Listen in Background",
                          "Always on Top", "Live Preview", "-", "Recent (click to copy)",
                          "Copy Today", "-", "Microphone", "-", m[12].title, "Quit Verbolin"}));
    EXPECT_EQ(shortcuts[0], "Ctrl+Alt+Space");
    EXPECT_EQ(shortcuts[1], "Ctrl+N");
    EXPECT_EQ(shortcuts[13], "Ctrl+Q");
    EXPECT_EQ(checks, (std::vector<int>{-1, -1, -1, 1, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1}));
    EXPECT_FALSE(m[12].enabled);
    EXPECT_FALSE(m[7].action);
}

TEST_F(TrayMenuModelTest, EmptyTranscriptOffersNothingToCopy) {
    auto m = menu();
    ASSERT_EQ(m[7].submenu.size(), 1u);
    EXPECT_EQ(m[7].submenu[0].title, "Nothing yet");
    EXPECT_FALSE(m[7].submenu[0].enabled);
    choose(m[8]);
    EXPECT_TRUE(copied.empty());
}

TEST_F(TrayMenuModelTest, RecentListsTheNewestEightAndCopiesInFull) {
    paragraphs(10);
    auto recent = menu()[7].submenu;
    ASSERT_EQ(recent.size(), 8u);
    EXPECT_TRUE(recent.front().title.ends_with("  p9"));
    EXPECT_TRUE(recent.back().title.ends_with("  p2"));
    choose(recent[1]);
    EXPECT_EQ(copied, std::vector<std::string>{"p8"});
}

TEST_F(TrayMenuModelTest, RecentTitlesCutAtCharactersNotBytes) {
    const verbolin::UserCalendar cal("en_US", "UTC");
    const std::string e48(48, 'e'), u48 = [] {
        std::string s;
        for (int i = 0; i < 48; ++i) s += "é";
        return s;
    }();
    struct Case {
        std::string text, shown;
    } cases[] = {
        {e48, e48},
        {e48 + "x", e48 + "…"},
        {u48, u48},
        {u48 + "é", u48 + "…"},
        {"two\nlines", "two lines"},
    };
    for (const auto& c : cases) {
        verbolin::Block b{platform::Uuid::random(), {seg(1714555260, c.text)}};
        EXPECT_EQ(TrayMenuModel::recentTitle(b, cal),
                  cal.shortTime(b.segments[0].start) + "  " + c.shown);
    }
}

TEST_F(TrayMenuModelTest, CopyTodayTakesTheNewestDayWithWords) {
    // Noon of the day before in the user's calendar, so that the minute the
    // paragraphs span never crosses a midnight, whenever the test runs.
    const auto& cal = model->store().calendar();
    const double noon =
        platform::secondsSince1970(cal.addingDays(cal.startOfDay(cal.now()), -1)) + 12 * 3600;
    model->store().segments.set({seg(noon - 2 * 86400, "old"), seg(noon, "one"),
                                 seg(noon + 2, "two"), seg(noon + 60, "three")});
    choose(menu()[8]);
    EXPECT_EQ(copied, std::vector<std::string>{"one two\n\nthree"});
}

TEST_F(TrayMenuModelTest, MicrophoneCheckmarksFollowTheStoredName) {
    devices = {{1, "USB Mic"}, {2, "Headset"}};
    auto checks = [&] {
        std::vector<bool> c;
        const auto entries = menu();
        for (const auto& e : entries[10].submenu) c.push_back(e.checked.value_or(false));
        return c;
    };
    EXPECT_EQ(checks(), (std::vector<bool>{true, false, false}));
    choose(menu()[10].submenu[2]);
    EXPECT_EQ(world.defaults.string(Defaults::kInputDevice), "Headset");
    EXPECT_EQ(checks(), (std::vector<bool>{false, false, true}));
    world.defaults.setString(Defaults::kInputDevice, "Unplugged");
    EXPECT_EQ(checks(), (std::vector<bool>{false, false, false}));
    services.inputDevices = []() -> std::vector<verbolin::AudioCapture::Device> {
        throw std::runtime_error("no server");
    };
    EXPECT_EQ(checks(), (std::vector<bool>{false}));
}

TEST_F(TrayMenuModelTest, TogglesWriteTheNegatedSetting) {
    auto m = menu();
    choose(m[3]);  // absent counts as on
    EXPECT_EQ(world.defaults.boolean(Defaults::kAlwaysListen), false);
    choose(m[4]);  // without a window only the setting changes
    EXPECT_EQ(world.defaults.boolean(Defaults::kAlwaysOnTop), true);
    choose(m[5]);
    EXPECT_FALSE(model->engine().livePreview.get());
}

TEST(TrayMenuModel, IconAndStatusFollowTheEngine) {
    using S = TranscriptionEngine::ModelState;
    struct Case {
        S state;
        bool recording;
        std::string icon, status;
    } cases[] = {
        {S::loading("Loading 10%"), true, "ellipsis.circle", "Loading 10%"},
        {S::failed("gone"), false, "exclamationmark.triangle", "Error: gone"},
        {S::idle(), true, "mic", "Idle"},
        {S::ready(), true, "waveform", "Listening"},
        {S::ready(), false, "mic.slash", "Paused"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TrayMenuModel::iconName(c.state, c.recording), c.icon);
        EXPECT_EQ(TrayMenuModel::statusLine(c.state, c.recording), c.status);
    }
}
