// The application shell's pieces offscreen: the editor window's switching and
// sizes, the tray item without a tray host, the icons, the quit path, the
// signal pipe and the single-instance socket.

#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <thread>

#include "support/ManualMainExecutor.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/ui/EditorWindow.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/QtWindowHost.hpp"
#include "verbolin/ui/QuitPath.hpp"
#include "verbolin/ui/QuitSignals.hpp"
#include "verbolin/ui/SingleInstance.hpp"
#include "verbolin/ui/SymbolIcon.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"
#include "verbolin/ui/TrayItem.hpp"

using namespace apptest;
using ModelState = verbolin::TranscriptionEngine::ModelState;

namespace {

class ShellTest : public ::testing::Test {
  protected:
    ShellTest() {
        model = std::make_unique<verbolin::AppModel>(world.appServices(env.home.path() / "store"));
    }
    ~ShellTest() override { model->engine().stopAndWait(); }

    TestEnvironment env;
    EngineWorld world;
    std::unique_ptr<verbolin::AppModel> model;
};

TEST_F(ShellTest, EditorSwitchesFromPlaceholderToTimelineAndKeepsItsSizes) {
    verbolin::MemoryPasteboard pasteboard;
    auto* window = new verbolin::EditorWindow(*model, world.main, pasteboard);
    QPointer<verbolin::EditorWindow> alive(window);
    window->show();
    EXPECT_EQ(window->size(), QSize(960, 600));
    EXPECT_GE(window->minimumSizeHint().width(), 520);
    EXPECT_GE(window->minimumSizeHint().height(), 320);
    EXPECT_EQ(model->mainWindow(), window->host());  // told on show

    model->engine().modelState.set(ModelState::loading("Preparing speech model\u2026"));
    window->refresh();
    EXPECT_TRUE(window->placeholder()->isVisible());
    EXPECT_EQ(window->placeholderText()->text(), "Preparing speech model\u2026");
    EXPECT_FALSE(window->searchAction()->isVisible());
    EXPECT_FALSE(window->listenButton()->isEnabled());

    verbolin::Segment s;
    s.start = platform::Clock::system().now();
    s.end = s.start;
    s.text = "first words";
    model->store().append(s);
    model->engine().modelState.set(ModelState::ready());
    window->refresh();
    ASSERT_NE(window->pane(), nullptr);
    EXPECT_TRUE(window->pane()->isVisible());
    EXPECT_FALSE(window->placeholder()->isVisible());
    EXPECT_TRUE(window->searchAction()->isVisible());
    EXPECT_TRUE(window->listenButton()->isEnabled());

    // Ctrl+Backspace in the timeline: with a caret it edits the text as
    // usual; with a selection it deletes the paragraphs it touches.
    auto* text = window->pane()->textView().textEdit();
    text->setFocus();
    QTextCursor caret(text->document());
    caret.setPosition(0);
    text->setTextCursor(caret);
    QTest::keyClick(text, Qt::Key_Backspace, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_EQ(model->store().segments.peek().size(), 1u);
    text->selectAll();
    world.main.runPending();  // the selection is reported on the next turn
    ASSERT_TRUE(window->editor().hasSelection());
    QTest::keyClick(text, Qt::Key_Backspace, Qt::ControlModifier);
    EXPECT_TRUE(model->store().segments.peek().empty());

    // A new scope gets a new pane.
    QPointer<verbolin::TimelinePane> before = window->pane();
    window->newSession();
    EXPECT_TRUE(before.isNull());
    EXPECT_NE(window->pane(), nullptr);
    EXPECT_TRUE(window->searchField()->text().isEmpty());

    // Closing deletes the window, and the model no longer sees one.
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
    EXPECT_EQ(model->mainWindow(), nullptr);
}

TEST_F(ShellTest, TrayWithoutAHostKeepsItsMenuAndFollowsTheEngine) {
    ASSERT_FALSE(verbolin::TrayItem::hostAvailable());  // offscreen has no tray
    verbolin::TrayItem tray(*model, {});
    EXPECT_FALSE(tray.available());
    EXPECT_FALSE(tray.icon().isVisible());
    EXPECT_EQ(tray.icon().toolTip(),
              QString::fromUtf8("Verbolin \u2014 Ctrl+Alt+Space shows the window from anywhere"));
    EXPECT_EQ(tray.menu().menu()->actions().size(), 14);

    struct Case {
        ModelState state;
        bool recording;
        const char* symbol;
    } cases[] = {{ModelState::loading("x"), false, "ellipsis.circle"},
                 {ModelState::failed("x"), false, "exclamationmark.triangle"},
                 {ModelState::idle(), false, "mic"},
                 {ModelState::ready(), true, "waveform"},
                 {ModelState::ready(), false, "mic.slash"}};
    for (const auto& c : cases) {
        model->engine().modelState.set(c.state);
        model->engine().isRecording.set(c.recording);
        QCoreApplication::processEvents();  // the icon follows on the next turn
        EXPECT_EQ(tray.symbol(), c.symbol);
        EXPECT_FALSE(tray.icon().icon().isNull()) << c.symbol;
    }
}

TEST(SymbolIcon, EverySymbolDrawsSomethingWithoutATheme) {
    for (const char* symbol :
         {"mic", "mic.slash", "waveform", "ellipsis.circle", "exclamationmark.triangle",
          "pause.circle.fill", "mic.circle.fill", "pin", "pin.fill", "textformat.size.smaller",
          "textformat.size.larger", "no.such.symbol"}) {
        const QImage image = verbolin::SymbolIcon::drawn(symbol).pixmap(32, 32).toImage();
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 20) << symbol;
        EXPECT_FALSE(verbolin::SymbolIcon::icon(symbol).isNull()) << symbol;
    }
}

TEST(QuitPath, WithdrawsAtOnceStopsOnceAndEndsAfterTheLastTexts) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    std::vector<std::string> steps;
    verbolin::QuitPath quit(main, {[&] { steps.push_back("withdraw"); },
                                   [&] {
                                       steps.push_back("stop");
                                       // The last utterance's text, posted while stopping.
                                       main.post([&] { steps.push_back("final stored"); });
                                   },
                                   [&] { steps.push_back("finish"); },
                                   {}});
    quit.request();
    EXPECT_EQ(steps, std::vector<std::string>{"withdraw"});  // nothing waits in the request
    quit.request();                                          // a second source while quitting
    main.runPending();
    EXPECT_EQ(steps.size(), 1u);  // the windows get their moment to go first
    main.advance(verbolin::QuitPath::kWithdrawDelay);
    while (main.runPending() > 0) {
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"withdraw", "stop", "final stored", "finish"}));
    quit.stopEngineIfNeeded();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "stop"), 1);
}

