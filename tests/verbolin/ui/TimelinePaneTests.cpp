// The timeline pane: live paragraph, visible range, jump-to-live, copies,
// edits, and the whole pane fed by a listening session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "support/ManualMainExecutor.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/ui/LevelMeter.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineTestSupport.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

using namespace verbolin;
using namespace std::chrono_literals;

namespace {

struct PaneWorld {
    testsupport::TempDir tmp;
    platform::VirtualClock clock;
    TranscriptStore store{tmp.path()};
    MemoryPasteboard pasteboard;
    std::vector<Block> copied;
    int changes = 0;
    std::unique_ptr<TimelinePaneModel> model;

    explicit PaneWorld(bool showsLive = true, std::vector<Block> blocks = {},
                       std::shared_ptr<DebugRecorder> recorder = nullptr) {
        TimelinePaneInputs in;
        in.store = &store;
        in.blocks = std::make_shared<const std::vector<Block>>(std::move(blocks));
        in.showsLive = showsLive;
        in.onCopyBlock = [this](const Block& b) { copied.push_back(b); };
        model = std::make_unique<TimelinePaneModel>(
            in, TimelinePaneServices{&clock, &pasteboard, recorder}, [this] { ++changes; });
    }
    std::vector<std::string> shownTexts() {
        std::vector<std::string> out;
        const TimelineInputs shown = model->textViewInputs();
        for (const Block& b : shown.paragraphs()) out.push_back(b.text());
        return out;
    }
};

TEST(TimelinePaneModelTest, LiveParagraphShowsPreviewOnlyWhileSpeakingInALiveView) {
    struct Case {
        bool showsLive, speaking;
        const char* preview;
        std::vector<std::string> shown;
        bool scrubberLive;
    };
    const Case cases[] = {
        {true, true, "", {"old", "\u2026"}, true},
        {true, true, "hello wor", {"old", "hello wor"}, true},
        {true, false, "stale", {"old"}, false},
        {false, true, "hello", {"old"}, false},
    };
    for (const Case& c : cases) {
        PaneWorld w(c.showsLive, {uitest::block(0, 1, "old")});
        w.store.isSpeaking.set(c.speaking);
        w.store.preview.set(c.preview);
        EXPECT_EQ(w.shownTexts(), c.shown) << c.preview;
        EXPECT_EQ(w.model->scrubberInputs().live, c.scrubberLive);
        EXPECT_EQ(w.model->scrubberInputs().blocks->size(), 1u);
        EXPECT_EQ(w.model->buttonTitle(), c.showsLive ? "Live" : "End");
    }
}

TEST(TimelinePaneModelTest, LiveIdInAVisibleReportBecomesTheLastRealParagraph) {
    const auto live = TimelinePaneModel::liveID();
    PaneWorld empty;
    empty.store.isSpeaking.set(true);
    EXPECT_EQ(empty.shownTexts(), std::vector<std::string>{"\u2026"});
    empty.model->visibleChanged(live, live, true);
    EXPECT_EQ(empty.model->visibleFirst(), std::nullopt);
    EXPECT_EQ(empty.model->visibleLast(), std::nullopt);

    const Block a = uitest::block(0, 1, "a");
    PaneWorld one(true, {a});
    one.model->visibleChanged(a.id, live, false);
    EXPECT_EQ(one.model->visibleLast(), a.id);
    EXPECT_TRUE(one.model->buttonShown());
}

TEST(TimelinePaneModelTest, JumpToLiveFollowsIdleSelectionAndEnd) {
    struct Case {
        const char* name;
        bool showsLive, atEnd;
        int selected;  // selection length
        double idle;   // seconds since the last interaction; < 0: none recorded
        bool jumps;
    };
    const Case cases[] = {
        {"never touched", true, false, 0, -1, true},
        {"idle 30.0 s", true, false, 0, 30.0, true},
        {"idle 29.9 s", true, false, 0, 29.9, false},
        {"selection", true, false, 3, -1, false},
        {"caret only", true, false, 0, -1, true},
        {"at the end", true, true, 0, -1, false},
        {"not a live view", false, false, 0, -1, false},
    };
    for (const Case& c : cases) {
        PaneWorld w(c.showsLive, {uitest::block(0, 1, "a")});
        w.model->visibleChanged(std::nullopt, std::nullopt, c.atEnd);
        w.model->selectionChanged({2, c.selected}, {});
        if (c.idle >= 0) {
            w.model->userInteracted();
            w.clock.advance(std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::duration<double>(c.idle)));
        }
        const long before = w.model->jump().token;
        w.store.isSpeaking.set(true);
        EXPECT_EQ(w.model->jump().token, before + (c.jumps ? 1 : 0)) << c.name;
        EXPECT_EQ(w.model->jump().id, std::nullopt) << c.name;
        w.store.isSpeaking.set(false);  // speech ending never jumps
        EXPECT_EQ(w.model->jump().token, before + (c.jumps ? 1 : 0)) << c.name;
    }
}

