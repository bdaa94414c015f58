#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "AppTestSupport.hpp"
#include "support/SmallDisk.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/listening/UndecodedAudio.hpp"
#include "verbolin/storage/StorageTestSupport.hpp"

using namespace apptest;
using verbolin::AppModel;
using verbolin::Defaults;

namespace {

class AppModelTest : public ::testing::Test {
  protected:
    // Builds the model; the speech pack is in place unless told otherwise.
    void make(bool packInstalled = true) {
        if (packInstalled) installStandardPack(env.dataPath());
        AppModel::Services s = world.appServices(env.home.path() / "store");
        s.app = app;
        model = std::make_unique<AppModel>(std::move(s));
    }

    ~AppModelTest() override {
        if (model) model->engine().stopAndWait();
    }

    bool modelSettled() {
        return world.runUntil(
            [&] { return model->engine().modelState.peek().kind != ModelState::Kind::loading; });
    }

    TestEnvironment env;
    EngineWorld world;
    std::shared_ptr<FakeApp> app = std::make_shared<FakeApp>();
    std::unique_ptr<AppModel> model;
};

}  // namespace

TEST_F(AppModelTest, EventsChangeTheStore) {
    make();
    auto& store = model->store();
    model->handle(Event::speechStarted());
    EXPECT_TRUE(store.isSpeaking.peek());
    model->handle(Event::level(0.75f));
    EXPECT_EQ(store.level.peek(), 0.75f);
    model->handle(Event::preview("hello wor"));
    EXPECT_EQ(store.preview.peek(), "hello wor");

    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    const auto t1 = platform::dateFromSecondsSince1970(1714550002.5);
    model->handle(Event::final("hello world", t0, t1));
    model->handle(
        Event::final("hello again", t0 + std::chrono::seconds(5), t1 + std::chrono::seconds(5)));
    ASSERT_EQ(store.segments.peek().size(), 2u);
    const auto& s = store.segments.peek()[0];
    EXPECT_EQ(s.text, "hello world");
    EXPECT_EQ(s.start, t0);
    EXPECT_EQ(s.end, t1);
    EXPECT_FALSE(s.edited);
    EXPECT_FALSE(s.original);
    EXPECT_NE(s.id, store.segments.peek()[1].id);
    EXPECT_FALSE(store.isSpeaking.peek());
    EXPECT_EQ(store.preview.peek(), "");

    // An empty final reaches the store, which keeps no segment but ends the
    // speaking state and clears the preview.
    model->handle(Event::speechStarted());
    model->handle(Event::preview("uh"));
    model->handle(Event::final("", t1, t1));
    EXPECT_EQ(store.segments.peek().size(), 2u);
    EXPECT_FALSE(store.isSpeaking.peek());
    EXPECT_EQ(store.preview.peek(), "");

    // stopped: speaking ends first, then the preview is cleared.
    model->handle(Event::speechStarted());
    model->handle(Event::preview("half a sen"));
    std::vector<std::string> order;
    auto a = store.isSpeaking.observe([&] { order.push_back("isSpeaking"); });
    auto b = store.preview.observe([&] { order.push_back("preview"); });
    model->handle(Event::stopped());
    EXPECT_EQ(order, (std::vector<std::string>{"isSpeaking", "preview"}));
    EXPECT_EQ(store.preview.peek(), "");

    // The utterance that stopping flushed arrives after stopped and is kept.
    model->handle(Event::final("half a sentence", t1, t1 + std::chrono::seconds(1)));
    EXPECT_EQ(store.segments.peek().size(), 3u);
}

TEST_F(AppModelTest, ListeningStartsWhenTheModelIsReadyAccordingToTheSettings) {
    struct Case {
        std::optional<nlohmann::json> alwaysListen;
        const char* autoStart;
        bool listens;
    };
    const Case cases[] = {
        {std::nullopt, "", true},  // never set: listen
        {true, "", true},         {false, "", false},
        {"no", "", true},  // not a bool reads as absent
        {false, "1", true},       {false, "true", false},
        {false, "01", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.alwaysListen ? c.alwaysListen->dump() : "absent")
                                        << " / " << c.autoStart);
        ScopedEnv autoStart("VERBOLIN_AUTOSTART", c.autoStart);
        if (c.alwaysListen)
            world.defaults.setValue(Defaults::kAlwaysListen, *c.alwaysListen);
        else
            world.defaults.remove(Defaults::kAlwaysListen);
        make();
        EXPECT_EQ(model->alwaysListen(),
                  !c.alwaysListen || !c.alwaysListen->is_boolean() || c.alwaysListen->get<bool>());
        ASSERT_TRUE(modelSettled());
        EXPECT_EQ(model->engine().modelState.peek(), ModelState::ready());
        EXPECT_EQ(model->engine().isRecording.peek(), c.listens);
        if (c.listens) {
            EXPECT_TRUE(world.waitForMicrophone());
        }
        model->engine().stopAndWait();
        model.reset();
        ASSERT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
    }
}