TEST(QuitPath, ALoopEndedElsewhereStillStopsTheEngine) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    int stops = 0;
    verbolin::QuitPath quit(main, {{}, [&] { ++stops; }, {}, {}});
    quit.stopEngineIfNeeded();
    quit.stopEngineIfNeeded();
    EXPECT_EQ(stops, 1);
}

// An application model on the real event loop, listening, whose one
// utterance is being decoded as its final: the decode is held until the
// test releases or cancels it.
struct HeldLastDecode {
    TestEnvironment env;
    EngineWorld world;
    verbolin::QtMainExecutor main;
    std::unique_ptr<verbolin::AppModel> model;
    std::shared_ptr<FakeSpeechEngine> recogniser;

    verbolin::TranscriptionEngine& engine() { return model->engine(); }

    static bool pumpUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }

    void start() {
        installStandardPack(env.dataPath());
        verbolin::AppModel::Services s;
        s.main = &main;
        s.defaults = &world.defaults;
        s.storeDirectory = env.home.path() / "store";
        s.engine = world.services();
        s.engine.main = &main;
        model = std::make_unique<verbolin::AppModel>(std::move(s));
        engine().livePreview.set(false);
        ASSERT_TRUE(pumpUntil([&] {
            return engine().modelState.peek().kind == ModelState::Kind::ready &&
                   !world.made().empty();
        }));
        if (!engine().isRecording.peek()) engine().start();
        ASSERT_TRUE(pumpUntil([&] { return world.backend->runningCount() == 1; }));
        recogniser = world.made().back();
        recogniser->script(FakeSpeechEngine::Reply::held("last words"));
        world.speakOneUtterance(1.0);
        ASSERT_TRUE(recogniser->waitForCalls(1));
    }
};