TEST(TimelinePaneModelTest, ButtonAndScrubberIssueFreshTokens) {
    const Block a = uitest::block(0, 1, "a");
    PaneWorld w(true, {a});
    w.model->buttonPressed();
    w.model->buttonPressed();
    EXPECT_EQ(w.model->jump().token, 2);
    w.model->scrubberInputs().onJump(a.id);
    EXPECT_EQ(w.model->textViewInputs().jump.id, a.id);
    w.model->visibleChanged(std::nullopt, std::nullopt, false);
    w.clock.advance(29s);
    w.store.isSpeaking.set(true);
    EXPECT_EQ(w.model->jump().token, 3);  // not idle since the scrubber
}

TEST(TimelinePaneModelTest, CopiesOnlyKnownParagraphsAndForwardsEdits) {
    Segment s1 = uitest::segment(0, 1, "first part"), s2 = uitest::segment(1.5, 2, "second");
    const Block a{s1.id, {s1, s2}};
    PaneWorld w(true, {a});
    w.store.append(s1);
    w.store.append(s2);
    w.model->copyBlock(TimelinePaneModel::liveID());
    w.model->copyBlock(platform::Uuid::random());
    EXPECT_EQ(w.pasteboard.writes(), 0);
    EXPECT_TRUE(w.copied.empty());
    w.model->textViewInputs().onCopyBlock(a.id);
    EXPECT_EQ(w.pasteboard.string(), "first part second");
    ASSERT_EQ(w.copied.size(), 1u);
    EXPECT_EQ(w.copied[0], a);

    // A report that arrives after the pane is gone is dropped.
    const TimelineInputs stale = w.model->textViewInputs();
    const ScrubberInputs staleScrubber = w.model->scrubberInputs();
    w.model->textViewInputs().onEdit(a, a.text(), "rewritten", std::nullopt);
    const int changes = w.changes;
    w.model.reset();
    stale.onCopyBlock(a.id);
    stale.onVisible(a.id, a.id, false);
    staleScrubber.onJump(a.id);
    EXPECT_EQ(w.pasteboard.writes(), 1);
    EXPECT_EQ(w.changes, changes);
    ASSERT_EQ(w.store.segments.peek().size(), 1u);
    EXPECT_EQ(w.store.segments.peek()[0].text, "rewritten");
}

TEST(TimelinePaneModelTest, VisibleReportsAreRecorded) {
    testsupport::TempDir dir;
    platform::VirtualClock clock;
    auto recorder = std::make_shared<DebugRecorder>(dir.path(), clock);
    recorder->beginSession();
    const Block a = uitest::block(0, 1, "a");
    PaneWorld w(true, {a}, recorder);
    w.model->visibleChanged(a.id, TimelinePaneModel::liveID(), true);
    w.model->visibleChanged(std::nullopt, std::nullopt, false);
    recorder->flush();
    const std::string log = testsupport::readFile(dir.path() / "events.log");
    const std::string head = a.id.string().substr(0, 4);
    EXPECT_NE(log.find("\tvisible\tfirst=" + head + " last=" + head + " atEnd=true\n"),
              std::string::npos);
    EXPECT_NE(log.find("\tvisible\tfirst=nil last=nil atEnd=false\n"), std::string::npos);
}