TEST_F(AppModelTest, ApplyListeningStartsOnlyWhenReady) {
    make(/*packInstalled=*/true);
    // Still loading: the ready state has not been applied yet.
    EXPECT_EQ(model->engine().modelState.peek().kind, ModelState::Kind::loading);
    model->applyListening();
    EXPECT_FALSE(model->engine().isRecording.peek());
    model->engine().stopAndWait();
    model.reset();
    world.main.runPending();

    world.prepareFailure = "no model";
    make();
    ASSERT_TRUE(modelSettled());
    EXPECT_EQ(model->engine().modelState.peek(), ModelState::failed("no model"));
    model->applyListening();
    EXPECT_FALSE(model->engine().isRecording.peek());
}

TEST_F(AppModelTest, TurningListeningOffWorksInTheFailedState) {
    make();
    ASSERT_TRUE(modelSettled());
    ASSERT_TRUE(world.waitForMicrophone());
    // A failed reload (as after a decode failure) leaves listening on.
    world.prepareFailure = "gone";
    model->engine().loadModel();
    ASSERT_TRUE(modelSettled());
    ASSERT_EQ(model->engine().modelState.peek().kind, ModelState::Kind::failed);
    ASSERT_TRUE(model->engine().isRecording.peek());

    world.defaults.setBool(Defaults::kAlwaysListen, false);
    model->applyListening();
    EXPECT_FALSE(model->engine().isRecording.peek());
    EXPECT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
}

TEST_F(AppModelTest, TurningListeningOffInsideADeviceRestartStaysOff) {
    make();
    ASSERT_TRUE(modelSettled());
    ASSERT_TRUE(world.waitForMicrophone());
    model->engine().setInputDeviceName("Built-in Audio");
    world.main.advance(100ms);
    world.defaults.setBool(Defaults::kAlwaysListen, false);
    model->applyListening();
    world.main.advance(1s);
    EXPECT_FALSE(model->engine().isRecording.peek());
    EXPECT_EQ(world.backend->openCount(), 1);
}

TEST_F(AppModelTest, WindowVisibility) {
    struct Case {
        const char* name;
        std::function<void(FakeWindow&, FakeApp&)> change;
        bool visible;
    };
    const Case cases[] = {
        {"shown and uncovered", [](FakeWindow&, FakeApp&) {}, true},
        {"ordered out", [](FakeWindow& w, FakeApp&) { w.visible = false; }, false},
        {"miniaturized", [](FakeWindow& w, FakeApp&) { w.miniaturized = true; }, false},
        {"application hidden", [](FakeWindow&, FakeApp& a) { a.hidden = true; }, false},
        {"fully covered", [](FakeWindow& w, FakeApp&) { w.occlusionVisible = false; }, false},
        {"behind others, partly visible, not key",
         [](FakeWindow& w, FakeApp& a) {
             w.key = false;
             a.active = false;
         },
         true},
    };
    make();
    EXPECT_FALSE(model->isWindowVisible());  // no window yet
    auto& store = model->store();
    const auto file = env.home.path() / "store" / "transcript.sqlite";
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto window = std::make_shared<FakeWindow>();
        app->hidden = false;
        app->active = true;
        c.change(*window, *app);
        world.main.advance(AppModel::kSaveRetryInterval);  // a turn set for the window before
        model->setMainWindow(window);
        EXPECT_EQ(model->isWindowVisible(), c.visible);
        EXPECT_EQ(model->engine().previewWanted(), c.visible);
        // What another program deletes meanwhile: the retry timer shows it
        // to a visible window, though nothing is said or edited here.
        model->handle(Event::final(c.name, t0, t0 + std::chrono::seconds(1)));
        ASSERT_EQ(store.segments.peek().size(), 1u);
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "DELETE FROM segments", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(other);
        world.main.advance(AppModel::kSaveRetryInterval);
        ASSERT_TRUE(world.runUntil([&] { return store.readWhole(); }));
        EXPECT_EQ(store.segments.peek().empty(), c.visible);
        model->setMainWindow(nullptr);
        EXPECT_FALSE(model->isWindowVisible());
        // A retry, as any write, takes it in however the window stands.
        store.retryUnsaved();
        ASSERT_TRUE(world.runUntil([&] { return store.readWhole(); }));
        EXPECT_TRUE(store.segments.peek().empty());
    }
}