// The quit path on the real event loop: while the last utterance decodes,
// the loop goes on (here a timer releases the held decode, which it could
// not do if quitting held the loop), and the loop ends only once the
// utterance's text is in the store.
TEST(QuitPath, TheLoopRunsOnWhileTheLastDecodeFinishesAndEndsAfterItIsStored) {
    HeldLastDecode scene;
    ASSERT_NO_FATAL_FAILURE(scene.start());
    auto& engine = scene.engine();
    auto& model = *scene.model;
    auto& world = scene.world;
    auto& recogniser = scene.recogniser;
    auto& main = scene.main;

    QEventLoop loop;
    std::vector<std::string> steps;
    bool storedAtFinish = false;
    verbolin::QuitPath quit(main, {[&] { steps.push_back("withdraw"); },
                                   [&] {
                                       steps.push_back("blocking stop");
                                       engine.stopAndWait();
                                   },
                                   [&] {
                                       steps.push_back("finish");
                                       const auto& segments = model.store().segments.peek();
                                       storedAtFinish = !segments.empty() &&
                                                        segments.back().text == "last words";
                                       loop.quit();
                                   },
                                   [&](std::function<void()> stopped) {
                                       steps.push_back("stop");
                                       engine.stopThen(std::move(stopped));
                                   }});
    // Past the withdraw delay, with the stop under way and the decode held.
    QTimer::singleShot(300, [&] {
        steps.push_back("timer");
        recogniser->release();
    });
    // Only a failure gets this far: the drain limit has long passed.
    QTimer::singleShot(30000, [&] { loop.quit(); });
    quit.request();
    loop.exec();

    EXPECT_EQ(steps, (std::vector<std::string>{"withdraw", "stop", "timer", "finish"}));
    EXPECT_TRUE(storedAtFinish);
    EXPECT_TRUE(quit.engineStopped());
    EXPECT_FALSE(engine.isRecording.peek());
    EXPECT_EQ(world.backend->runningCount(), 0);
    EXPECT_EQ(recogniser->cancelledCount(), 0);
    quit.stopEngineIfNeeded();  // the loop's end: nothing is left to stop
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "blocking stop"), 0);
}

// Asked again while quitting (a second Ctrl+C), the path cuts the stop under
// way short and ends the loop once, whenever the second request comes.
TEST(QuitPath, AskedAgainItStopsAtOnceAndEndsOnce) {
    struct Case {
        const char* name;
        bool pastWithdrawDelay;  // the non-blocking stop has begun
    };
    for (const Case c : {Case{"before the stop begins", false}, Case{"during the stop", true}}) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        std::vector<std::string> steps;
        verbolin::QuitPath quit(
            main, {[&] { steps.push_back("withdraw"); }, [&] { steps.push_back("blocking stop"); },
                   [&] { steps.push_back("finish"); },
                   [&](std::function<void()>) { steps.push_back("stop"); },
                   [&] { steps.push_back("stop now"); }});
        quit.stopNow();  // the first request only starts quitting
        EXPECT_EQ(steps, std::vector<std::string>{"withdraw"});
        if (c.pastWithdrawDelay) {
            main.advance(verbolin::QuitPath::kWithdrawDelay);
            main.runPending();
        }
        quit.stopNow();
        quit.stopNow();
        main.advance(verbolin::QuitPath::kWithdrawDelay);
        while (main.runPending() > 0) {
        }
        std::vector<std::string> expected{"withdraw"};
        if (c.pastWithdrawDelay) expected.push_back("stop");
        expected.insert(expected.end(), {"stop now", "finish"});
        EXPECT_EQ(steps, expected);
        EXPECT_TRUE(quit.engineStopped());
        quit.stopEngineIfNeeded();
        EXPECT_EQ(steps, expected);
    }
}