// Microphone frames through the real listening session and a scripted
// recogniser into the store, which the pane shows as the editor would.
TEST(TimelinePaneTest, FollowsALiveSession) {
    apptest::TestEnvironment env;
    apptest::EngineWorld world;
    apptest::installStandardPack(env.dataPath());
    AppModel app(world.appServices(env.home.path() / "store"));
    auto window = std::make_shared<apptest::FakeWindow>();
    app.setMainWindow(window);  // a visible editor wants previews
    TranscriptStore& store = app.store();
    for (const Segment& s : uitest::segments(40, 10, -100000)) store.append(s);

    MemoryPasteboard pasteboard;
    auto inputs = [&] {
        TimelinePaneInputs in;
        in.store = &store;
        in.blocks = store.allBlocks();
        in.fontSize = 20;
        in.showsLive = true;
        return in;
    };
    TimelinePane pane(inputs(), world.main, {&world.clock, &pasteboard, nullptr});
    auto follow = store.segments.observe([&] { pane.setInputs(inputs()); });
    LevelMeter meter;  // as the status bar feeds it
    meter.resize(100, 8), meter.setActive(true);
    auto level = store.level.observe([&] { meter.setLevel(store.level.peek()); });
    pane.resize(500, 300);
    pane.show();
    auto pumpUntil = [&](const std::function<bool()>& done) {
        for (auto limit = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < limit;) {
            QApplication::processEvents();
            world.main.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    };
    auto shown = [&] {
        const TimelineBlocks p = pane.textView().inputs().paragraphs();
        return std::vector<Block>(p.begin(), p.end());
    };
    ASSERT_TRUE(world.waitForMicrophone());
    ASSERT_TRUE(
        pumpUntil([&] { return pane.model().atEnd() && pane.model().visibleLast().has_value(); }));

    // The user scrolls up and is reading.
    pane.textView().scrollTo(0);
    pane.model().userInteracted();
    ASSERT_TRUE(pumpUntil([&] { return !pane.model().atEnd(); }));
    pane.finishAnimations();
    EXPECT_TRUE(pane.button().isVisible());
    EXPECT_EQ(pane.button().text(), "Live");

    world.deliverSilence(5);
    world.deliverSpeech(20);
    ASSERT_TRUE(pumpUntil([&] { return !store.preview.peek().empty(); }));
    ASSERT_TRUE(pumpUntil([&] { return shown().back().id == TimelinePaneModel::liveID(); }));
    EXPECT_EQ(shown().back().text(), store.preview.peek());
    EXPECT_TRUE(pane.scrubber().inputs().live);
    meter.finishAnimation();
    EXPECT_GT(meter.grab().toImage().pixelColor(2, 4).green(), 150);  // speech is loud
    EXPECT_EQ(pane.model().jump().token, 0);                          // read recently: no jump

    world.deliverSilence(12);
    ASSERT_TRUE(
        pumpUntil([&] { return store.segments.peek().size() == 41 && !store.isSpeaking.peek(); }));
    ASSERT_TRUE(pumpUntil([&] { return shown().size() == 41; }));
    EXPECT_EQ(shown().back().text(), world.reply);
    EXPECT_NE(shown().back().id, TimelinePaneModel::liveID());
    EXPECT_FALSE(pane.model().atEnd());

    // Idle for 30 s: the next utterance brings the view back to the end.
    world.clock.advance(30s);
    world.deliverSilence(5);
    world.deliverSpeech(20);
    ASSERT_TRUE(pumpUntil([&] { return pane.model().jump().token == 1 && pane.model().atEnd(); }));
    EXPECT_TRUE(pane.textView().atBottom());
    pane.finishAnimations();
    EXPECT_FALSE(pane.button().isVisible());
    world.deliverSilence(12);
    ASSERT_TRUE(pumpUntil([&] { return store.segments.peek().size() == 42; }));
    app.engine().stopAndWait();
}

}  // namespace