TEST_F(AppModelTest, VisibilityFollowsNotificationsAndIsCheckedAgainOnTheNextTurn) {
    make();
    auto window = std::make_shared<FakeWindow>();
    window->occlusionVisible = false;  // not yet drawn when the window is set
    model->setMainWindow(window);
    EXPECT_FALSE(model->isWindowVisible());
    window->occlusionVisible = true;
    world.main.runPending();
    EXPECT_TRUE(model->isWindowVisible());

    window->miniaturized = true;
    app->notify();
    EXPECT_FALSE(model->isWindowVisible());
    window->miniaturized = false;
    app->notify();
    EXPECT_TRUE(model->isWindowVisible());

    window.reset();  // the model holds the window weakly
    EXPECT_EQ(model->mainWindow(), nullptr);
    app->notify();
    EXPECT_FALSE(model->isWindowVisible());
}

TEST_F(AppModelTest, PreviewWantedCanBeReadFromAnotherThread) {
    make();
    auto window = std::make_shared<FakeWindow>();
    auto wanted = model->engine().previewWanted;
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            (void)wanted();
            ++reads;
        }
    });
    while (reads == 0) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
        window->miniaturized = (i % 2) == 1;
        model->setMainWindow(window);
        world.main.runPending();
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    model.reset();
    EXPECT_FALSE(wanted());  // still callable after the model is gone
}

TEST_F(AppModelTest, WindowOptionsComeFromAlwaysOnTopWhenTheWindowIsSet) {
    make();
    auto window = std::make_shared<FakeWindow>();
    model->setMainWindow(window);
    EXPECT_EQ(window->level, 0);
    EXPECT_EQ(window->behavior, 0);

    world.defaults.setBool(Defaults::kAlwaysOnTop, true);
    EXPECT_EQ(window->level, 0);  // takes effect at the next set
    int notified = 0;
    auto token = model->registrar.observe(nullptr, [&] { ++notified; });
    model->setMainWindow(window);
    EXPECT_EQ(window->level, 3);
    EXPECT_EQ(window->behavior, 257);
    EXPECT_EQ(notified, 0);  // the same window: no change to report
    model->setMainWindow(std::make_shared<FakeWindow>());
    EXPECT_EQ(notified, 1);

    world.defaults.setString(Defaults::kAlwaysOnTop, "yes");  // not a bool: off
    model->setMainWindow(window);
    EXPECT_EQ(window->level, 0);
    EXPECT_EQ(window->behavior, 0);
}