// The second request on the real event loop, with a decode that would hold
// the stop until its bound: the loop ends at once, the decode is given up
// and its audio is kept in the store's folder.
TEST(QuitPath, AskedAgainItKeepsTheAudioOfTheDecodeItGivesUp) {
    HeldLastDecode scene;
    ASSERT_NO_FATAL_FAILURE(scene.start());
    auto& engine = scene.engine();
    auto& model = *scene.model;
    auto& world = scene.world;
    auto& recogniser = scene.recogniser;
    auto& main = scene.main;

    QEventLoop loop;
    bool finished = false, waited = false;
    engine.onDrainWaits = [&] { waited = true; };
    verbolin::QuitPath quit(
        main, {{},
               [&] { engine.stopAndWait(); },
               [&] {
                   finished = true;
                   loop.quit();
               },
               [&](std::function<void()> stopped) { engine.stopThen(std::move(stopped)); },
               [&] { engine.stopAndWait(std::chrono::milliseconds(0)); }});
    // The stop has begun and waits for the held decode when asked again.
    QTimer::singleShot(300, [&] {
        EXPECT_TRUE(waited);
        EXPECT_FALSE(finished);
        quit.stopNow();
    });
    // Only a failure gets this far: the drain's bound has passed.
    QTimer::singleShot(int(verbolin::TranscriptionEngine::kDrainLimit.count()) + 5000,
                       [&] { loop.quit(); });
    const auto asked = std::chrono::steady_clock::now();
    quit.request();
    loop.exec();

    EXPECT_TRUE(finished);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, verbolin::TranscriptionEngine::kDrainLimit);
    EXPECT_EQ(recogniser->cancelledCount(), 1);
    EXPECT_TRUE(model.store().segments.peek().empty());
    const auto kept = model.store().directory() / "Untranscribed audio";
    ASSERT_TRUE(std::filesystem::is_directory(kept));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(kept),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_FALSE(engine.isRecording.peek());
    EXPECT_EQ(world.backend->runningCount(), 0);
}

TEST(QuitSignals, SigtermAndSigintArriveOnTheMainLoop) {
    std::vector<int> received;
    {
        verbolin::QuitSignals quitSignals([&](int s) { received.push_back(s); });
        ASSERT_TRUE(quitSignals.installed());
        ::raise(SIGTERM);
        ::raise(SIGINT);
        EXPECT_TRUE(received.empty());  // not from inside the handler
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), size_t(2), 2000);
    }
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);  // handed back
}

// A closed terminal quits as SIGTERM does, unless the process was started
// with hang-ups ignored (nohup).
TEST(QuitSignals, AHangUpQuitsUnlessItWasIgnored) {
    struct Case {
        const char* name;
        bool ignored;
    };
    for (const Case c : {Case{"default", false}, Case{"nohup", true}}) {
        SCOPED_TRACE(c.name);
        struct sigaction start {
        }, before{}, now{};
        start.sa_handler = c.ignored ? SIG_IGN : SIG_DFL;
        sigemptyset(&start.sa_mask);
        ::sigaction(SIGHUP, &start, &before);
        std::vector<int> received;
        {
            verbolin::QuitSignals quitSignals([&](int s) { received.push_back(s); });
            ASSERT_TRUE(quitSignals.installed());
            ::raise(SIGHUP);
            ::raise(SIGTERM);
            QTRY_COMPARE_WITH_TIMEOUT(received.empty(), false, 2000);
            QTRY_COMPARE_WITH_TIMEOUT(received.back(), SIGTERM, 2000);
        }
        EXPECT_EQ(received,
                  c.ignored ? std::vector<int>{SIGTERM} : (std::vector<int>{SIGHUP, SIGTERM}));
        ::sigaction(SIGHUP, nullptr, &now);
        EXPECT_EQ(now.sa_handler, start.sa_handler);  // handed back
        ::sigaction(SIGHUP, &before, nullptr);
    }
}

TEST(SingleInstance, ASecondLaunchReachesTheFirst) {
    TestEnvironment env;
    const QString name = verbolin::SingleInstance::serverName(env.home.path() / "data");
    EXPECT_NE(name, verbolin::SingleInstance::serverName(env.home.path() / "other"));
    EXPECT_FALSE(verbolin::SingleInstance::askRunningToShow(name));

    int shows = 0;
    verbolin::SingleInstance first(name, [&] { ++shows; });
    ASSERT_TRUE(first.listening());
    std::atomic<int> answered{-1};
    std::thread second([&] { answered = verbolin::SingleInstance::askRunningToShow(name); });
    QTRY_VERIFY_WITH_TIMEOUT(answered != -1, 5000);
    second.join();
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(shows, 1);
}

}  // namespace