TEST_F(AppModelTest, ShowingAndTogglingTheWindow) {
    make();
    int opened = 0;

    // No window and no way to open one: the application is only activated.
    model->showWindow();
    EXPECT_EQ(app->calls, (std::vector<std::string>{"activate(ignoring)"}));

    model->setOpenEditorAction([&] { ++opened; });
    model->toggleWindow();
    EXPECT_EQ(opened, 1);

    struct Case {
        const char* name;
        bool visible, key, active;
        const char* windowCall;
        int opens;
    };
    const Case cases[] = {
        {"visible, key, active: hides", true, true, true, "out", 0},
        {"another application is active: comes forward", true, true, false, "front", 0},
        {"not key: comes forward", true, false, true, "front", 0},
        {"closed: opened again", false, true, true, nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto window = std::make_shared<FakeWindow>();
        window->visible = c.visible;
        window->key = c.key;
        app->active = c.active;
        model->setMainWindow(window);
        opened = 0;
        model->toggleWindow();
        if (c.windowCall)
            EXPECT_EQ(window->calls, std::vector<std::string>{c.windowCall});
        else
            EXPECT_TRUE(window->calls.empty());
        EXPECT_EQ(opened, c.opens);
    }
}

TEST_F(AppModelTest, TranscriptNotSavedWhileWritesFailAndClearsWhenARetrySucceeds) {
    make();
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    auto file = env.home.path() / "store" / "transcript.sqlite";
    int reported = 0;
    auto token = model->store().notSaved.observe([&] { ++reported; });
    EXPECT_FALSE(model->transcriptNotSaved());

    sqlite3* other = nullptr;  // another process holding the write lock
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    model->handle(Event::final("said while locked", t0, t0 + std::chrono::seconds(1)));
    EXPECT_TRUE(model->transcriptNotSaved());
    EXPECT_EQ(reported, 1);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    model->handle(
        Event::final("said after", t0 + std::chrono::seconds(9), t0 + std::chrono::seconds(10)));
    EXPECT_FALSE(model->transcriptNotSaved());
    EXPECT_EQ(reported, 2);
    verbolin::TranscriptDB db(file);
    ASSERT_EQ(db.allSegments().size(), 2u);
    EXPECT_EQ(db.allSegments()[0].text, "said while locked");
}

TEST_F(AppModelTest, UnsavedTextIsWrittenByTheRetryTimerWithoutAnotherFinal) {
    make();
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    auto file = env.home.path() / "store" / "transcript.sqlite";
    sqlite3* other = nullptr;  // another process holding the write lock
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    model->handle(Event::final("said while locked", t0, t0 + std::chrono::seconds(1)));
    ASSERT_TRUE(model->transcriptNotSaved());

    // Still locked at the first retry: still not saved, and tried again later.
    world.main.advance(AppModel::kSaveRetryInterval);
    EXPECT_TRUE(model->transcriptNotSaved());
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    world.main.advance(AppModel::kSaveRetryInterval - std::chrono::milliseconds(1));
    EXPECT_TRUE(model->transcriptNotSaved());  // not before its time
    world.main.advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(model->transcriptNotSaved());
    {
        verbolin::TranscriptDB db(file);
        ASSERT_EQ(db.allSegments().size(), 1u);
        EXPECT_EQ(db.allSegments()[0].text, "said while locked");
    }
    // Nothing unsaved: the timer stops.
    world.main.advance(std::chrono::minutes(1));
    EXPECT_EQ(world.main.pendingCount(), 0u);
}

TEST_F(AppModelTest, DestroyingTheModelStoresTheUtteranceInProgress) {
    make();
    ASSERT_TRUE(modelSettled());
    ASSERT_TRUE(world.waitForMicrophone());
    world.deliverSilence(5);
    world.deliverSpeech(10);  // still speaking
    ASSERT_TRUE(world.runUntil([&] { return model->store().level.peek() > 0; }));
    world.runUntil([] { return false; }, 50ms);
    model.reset();
    verbolin::TranscriptDB db(env.home.path() / "store" / "transcript.sqlite");
    ASSERT_EQ(db.allSegments().size(), 1u);
    EXPECT_EQ(db.allSegments()[0].text, "hello world");
}

TEST_F(AppModelTest, AnUndecodedUtteranceKeepsItsAudioInTheDataFolder) {
    make();
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    const std::vector<float> samples = {0.0f, 0.5f, -0.5f, 1.0f};
    model->handle(Event::undecoded(samples, t0, t0 + std::chrono::seconds(1)));
    model->handle(Event::undecoded(samples, t0, t0 + std::chrono::seconds(1)));
    const auto folder = env.home.path() / "store" / verbolin::UndecodedAudio::kFolderName;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path());
    ASSERT_EQ(files.size(), 2u);  // the second never replaces the first
    for (const auto& f : files)
        EXPECT_EQ(testsupport::readFile(f), verbolin::UndecodedAudio::wav(samples)) << f;
    EXPECT_TRUE(model->store().segments.peek().empty());
}

// Started with the data folder on a full disk: the transcript cannot be
// opened, yet what is said then starts the retry timer, which opens the
// transcript and writes it once there is room.
TEST_F(AppModelTest, TextSaidWhileTheTranscriptCannotBeOpenedIsWrittenByTheRetryTimer) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    disk.fill();
    model = std::make_unique<AppModel>(world.appServices(disk / "store"));
    ASSERT_TRUE(model->transcriptNotSaved());
    const auto t0 = platform::dateFromSecondsSince1970(1714550000.0);
    model->handle(Event::final("said on a full disk", t0, t0 + std::chrono::seconds(1)));
    world.main.advance(AppModel::kSaveRetryInterval);
    EXPECT_TRUE(model->transcriptNotSaved());
    disk.makeRoom();
    world.main.advance(AppModel::kSaveRetryInterval);
    EXPECT_FALSE(model->transcriptNotSaved());
    verbolin::TranscriptDB db(disk / "store" / "transcript.sqlite");
    ASSERT_EQ(db.allSegments().size(), 1u);
    EXPECT_EQ(db.allSegments()[0].text, "said on a full disk");
}

// Another program held the transcript through the start, so nothing of it
// could be shown; the retry timer shows it once the program lets go, though
// nothing was said meanwhile.
TEST_F(AppModelTest, ATranscriptHeldAtTheStartIsShownByTheRetryTimerOnceFree) {
    const auto folder = env.home.path() / "store";
    verbolin::TranscriptStore(folder).append(storage_test::segment(1e9, 1e9 + 1, "stored"));
    std::optional<storage_test::WriteLock> holder(std::in_place, folder / "transcript.sqlite",
                                                  true);
    make();
    EXPECT_TRUE(model->store().segments.peek().empty());
    world.main.advance(AppModel::kSaveRetryInterval);
    EXPECT_TRUE(model->store().segments.peek().empty());
    holder.reset();
    world.main.advance(AppModel::kSaveRetryInterval);
    ASSERT_EQ(model->store().segments.peek().size(), 1u);
    EXPECT_EQ(model->store().segments.peek()[0].text, "stored");
    EXPECT_FALSE(model->transcriptNotSaved());
}
