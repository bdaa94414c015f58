#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "AppTestSupport.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/system/AppError.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TokenizerHub.hpp"
#include "support/Unprivileged.hpp"
#include "support/WaitUntil.hpp"
#include "support/ZipBuilder.hpp"

using namespace apptest;
using verbolin::Defaults;
using verbolin::ModelDownloader;

namespace {

class EngineTest : public ::testing::Test {
  protected:
    EngineTest() {
        engine = std::make_unique<TranscriptionEngine>(world.services());
        engine->eventSink = [this](const Event& e) { events.push_back(e); };
        engine->onModelReady = [this] { ++readyCalls; };
        stateToken =
            engine->modelState.observe([this] { states.push_back(engine->modelState.peek()); });
    }
    ~EngineTest() override {
        if (engine) engine->stopAndWait();
    }

    // Loads with the pack in place and waits for the outcome.
    void loadReady() {
        installStandardPack(env.dataPath());
        engine->loadModel();
        ASSERT_TRUE(
            world.runUntil([&] { return engine->modelState.peek() == ModelState::ready(); }));
    }

    // Starts and waits until the new session's stream runs (and an earlier
    // session's has closed).
    void startListening() {
        const int opened = world.backend->openCount();
        engine->start();
        ASSERT_TRUE(world.runUntil([&] {
            return world.backend->openCount() == opened + 1 && world.backend->runningCount() == 1;
        }));
    }

    std::vector<Event> eventsOf(EventKind kind) const {
        std::vector<Event> out;
        for (const auto& e : events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    bool settled() {
        return world.runUntil(
            [&] { return engine->modelState.peek().kind != ModelState::Kind::loading; });
    }

    TestEnvironment env;
    EngineWorld world;
    std::unique_ptr<TranscriptionEngine> engine;
    std::vector<Event> events;
    std::vector<ModelState> states;
    std::vector<std::string> notices;  // told only where a test asks for them
    int readyCalls = 0;
    platform::ObservationToken stateToken;
};

}  // namespace

TEST_F(EngineTest, ProgressMessagesUseTheEllipsisCharacter) {
    EXPECT_EQ(TranscriptionEngine::kPreparingMessage,
              std::string("Preparing speech model\xE2\x80\xA6"));
    EXPECT_EQ(TranscriptionEngine::downloadStartMessage(verbolin::ModelPack::named("standard")),
              "Downloading speech model (290 MB)\xE2\x80\xA6");
    EXPECT_EQ(TranscriptionEngine::progressMessage(ModelDownloader::Downloading{0.09, 12, 130}),
              "Downloading speech model\xE2\x80\xA6 12 of 130 MB");
    EXPECT_EQ(TranscriptionEngine::progressMessage(ModelDownloader::Installing{}),
              "Installing speech model\xE2\x80\xA6");
}

TEST_F(EngineTest, InstalledPackIsPreparedAndBecomesReady) {
    world.defaults.setString(Defaults::kModelPack, "no-such-pack");
    loadReady();
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::loading("Preparing speech model\u2026"),
                                               ModelState::ready()}));
    EXPECT_EQ(world.installCalls, 0);
    ASSERT_EQ(world.made().size(), 1u);
    EXPECT_EQ(world.made()[0]->prepareCount(), 1);
    EXPECT_EQ(world.choices()[0],
              verbolin::EngineChoice::auralith(verbolin::ModelPack::named("standard")));
    EXPECT_EQ(readyCalls, 1);
    EXPECT_TRUE(engine->hasEngine());
}

TEST_F(EngineTest, MissingPackIsDownloadedWithProgressInOrder) {
    world.installer = [&](const verbolin::ModelPack&, ModelDownloader::ProgressFn progress) {
        progress(ModelDownloader::Downloading{0.0, 0, 130});
        progress(ModelDownloader::Downloading{0.5, 65, 130});
        progress(ModelDownloader::Installing{});
    };
    engine->loadModel();
    ASSERT_TRUE(settled());
    EXPECT_EQ(states, (std::vector<ModelState>{
                          ModelState::loading("Downloading speech model (290 MB)\u2026"),
                          ModelState::loading("Downloading speech model\u2026 0 of 130 MB"),
                          ModelState::loading("Downloading speech model\u2026 65 of 130 MB"),
                          ModelState::loading("Installing speech model\u2026"),
                          ModelState::loading("Preparing speech model\u2026"),
                          ModelState::ready(),
                      }));
    EXPECT_EQ(world.installCalls, 1);
}

// Quitting while the pack downloads ends the download, whether bytes are
// arriving (it ends at its next progress report) or the connection has
// stalled (the install is asked to stop); before, the quit waited for the
// whole pack, minutes on a slow link, or for the stalled connection to time out.
TEST_F(EngineTest, QuittingDuringADownloadEndsIt) {
    for (const bool stalled : {false, true}) {
        SCOPED_TRACE(stalled ? "stalled" : "arriving");
        states.clear();
        engine = std::make_unique<TranscriptionEngine>(world.services());
        stateToken =
            engine->modelState.observe([this] { states.push_back(engine->modelState.peek()); });
        std::atomic<bool> started{false}, ended{false}, ranToTheEnd{false};
        world.installer = [&](const verbolin::ModelPack&, ModelDownloader::ProgressFn progress) {
            const std::stop_token stop = world.installStop();
            // A download a minute long; while stalled it reports nothing.
            for (int i = 0; i < 60000; ++i) {
                try {
                    if (!stalled || i == 0)
                        progress(ModelDownloader::Downloading{i / 60000.0, i / 462, 130});
                } catch (...) {
                    ended = true;
                    throw;
                }
                if (stalled && stop.stop_requested()) {
                    ended = true;
                    throw std::runtime_error("The transfer was cancelled.");
                }
                started = true;
                std::this_thread::sleep_for(1ms);
            }
            ranToTheEnd = true;
        };
        engine->loadModel();
        ASSERT_TRUE(world.runUntil([&] { return started.load(); }));
        engine->stopAndWait();
        stateToken.cancel();
        engine.reset();
        EXPECT_TRUE(ended);
        EXPECT_FALSE(ranToTheEnd);
        world.main.runPending();  // what the download posted finds no engine
        for (const ModelState& state : states)
            EXPECT_NE(state.kind, ModelState::Kind::failed) << "quitting is not a failure";
        EXPECT_EQ(world.choices().size(), 0u) << "no recogniser is made after the quit";
    }
}

// A process that is to end now (a signal while the model loads) asks
// whether the load is still running: a download is stopped and has ended
// by the answer, what it fetched left for the next start; a recogniser
// still being prepared, which sees no stop, is said to be running, so that
// the process ends without waiting for it; and once nothing loads, nothing
// is. Before, every such quit waited for the whole preparation.
TEST_F(EngineTest, EndingNowStopsADownloadAndLeavesAPreparationRunning) {
    enum class Loading { download, preparation, nothing };
    for (const Loading loading : {Loading::download, Loading::preparation, Loading::nothing}) {
        SCOPED_TRACE(int(loading));
        testsupport::ThreadGate making;
        auto services = world.services();
        auto make = services.makeEngine;
        services.makeEngine = [make, hold = making.hook()](const auto& choice) {
            hold();
            return make(choice);
        };
        engine = std::make_unique<TranscriptionEngine>(services);
        std::atomic<bool> downloading{false}, downloadEnded{false};
        world.installer = [&](const verbolin::ModelPack&, ModelDownloader::ProgressFn progress) {
            for (int i = 0; i < 60000; ++i, std::this_thread::sleep_for(1ms)) {
                downloading = true;
                try {
                    progress(ModelDownloader::Downloading{i / 60000.0, i / 462, 130});
                } catch (...) {
                    downloadEnded = true;
                    throw;
                }
            }
        };
        if (loading != Loading::download) installStandardPack(env.dataPath());
        if (loading == Loading::preparation) making.shut();
        engine->loadModel();
        const bool underWay =
            loading == Loading::download      ? world.runUntil([&] { return downloading.load(); })
            : loading == Loading::preparation ? making.waitForHeld()
                                              : world.runUntil([&] { return engine->hasEngine(); });
        ASSERT_TRUE(underWay);
        EXPECT_EQ(engine->loadLeftRunning(), loading == Loading::preparation);
        EXPECT_EQ(downloadEnded.load(), loading == Loading::download);
        making.open();
        engine->stopAndWait();
        engine.reset();
        world.main.runPending();  // what the load posted finds no engine
        std::filesystem::remove_all(env.dataPath() / "Verbolin" / "models");
    }
}

TEST_F(EngineTest, InstallOrPrepareFailureEndsInTheFailedState) {
    // A weights file cut short, as the model runtime says it, and what it makes said.
    const std::string folder = (env.dataPath() / "Verbolin/models/standard-v1").string();
    const std::string weights = folder + "/TextDecoder.mlmodelc/weights.safetensors";
    const std::string cause =
        "TextDecoder.mlmodelc/weights.safetensors: file is truncated "
        "(header of 7256 bytes, file of 1000)";
    const std::string cutShort = folder + "/" + cause;
    const std::string reinstalled = "The speech model pack at " + folder + " is damaged (" + cause +
                                    "); it is installed again.";
    struct Case {
        const char* name;
        bool installFails;
        std::optional<std::string> prepareFailure;
        std::string message;
        size_t recognisersMade;
        // Every load of the pack fails: 0, as `cutShort` (`reinstalled` said); else refused
        // by the system with this errno, the pack left as it is.
        std::optional<int> loadFails = std::nullopt;
        int installs = 0;
    };
    const Case cases[] = {
        {"install", true, std::nullopt, "The download failed. Please check your connection.", 0,
         std::nullopt, 1},
        {"prepare", false, "TextDecoder.mlmodelc could not be loaded",
         "TextDecoder.mlmodelc could not be loaded", 1},
        // Installed again once, said once; still damaged, the load fails.
        {"damaged, and so is the pack installed again", false, std::nullopt, cutShort, 2, 0, 1},
        {"out of memory", false, std::nullopt, "Cannot map " + weights + ": Cannot allocate memory",
         1, ENOMEM},
        {"a failing disk", false, std::nullopt, "Cannot map " + weights + ": Input/output error", 1,
         EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineWorld w;
        w.prepareFailure = c.prepareFailure;
        if (c.installFails) {
            w.installer = [](const verbolin::ModelPack&, ModelDownloader::ProgressFn) {
                throw platform::AppError("ModelDownloader", 1,
                                         "The download failed. Please check your connection.");
            };
        } else {
            installStandardPack(env.dataPath());
        }
        auto services = w.services();
        size_t made = 0;
        using platform::ml::MLModelError;
        if (c.loadFails)
            services.makeEngine =
                [&](const verbolin::EngineChoice&) -> std::shared_ptr<verbolin::SpeechEngine> {
                ++made;
                if (*c.loadFails == 0) throw MLModelError(MLModelError::Code::io, cutShort);
                throw MLModelError(MLModelError::Code::io,
                                   "Cannot map " + weights + ": " + std::strerror(*c.loadFails),
                                   *c.loadFails);
            };
        TranscriptionEngine e(services);
        std::vector<std::string> notices;
        e.noticeSink = [&](const std::string& text) { notices.push_back(text); };
        int ready = 0;
        e.onModelReady = [&] { ++ready; };
        e.loadModel();
        ASSERT_TRUE(
            w.runUntil([&] { return e.modelState.peek().kind == ModelState::Kind::failed; }));
        EXPECT_EQ(e.modelState.peek(), ModelState::failed(c.message));
        EXPECT_EQ(w.made().size() + made, c.recognisersMade);
        EXPECT_EQ(w.installCalls, c.installs);
        EXPECT_EQ(notices, std::vector<std::string>(c.loadFails == 0 ? 1 : 0, reinstalled));
        EXPECT_FALSE(e.hasEngine());
        EXPECT_TRUE(e.modelLoadFailed());
        EXPECT_EQ(ready, 0);
        e.start();  // nothing to listen with
        EXPECT_FALSE(e.isRecording.peek());
        std::filesystem::remove_all(env.dataPath());
    }
}

TEST_F(EngineTest, AFailedReloadKeepsThePreparedRecogniser) {
    loadReady();
    world.prepareFailure = "model damaged";
    engine->loadModel();
    ASSERT_TRUE(settled());
    EXPECT_EQ(engine->modelState.peek(), ModelState::failed("model damaged"));
    EXPECT_TRUE(engine->hasEngine());
    EXPECT_TRUE(engine->modelLoadFailed());  // though a recogniser is kept
    startListening();  // the state does not gate listening; the recogniser does
    EXPECT_TRUE(engine->isRecording.peek());
    EXPECT_FALSE(engine->captureStopped());
    world.prepareFailure.reset();
    engine->loadModel();
    ASSERT_TRUE(settled());
    EXPECT_EQ(engine->modelState.peek(), ModelState::ready());
    EXPECT_FALSE(engine->modelLoadFailed());
}

// The built-in factory makes the real recogniser; a pack that looks installed
// but lacks its models is installed again once, saying so, and (the fake
// installer mending nothing) ends in the failed state naming the missing file.
TEST_F(EngineTest, TheBuiltInFactoryNamesTheMissingModelOfABrokenPack) {
    installStandardPack(env.dataPath());
    const auto folder = env.dataPath() / "Verbolin" / "models" / "standard-v1";
    for (const char* model : {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc"})
        std::filesystem::remove_all(folder / model);
    auto services = world.services();
    services.makeEngine = verbolin::makeSpeechEngine;
    TranscriptionEngine e(services);
    std::vector<std::string> notices;
    e.noticeSink = [&](const std::string& text) { notices.push_back(text); };
    e.loadModel();
    ASSERT_TRUE(
        world.runUntil([&] { return e.modelState.peek().kind == ModelState::Kind::failed; }, 10s));
    EXPECT_EQ(e.modelState.peek(),
              ModelState::failed("Model file not found at " +
                                 (folder / "MelSpectrogram.mlmodelc").string()));
    EXPECT_EQ(world.installCalls, 1);
    EXPECT_EQ(notices, std::vector<std::string>{"The speech model pack at " + folder.string() +
                                                " is damaged (MelSpectrogram.mlmodelc is "
                                                "missing); it is installed again."});
    EXPECT_FALSE(e.hasEngine());
}

// A sound pack the system will not open for want of file descriptors is
// neither deleted nor fetched: the failure says what the system said, and
// Retry, once descriptors are free, loads the pack as it was.
TEST_F(EngineTest, APackTheSystemWillNotOpenIsLeftAsItIs) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan, built in beside it, opens a pipe to check an object's type, and
    // takes a refused one for a bad object.
    GTEST_SKIP() << "the sanitizer's checks need descriptors of their own";
#endif
    namespace fs = std::filesystem;
    const auto folder = env.dataPath() / "Verbolin" / "models" / "standard-v1";
    testsupport::runTool(
        std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random '" + folder.string() +
        "' --tokenizer '" VERBOLIN_TEST_DATA_DIR "/whisper-en-tokenizer' >/dev/null");
    // Each file's size and time of writing: a pack deleted and put back differs.
    const auto snapshot = [&] {
        std::map<fs::path, std::pair<uintmax_t, fs::file_time_type>> files;
        for (const auto& f : fs::recursive_directory_iterator(folder))
            if (f.is_regular_file()) files[f.path()] = {f.file_size(), f.last_write_time()};
        return files;
    };
    const auto before = snapshot();
    auto services = world.services();
    services.makeEngine = verbolin::makeSpeechEngine;
    TranscriptionEngine e(services);
    std::vector<std::string> notices;
    e.noticeSink = [&](const std::string& text) { notices.push_back(text); };
    {
        // The lowest free descriptor becomes the limit: every opening fails with EMFILE.
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowestFree = ::dup(0);
        ASSERT_GE(lowestFree, 0);
        ::close(lowestFree);
        rlimit starved = saved;
        starved.rlim_cur = rlim_t(lowestFree);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &starved), 0);
        e.loadModel();
        const bool failed = world.runUntil(
            [&] { return e.modelState.peek().kind == ModelState::Kind::failed; }, 10s);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        ASSERT_TRUE(failed) << e.modelState.peek().message;
    }
    const std::string failure = e.modelState.peek().message;
    EXPECT_TRUE(
        failure.starts_with("Cannot open " + folder.string() + "/MelSpectrogram.mlmodelc/") &&
        failure.ends_with(": Too many open files"))
        << failure;
    EXPECT_EQ(world.installCalls, 0);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(snapshot(), before) << "the pack was touched";
    e.loadModel();  // Retry
    ASSERT_TRUE(
        world.runUntil([&] { return e.modelState.peek().kind != ModelState::Kind::loading; }, 20s));
    EXPECT_EQ(e.modelState.peek(), ModelState::ready()) << e.modelState.peek().message;
    EXPECT_EQ(world.installCalls, 0);
}

// Tokenizer files that do not load are replaced by the hub's, or the load
// fails with the hub's error. A file or folder of the pack that the system
// refuses is none of these: the load fails naming it and the system's
// reason, and asks no one for a copy.
TEST_F(EngineTest, ABrokenTokenizerIsFetchedFromTheHubOrTheHubsErrorIsShown) {
    namespace fs = std::filesystem;
    const auto folder = env.dataPath() / "Verbolin" / "models" / "standard-v1";
    testsupport::runTool(
        std::string(VERBOLIN_BINARY_DIR) + "/verbolin-models random '" + folder.string() +
        "' --tokenizer '" VERBOLIN_TEST_DATA_DIR "/whisper-en-tokenizer' >/dev/null");
    testsupport::HubTestEnvironment hubEnv;
    testsupport::LocalHttpServer hub;
    hubEnv.set("HF_ENDPOINT", hub.root().substr(0, hub.root().size() - 1).c_str());
    hubEnv.set("CI_DISABLE_NETWORK_MONITOR", "1");  // loopback alone counts as online
    struct Case {
        const char* name;
        std::function<void()> breakIt;
        int hubStatus;
        std::string fails;      // a part of the error, empty when the model gets ready
        fs::path refused = {};  // of mode 000 through the load, which asks no one
    };
    const auto json = folder / "tokenizer" / "tokenizer.json";
    const auto config = folder / "tokenizer" / "tokenizer_config.json";
    const auto modelConfig = folder / "tokenizer" / "config.json";
    const std::string good = testsupport::readFile(json);
    const auto refusing = [](const fs::path& path) {
        return "Cannot read " + path.string() + ": Permission denied";
    };
    const Case cases[] = {
        {"tokenizer.json refused", [] {}, 200, refusing(json), json},
        {"tokenizer_config.json refused", [] {}, 200, refusing(config), config},
        {"config.json refused", [&] { std::ofstream(modelConfig) << "{}"; }, 200,
         refusing(modelConfig), modelConfig},
        {"the tokenizer folder refused", [] {}, 200, refusing(json.parent_path()),
         json.parent_path()},
        {"a model folder refused", [] {}, 200, refusing(folder / "TextDecoder.mlmodelc"),
         folder / "TextDecoder.mlmodelc"},
        {"tokenizer.json does not parse, the hub lacks it",
         [&] {
             fs::remove(modelConfig);
             std::ofstream(json) << "{\"model\": ";
         },
         404, "File not found: tokenizer.json"},
        {"tokenizer.json does not parse, the hub serves it", [] {}, 200, ""},
        {"tokenizer_config.json is missing, the hub serves it",
         [&] {
             std::ofstream(json) << good;
             fs::remove(config);
         },
         200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer ends a child of a threaded process that starts
        // threads; the first-start test's run of the program refuses so too.
        if (!c.refused.empty() && ::geteuid() == 0) continue;
#endif
        c.breakIt();
        // What an earlier row fetched would be found first.
        fs::remove_all(folder / "tokenizer" / "models");
        testsupport::serveTokenizer(hub, "openai/whisper-base.en", c.hubStatus);
        const auto asked = hub.recorded().size();
        const bool refusing = !c.refused.empty();
        const fs::perms readable = refusing ? fs::status(c.refused).permissions() : fs::perms{};
        if (refusing) {
            testsupport::handToNobody(env.home.path());
            testsupport::handToNobody(hubEnv.home());
            fs::permissions(c.refused, fs::perms::none);
        }
        const auto load = [&] {
            auto services = world.services();
            services.makeEngine = verbolin::makeSpeechEngine;
            TranscriptionEngine e(services);
            const auto outcome = [&] {
                e.loadModel();
                world.runUntil(
                    [&] {
                        const auto kind = e.modelState.peek().kind;
                        return kind == ModelState::Kind::ready || kind == ModelState::Kind::failed;
                    },
                    30s);
                const auto state = e.modelState.peek();
                return std::string(state.kind == ModelState::Kind::ready ? "ready"
                                                                         : "not ready: ") +
                       state.message;
            };
            std::string said = outcome();
            if (refusing) {  // the pack's owner lets it be read again
                fs::permissions(c.refused, readable);
                said += "; after Retry: " + outcome();
            }
            return said + "; installs: " + std::to_string(world.installCalls);
        };
        const std::string outcome = refusing ? testsupport::unprivileged(load) : load();
        if (refusing) {
            fs::permissions(c.refused, readable);
            EXPECT_EQ(outcome, "not ready: " + c.fails + "; after Retry: ready; installs: 0");
            EXPECT_EQ(hub.recorded().size(), asked) << "the hub was asked";
            EXPECT_FALSE(fs::exists(folder / "tokenizer" / "models"));
            continue;
        }
        EXPECT_GT(hub.recorded().size(), asked);
        if (c.fails.empty()) {
            EXPECT_EQ(outcome, "ready; installs: 0");
            EXPECT_TRUE(fs::exists(folder / "tokenizer" / "models" / "openai" / "whisper-base.en" /
                                   "tokenizer.json"));
        } else {
            EXPECT_TRUE(outcome.starts_with("not ready: ")) << outcome;
            EXPECT_NE(outcome.find(c.fails), std::string::npos) << outcome;
        }
    }
}

TEST_F(EngineTest, AMicrophoneNameThatMatchesNothingIsToldOnceWithTheMicrophonesFound) {
    std::vector<std::string> notices;
    engine->noticeSink = [&](const std::string& text) { notices.push_back(text); };
    world.backend->script().devices = {{3, "USB Headset", 1}, {7, "Built-in Audio", 2}};
    ScopedEnv wanted("VERBOLIN_INPUT_DEVICE", "Blue Yeti");
    EXPECT_EQ(engine->resolvedInputDeviceID(), std::nullopt);
    EXPECT_EQ(engine->resolvedInputDeviceID(), std::nullopt);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0],
              "VERBOLIN_INPUT_DEVICE=\"Blue Yeti\" matches no microphone; listening to the "
              "default input instead. Microphones found: \"USB Headset\", \"Built-in Audio\".");
    // A name that matches says nothing; another name that does not is told.
    ScopedEnv matching("VERBOLIN_INPUT_DEVICE", "usb");
    EXPECT_EQ(engine->resolvedInputDeviceID(), std::optional<uint32_t>(3));
    ScopedEnv other("VERBOLIN_INPUT_DEVICE", "Rode");
    world.backend->script().devices = {};
    EXPECT_EQ(engine->resolvedInputDeviceID(), std::nullopt);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1],
              "VERBOLIN_INPUT_DEVICE=\"Rode\" matches no microphone; listening to the default "
              "input instead. No microphones were found.");
}

TEST_F(EngineTest, StartNeedsARecogniserAndHappensOnce) {
    engine->start();
    EXPECT_FALSE(engine->isRecording.peek());
    EXPECT_EQ(world.backend->openCount(), 0);

    loadReady();
    startListening();
    engine->start();
    world.runUntil([] { return false; }, 20ms);
    EXPECT_EQ(world.backend->openCount(), 1);
    EXPECT_TRUE(engine->isRecording.peek());
}

TEST_F(EngineTest, StopSendsLevelZeroThenStoppedAndNothingWithoutASession) {
    engine->stop();
    EXPECT_TRUE(events.empty());

    loadReady();
    startListening();
    world.runUntil([] { return false; }, 10ms);
    events.clear();
    engine->stop();
    EXPECT_EQ(events, (std::vector<Event>{Event::level(0), Event::stopped()}));
    EXPECT_FALSE(engine->isRecording.peek());
    EXPECT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
}

TEST_F(EngineTest, ASessionThatCannotStartShowsWhyAndCanStillBeStopped) {
    struct Case {
        const char* name;
        std::function<void(platform::FakeAudioBackend::Script&)> script;
        std::string message;
    };
    const Case cases[] = {
        {"refused", [](auto& s) { s.permission = false; },
         "Microphone access was not granted. Enable it in System Settings > Privacy & Security > "
         "Microphone."},
        {"busy", [](auto& s) { s.startFailure = "Device or resource busy"; },
         "Device or resource busy"},
    };
    loadReady();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::FakeAudioBackend::Script saved = world.backend->script();
        c.script(world.backend->script());
        engine->start();
        EXPECT_TRUE(engine->isRecording.peek());
        ASSERT_TRUE(world.runUntil([&] { return !engine->isRecording.peek(); }));
        EXPECT_EQ(engine->modelState.peek(), ModelState::failed(c.message));
        EXPECT_TRUE(engine->captureStopped());
        EXPECT_FALSE(engine->modelLoadFailed());
        events.clear();
        engine->stop();
        EXPECT_EQ(events, (std::vector<Event>{Event::level(0), Event::stopped()}));
        world.backend->script() = saved;
    }
}

TEST_F(EngineTest, DeviceChoiceOrder) {
    world.backend->script().devices = {
        {11, "USB Audio Headset", 1}, {12, "Studio Desk", 2}, {13, "MacBook Pro Microphone", 1}};
    struct Case {
        const char* env;
        std::optional<std::string> stored;
        std::optional<uint32_t> expected;
    };
    const Case cases[] = {
        {"usb AUDIO", "Studio Desk", 11},        // the variable, in any case, beats the stored name
        {"", "Studio Desk", 12},                 // an empty variable counts as unset
        {"nothing like it", "Studio Desk", 12},  // no match goes on to the stored name
        {"", "studio desk", 13},                 // the stored name must match exactly
        {"", "Unplugged Mic", 13},               // absent: the built-in microphone
        {"", std::nullopt, 13},
        {"MICRO", std::nullopt, 13},
    };
    for (const auto& c : cases) {
        ScopedEnv var("VERBOLIN_INPUT_DEVICE", c.env);
        world.defaults.setOptionalString(Defaults::kInputDevice, c.stored);
        EXPECT_EQ(engine->resolvedInputDeviceID(), c.expected)
            << c.env << " / " << c.stored.value_or("none");
    }
    world.backend->script().devices = {{11, "USB Audio Headset", 1}, {12, "MacBook Speakers", 0}};
    EXPECT_EQ(engine->resolvedInputDeviceID(), std::nullopt);  // the system's default
}

TEST_F(EngineTest, EchoCancellationOnlyForExactlyOne) {
    for (auto [value, expected] : std::vector<std::pair<const char*, bool>>{
             {"1", true}, {"true", false}, {"01", false}, {"yes", false}, {"", false}}) {
        ScopedEnv var("VERBOLIN_VOICE_PROCESSING", value);
        EXPECT_EQ(TranscriptionEngine::echoCancellation(), expected) << value;
    }
}

TEST_F(EngineTest, StartCapturesFromTheResolvedDeviceWithTheEchoSetting) {
    world.backend->script().devices = {{21, "Webcam", 1}, {22, "Headset", 1}};
    world.defaults.setString(Defaults::kInputDevice, "Headset");
    ScopedEnv vp("VERBOLIN_VOICE_PROCESSING", "1");
    loadReady();
    startListening();
    EXPECT_EQ(world.backend->lastRequestedDevice(), 22u);
    EXPECT_TRUE(world.backend->lastVoiceProcessing());
}

TEST_F(EngineTest, ChoosingADeviceWhileIdleOnlyStoresIt) {
    loadReady();
    engine->setInputDeviceName("Headset");
    EXPECT_EQ(world.defaults.string(Defaults::kInputDevice), "Headset");
    EXPECT_EQ(engine->inputDeviceName(), "Headset");
    engine->setInputDeviceName(std::nullopt);
    EXPECT_FALSE(world.defaults.value(Defaults::kInputDevice));
    world.main.advance(1s);
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(engine->isRecording.peek());
    EXPECT_EQ(world.backend->openCount(), 0);
}

TEST_F(EngineTest, ChoosingADeviceWhileListeningRestartsOnItAfterTheDelay) {
    world.backend->script().devices = {{21, "Webcam", 1}, {22, "Headset", 1}};
    loadReady();
    startListening();
    EXPECT_EQ(world.backend->lastRequestedDevice(), std::nullopt);
    events.clear();

    engine->setInputDeviceName("Webcam");
    EXPECT_EQ(events, (std::vector<Event>{Event::level(0), Event::stopped()}));
    EXPECT_FALSE(engine->isRecording.peek());
    // Changed again inside the delay: only stored, and the restart uses it.
    engine->setInputDeviceName("Headset");
    world.main.advance(399ms);
    EXPECT_FALSE(engine->isRecording.peek());
    world.main.advance(1ms);
    EXPECT_TRUE(engine->isRecording.peek());
    ASSERT_TRUE(world.runUntil(
        [&] { return world.backend->openCount() == 2 && world.backend->runningCount() == 1; }));
    EXPECT_EQ(world.backend->lastRequestedDevice(), 22u);
}

TEST_F(EngineTest, APauseOrQuitInsideTheRestartDelayIsNotUndone) {
    loadReady();
    const std::vector<std::pair<const char*, std::function<void()>>> interruptions = {
        {"stop", [&] { engine->stop(); }},
        {"stopAndWait", [&] { engine->stopAndWait(); }},
        {"cancelPendingRestart", [&] { engine->cancelPendingRestart(); }},
    };
    for (const auto& [name, interrupt] : interruptions) {
        SCOPED_TRACE(name);
        startListening();
        const int opened = world.backend->openCount();
        engine->setInputDeviceName("Built-in Audio");
        EXPECT_TRUE(engine->hasPendingRestart());
        world.main.advance(200ms);
        interrupt();
        EXPECT_FALSE(engine->hasPendingRestart());
        world.main.advance(1s);
        EXPECT_FALSE(engine->isRecording.peek());
        EXPECT_EQ(world.backend->openCount(), opened);
    }
}

TEST_F(EngineTest, StopAndWaitSendsNoEventsAndClosesTheMicrophone) {
    loadReady();
    startListening();
    world.runUntil([] { return false; }, 10ms);
    events.clear();
    engine->stopAndWait();
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(engine->isRecording.peek());
    EXPECT_EQ(world.backend->runningCount(), 0);
}

// Quitting keeps every word: whatever was heard before stopAndWait() reaches
// the sink before it returns, without the main executor running a task.
TEST_F(EngineTest, StopAndWaitDeliversTheUtteranceInProgressAndThoseStillDecoding) {
    struct Case {
        const char* name;
        bool pauseFirst;  // the user paused earlier; that session still decodes
        bool holdDecode;  // the decode is still running when stopAndWait() begins
    };
    const Case cases[] = {
        {"mid-utterance", false, false},
        {"during the decode", false, true},
        {"after a pause, during its decode", true, true},
    };
    loadReady();
    engine->livePreview.set(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startListening();
        events.clear();
        auto recogniser = world.made().back();
        const size_t callsBefore = recogniser->calls().size();
        if (c.holdDecode) recogniser->script(FakeSpeechEngine::Reply::held("last words"));
        world.deliverSilence(5);
        world.deliverSpeech(10);
        ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::level).size() == 15; }));
        if (c.pauseFirst) engine->stop();
        std::thread releaser;
        if (c.holdDecode) {
            if (!c.pauseFirst) world.deliverSilence(12);  // the utterance ends; its decode starts
            ASSERT_TRUE(recogniser->waitForCalls(callsBefore + 1));
            releaser = std::thread([&] {
                std::this_thread::sleep_for(100ms);
                recogniser->release();
            });
        }
        engine->stopAndWait();
        if (releaser.joinable()) releaser.join();
        const auto finals = eventsOf(EventKind::final);
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0].text, c.holdDecode ? "last words" : "hello world");
        EXPECT_TRUE(eventsOf(EventKind::undecoded).empty());
        EXPECT_EQ(world.backend->runningCount(), 0);
        // Nothing is left for the main executor to deliver.
        events.clear();
        world.main.runPending();
        EXPECT_TRUE(eventsOf(EventKind::final).empty());
    }
}

// Past the limit the stop gives the first utterance up whether its decode
// hangs in the recogniser or waits for a decoding thread that is held; a
// thread that does not come back is left running, not waited for.
TEST_F(EngineTest, ADecodeThatOutlastsTheLimitIsCancelledAndItsAudioHandedOver) {
    struct Case {
        const char* name;
        bool threadHeld;
    };
    loadReady();
    engine->livePreview.set(false);
    // The held thread's row comes last: its audio is measured against what
    // the recogniser was given for the same utterance before.
    for (const Case c : {Case{"the decode hangs", false}, Case{"its thread is held", true}}) {
        SCOPED_TRACE(c.name);
        events.clear();
        startListening();
        auto recogniser = world.made().back();
        const int cancelledBefore = recogniser->cancelledCount();
        const size_t callsBefore = recogniser->calls().size();
        if (c.threadHeld)
            world.decodeThread.shut();
        else
            recogniser->script(FakeSpeechEngine::Reply::held("never"));
        world.deliverSilence(5);
        world.deliverSpeech(10);
        world.deliverSilence(12);  // the utterance ends and its decode hangs
        if (c.threadHeld)
            ASSERT_TRUE(world.decodeThread.waitForHeld());
        else
            ASSERT_TRUE(recogniser->waitForCalls(1));
        world.deliverSilence(5);
        world.deliverSpeech(10);  // a second utterance, in progress at the stop
        ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::level).size() == 42; }));
        events.clear();
        // A stop that joins the held thread would wait for it for good:
        // only a failure waits for this to let it go.
        std::atomic<bool> over{false};
        std::thread letGo([&] {
            testsupport::waitUntil([&] { return over.load(); }, 20s);
            world.decodeThread.open();
        });

        const auto began = std::chrono::steady_clock::now();
        engine->stopAndWait(200ms);
        const auto took = std::chrono::steady_clock::now() - began;
        const bool leftRunning = engine->threadsLeftRunning();
        over = true;
        letGo.join();
        EXPECT_GE(took, 200ms);
        EXPECT_LT(took, 60s);  // the held decode never ends: only the limit ends the stop
        EXPECT_EQ(recogniser->cancelledCount(), cancelledBefore + (c.threadHeld ? 0 : 1));
        EXPECT_TRUE(eventsOf(EventKind::final).empty());
        const auto kept = eventsOf(EventKind::undecoded);
        ASSERT_EQ(kept.size(), 2u);
        // The first is exactly the audio the cancelled decode was given; the
        // second, cut short by the stop, ends with the last speech frame heard.
        EXPECT_EQ(kept[0].samples.size(), recogniser->calls()[0].sampleCount);
        EXPECT_GE(kept[1].samples.size(), size_t(10) * kFrame);
        EXPECT_LE(kept[1].samples.size(), size_t(15) * kFrame);
        EXPECT_FLOAT_EQ(kept[1].samples.back(), speechFrame(9).back());
        EXPECT_LE(kept[0].end, kept[1].end);
        if (c.threadHeld) {
            EXPECT_TRUE(leftRunning);
            // Let go, the thread never takes the decode given up to the
            // recogniser.
            EXPECT_TRUE(world.runUntil([&] { return !engine->threadsLeftRunning(); }));
            EXPECT_EQ(recogniser->calls().size(), callsBefore);
        }
    }
}

// The stop that leaves the main loop running keeps stopAndWait()'s promises:
// the final comes first, `done` after it, and past the limit the decode is
// given up with its audio handed over, also when it still waits for a
// decoding thread that is held: that thread is left running, not waited for.
// Listening does not start meanwhile.
TEST_F(EngineTest, StopThenDeliversThroughTheMainLoopAndKeepsTheLimit) {
    struct Case {
        const char* name;
        bool overrun;  // the decode outlasts the limit
        bool threadHeld = false;
    };
    loadReady();
    engine->livePreview.set(false);
    // The held thread's row comes last: its audio is measured against what
    // the recogniser was given for the same utterance before.
    for (const Case c : {Case{"decode in time", false}, Case{"decode past the limit", true},
                         Case{"decoding thread held past the limit", true, true}}) {
        SCOPED_TRACE(c.name);
        startListening();
        auto recogniser = world.made().back();
        const size_t callsBefore = recogniser->calls().size();
        if (c.threadHeld) {
            world.decodeThread.shut();
            world.speakOneUtterance(1.0);
            ASSERT_TRUE(world.decodeThread.waitForHeld());
        } else {
            recogniser->script(FakeSpeechEngine::Reply::held("last words"));
            world.speakOneUtterance(1.0);
            ASSERT_TRUE(recogniser->waitForCalls(callsBefore + 1));
        }
        world.main.runPending();
        events.clear();
        // A stop that joins the held thread holds the test too: only a
        // failure waits for this to let it go.
        std::atomic<bool> over{false};
        std::thread letGo([&] {
            testsupport::waitUntil([&] { return over.load(); }, 20s);
            world.decodeThread.open();
        });
        struct LetGo {
            std::atomic<bool>& over;
            std::thread& thread;
            ~LetGo() {
                over = true;
                thread.join();
            }
        } letGoAtEnd{over, letGo};

        std::vector<std::string> order;
        engine->onDrainWaits = [&] { order.push_back("waits"); };
        engine->stopThen([&] { order.push_back("done"); }, 200ms);
        engine->start();  // refused while stopping
        EXPECT_FALSE(engine->isRecording.peek());
        // Nothing arrives without the main loop, and the held decode keeps
        // the stop from ending however long the loop runs before the limit.
        // The wait is told only once the session's worker has stopped the
        // capture, which on a busy machine may take far longer than a turn.
        EXPECT_TRUE(events.empty());
        ASSERT_TRUE(world.runUntil([&] { return !order.empty(); }));
        world.runUntil([] { return false; }, 50ms);
        EXPECT_EQ(order, std::vector<std::string>{"waits"});
        if (c.overrun)
            world.main.advance(200ms);
        else
            recogniser->release();
        ASSERT_TRUE(world.runUntil([&] { return order.back() == "done"; }));
        const auto finals = eventsOf(EventKind::final);
        const auto kept = eventsOf(EventKind::undecoded);
        if (c.overrun) {
            EXPECT_TRUE(finals.empty());
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(kept[0].samples.size(), recogniser->calls().back().sampleCount);
            // A decode that hears the stop is joined as it returns, but for a
            // machine too busy to let it return within the engine's grace.
            if (c.threadHeld) {
                EXPECT_TRUE(engine->threadsLeftRunning());
            }
        } else {
            ASSERT_EQ(finals.size(), 1u);
            EXPECT_EQ(finals[0].text, "last words");
            EXPECT_TRUE(kept.empty());
        }
        EXPECT_EQ(order, (std::vector<std::string>{"waits", "done"}));
        EXPECT_EQ(world.backend->runningCount(), 0);
        world.main.advance(1s);  // a limit that passes afterwards changes nothing
        world.main.runPending();
        EXPECT_EQ(order.size(), 2u);
        if (c.threadHeld) {
            // Let go, the thread never takes the decode given up to the
            // recogniser.
            world.decodeThread.open();
            EXPECT_TRUE(world.runUntil([&] { return !engine->threadsLeftRunning(); }));
            EXPECT_EQ(recogniser->calls().size(), callsBefore);
        }
    }
}

TEST_F(EngineTest, FinalsReachTheSinkAndDecodeFailuresShowWhileListeningGoesOn) {
    loadReady();
    engine->livePreview.set(false);  // the session then decodes finals only
    startListening();
    auto recogniser = world.made().back();
    recogniser->script(FakeSpeechEngine::Reply::fail("model exploded"));
    recogniser->script(FakeSpeechEngine::Reply::say("second try"));

    world.speakOneUtterance(1.0);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 1; }));
    EXPECT_EQ(engine->modelState.peek(), ModelState::failed("Decode failed: model exploded"));
    EXPECT_TRUE(engine->isRecording.peek());
    EXPECT_FALSE(engine->captureStopped());
    EXPECT_FALSE(engine->modelLoadFailed());
    EXPECT_EQ(eventsOf(EventKind::final)[0].text, "");

    world.speakOneUtterance(1.0);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 2; }));
    EXPECT_EQ(eventsOf(EventKind::final)[1].text, "second try");
    EXPECT_EQ(eventsOf(EventKind::speechStarted).size(), 2u);
    EXPECT_FALSE(eventsOf(EventKind::level).empty());
    // The failed state stays until the model is loaded again.
    EXPECT_EQ(engine->modelState.peek().kind, ModelState::Kind::failed);
    engine->loadModel();
    EXPECT_TRUE(world.runUntil([&] { return engine->modelState.peek() == ModelState::ready(); }));
}

TEST_F(EngineTest, PreviewsFollowLivePreview) {
    struct Case {
        const char* name;
        bool onAtStart;
        bool onAfterStart;
        bool previewsDecoded;
    };
    const Case cases[] = {
        {"on", true, true, true},
        {"off at start: no preview decodes", false, false, false},
        {"switched off later: decoded but not delivered", true, false, true},
    };
    loadReady();
    engine->previewWanted = [] { return true; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        engine->livePreview.set(c.onAtStart);
        startListening();
        engine->livePreview.set(c.onAfterStart);
        auto recogniser = world.made().back();
        const size_t callsBefore = recogniser->calls().size();
        // Two seconds of speech make a preview job; the utterance ends only
        // after that decode, so the preview is not stale when it returns.
        world.deliverSilence(5);
        world.deliverSpeech(20);
        if (c.previewsDecoded) {
            ASSERT_TRUE(recogniser->waitForCalls(callsBefore + 1));
        }
        if (c.onAfterStart) {
            ASSERT_TRUE(world.runUntil([&] { return !eventsOf(EventKind::preview).empty(); }));
        }
        world.deliverSilence(12);
        ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 1; }));
        const size_t decodes = recogniser->calls().size() - callsBefore;
        EXPECT_EQ(decodes > 1, c.previewsDecoded) << decodes;
        EXPECT_EQ(!eventsOf(EventKind::preview).empty(), c.onAfterStart);
        engine->stopAndWait();
        ASSERT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
    }
}

TEST_F(EngineTest, StoppingMidUtteranceReportsStoppedBeforeTheFlushedFinal) {
    loadReady();
    engine->livePreview.set(false);
    startListening();
    world.deliverSilence(5);
    world.deliverSpeech(10);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::level).size() == 15; }));
    events.clear();
    engine->stop();
    ASSERT_TRUE(world.runUntil([&] { return !eventsOf(EventKind::final).empty(); }));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], Event::level(0));
    EXPECT_EQ(events[1], Event::stopped());
    EXPECT_EQ(events.back().kind, EventKind::final);
    EXPECT_EQ(events.back().text, "hello world");
}

// What a session emitted just before a stop waits for the main thread; once
// the engine has said "stopped", a level, a speech start or a preview
// arriving late would leave the meter up or the speaking flag on with nothing
// to reset them. The final of the stopped utterance still arrives.
TEST_F(EngineTest, LevelsSpeechStartsAndPreviewsOfAStoppedSessionArrivingLateAreDropped) {
    struct Case {
        const char* name;
        bool preview;     // a preview of the utterance is waiting too
        bool startAgain;  // listening starts again before they arrive
    };
    const Case cases[] = {
        {"stopped", false, false},
        {"stopped with a preview waiting", true, false},
        {"started again", false, true},
        {"started again with a preview waiting", true, true},
    };
    loadReady();
    engine->previewWanted = [] { return true; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine->livePreview.set(c.preview);
        startListening();
        auto recogniser = world.made().back();
        const size_t callsBefore = recogniser->calls().size();
        if (c.preview) recogniser->script(FakeSpeechEngine::Reply::held("half a sent"));
        // Nothing runs on the main thread from here until the stop: each
        // event the session emits waits there as one task.
        const size_t waiting = world.main.pendingCount();
        world.deliverSilence(5);
        world.deliverSpeech(20);
        if (c.preview) {
            ASSERT_TRUE(recogniser->waitForCalls(callsBefore + 1));
            recogniser->release();
        }
        // 25 levels, a speech start and perhaps a preview.
        const size_t emitted = 26 + (c.preview ? 1 : 0);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (world.main.pendingCount() < waiting + emitted &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_GE(world.main.pendingCount(), waiting + emitted);

        events.clear();
        engine->stop();
        EXPECT_EQ(events, (std::vector<Event>{Event::level(0), Event::stopped()}));
        if (c.startAgain) engine->start();
        ASSERT_TRUE(world.runUntil([&] { return !eventsOf(EventKind::final).empty(); }));
        world.runUntil([] { return false; }, 20ms);
        size_t late = 0;
        for (size_t i = 2; i < events.size(); ++i) late += events[i].kind != EventKind::final;
        EXPECT_EQ(late, 0u) << "events after stopped: " << events.size() - 2;
        EXPECT_EQ(eventsOf(EventKind::final).back().text, "hello world");
        EXPECT_EQ(engine->isRecording.peek(), c.startAgain);
        engine->stopAndWait();
        ASSERT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
    }
}

TEST_F(EngineTest, ALostMicrophoneShowsWhyAndListeningCanBeResumed) {
    struct Case {
        const char* name;
        std::function<void()> lose;
        std::string message;
    };
    const Case cases[] = {
        {"the capture gives up",
         [&] {
             for (int n = 0; n < 6; ++n) {
                 world.backend->changeConfiguration(true);
                 world.main.runPending();
                 world.main.advance(300ms);
             }
         },
         "Audio capture stopped after too many device changes."},
        {"no input device after a change",
         [&] {
             world.backend->changeConfiguration(true);
             world.main.runPending();
             {
                 auto lock = world.backend->lock();
                 world.backend->script().format = {0, 0};
             }
             world.main.advance(300ms);
         },
         TranscriptionEngine::microphoneLostMessage("No usable input device")},
    };
    loadReady();
    engine->livePreview.set(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        startListening();
        world.deliverSilence(5);
        world.deliverSpeech(10);
        ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::level).size() == 15; }));

        c.lose();
        ASSERT_TRUE(world.runUntil([&] {
            return engine->modelState.peek() == ModelState::failed(c.message) &&
                   eventsOf(EventKind::final).size() == 1;
        }));
        EXPECT_EQ(eventsOf(EventKind::final)[0].text, "hello world");
        EXPECT_EQ(world.backend->runningCount(), 0);
        EXPECT_TRUE(engine->captureStopped());

        // The listen toggle opens the microphone again; "Retry" reloads.
        engine->stop();
        {
            auto lock = world.backend->lock();
            world.backend->script().format = {16000, 1};
        }
        startListening();
        EXPECT_FALSE(engine->captureStopped());
        world.speakOneUtterance(1.0);
        ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 2; }));
        engine->loadModel();
        ASSERT_TRUE(
            world.runUntil([&] { return engine->modelState.peek() == ModelState::ready(); }));
        engine->stopAndWait();
        ASSERT_TRUE(world.runUntil([&] { return world.backend->runningCount() == 0; }));
    }
}

TEST_F(EngineTest, AMicrophoneThatComesBackIsListenedToAgainWithTheStateTold) {
    loadReady();
    engine->livePreview.set(false);
    startListening();
    states.clear();
    // The audio server goes away: the stream ends and reopening fails.
    {
        auto lock = world.backend->lock();
        world.backend->script().openFailure = "Connection refused";
    }
    world.backend->changeConfiguration(true);
    world.main.runPending();
    world.main.advance(300ms);
    ASSERT_TRUE(world.runUntil([&] { return !states.empty(); }));
    const auto lost =
        ModelState::failed(TranscriptionEngine::microphoneLostMessage("Connection refused"));
    EXPECT_EQ(states, std::vector<ModelState>{lost});
    EXPECT_TRUE(engine->isRecording.peek());  // still listening, as far as the user asked
    EXPECT_TRUE(engine->captureStopped());    // but hearing nothing

    world.main.advance(600ms + 1200ms);  // two more failed attempts: nothing new to say
    world.runUntil([] { return false; }, 20ms);
    EXPECT_EQ(states, std::vector<ModelState>{lost});

    {
        auto lock = world.backend->lock();
        world.backend->script().openFailure.reset();
    }
    world.main.advance(2400ms);
    ASSERT_TRUE(world.runUntil([&] { return states.size() == 2; }));
    EXPECT_EQ(states.back(), ModelState::ready());
    EXPECT_FALSE(engine->captureStopped());
    EXPECT_EQ(world.backend->runningCount(), 1);
    world.speakOneUtterance(1.0);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 1; }));
    EXPECT_EQ(eventsOf(EventKind::final)[0].text, "hello world");
}

TEST_F(EngineTest, ADecodeFailureShownWhileTheMicrophoneWasGoneStays) {
    loadReady();
    engine->livePreview.set(false);
    startListening();
    world.made().back()->script(FakeSpeechEngine::Reply::fail("model exploded"));
    world.deliverSilence(5);
    world.deliverSpeech(10);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::level).size() == 15; }));
    {
        auto lock = world.backend->lock();
        world.backend->script().openFailure = "Connection refused";
    }
    world.backend->changeConfiguration(true);
    world.main.runPending();
    world.main.advance(300ms);
    // The utterance cut short is decoded (and fails) after the loss is told.
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 1; }));
    EXPECT_EQ(engine->modelState.peek(), ModelState::failed("Decode failed: model exploded"));
    {
        auto lock = world.backend->lock();
        world.backend->script().openFailure.reset();
    }
    world.main.advance(600ms);
    ASSERT_TRUE(world.waitForMicrophone());
    world.runUntil([] { return false; }, 20ms);
    EXPECT_EQ(engine->modelState.peek(), ModelState::failed("Decode failed: model exploded"));
}

TEST_F(EngineTest, ARebuiltMicrophoneLeavesTheModelReady) {
    loadReady();
    engine->livePreview.set(false);
    startListening();
    world.backend->changeConfiguration(true);
    world.main.runPending();
    world.main.advance(300ms);
    ASSERT_EQ(world.backend->runningCount(), 1);
    world.speakOneUtterance(1.0);
    ASSERT_TRUE(world.runUntil([&] { return eventsOf(EventKind::final).size() == 1; }));
    EXPECT_EQ(engine->modelState.peek(), ModelState::ready());
    EXPECT_TRUE(engine->isRecording.peek());
}

TEST_F(EngineTest, OfTwoLoadsTheLastToFinishProvidesTheRecogniser) {
    installStandardPack(env.dataPath());
    engine->loadModel();
    engine->loadModel();
    ASSERT_TRUE(world.runUntil([&] { return readyCalls == 2; }));
    EXPECT_EQ(engine->modelState.peek(), ModelState::ready());
    ASSERT_EQ(world.made().size(), 2u);
    engine->livePreview.set(false);
    startListening();
    world.speakOneUtterance(1.0);
    ASSERT_TRUE(world.runUntil([&] { return !eventsOf(EventKind::final).empty(); }));
    EXPECT_TRUE(world.made()[0]->calls().empty());
    EXPECT_EQ(world.made()[1]->calls().size(), 1u);
}

// A pack folder lacking a part is installed over by the application's own
// installer (what it lacked told once, the progress as usual), then loaded.
TEST_F(EngineTest, AnIncompletePackIsInstalledOverNamingWhatItLacked) {
    const auto folder = env.dataPath() / "Verbolin" / "models" / "standard-v1";
    testsupport::LocalHttpServer packServer;
    testsupport::ZipBuilder zip;
    zip.file("standard-v1/TextDecoder.mlmodelc/model.mil", "served")
        .file("standard-v1/tokenizer/tokenizer.json", "{}");
    packServer.set("/models/standard-v1.zip", testsupport::LocalHttpServer::Reply::ok(zip.bytes()));
    auto services = world.services();
    services.install = {};  // the application's own installer
    services.downloads.serverRoot = packServer.root();
    struct Case {
        std::vector<std::string> present;
        std::string lacked;
    };
    const Case cases[] = {
        {{"TextDecoder.mlmodelc/model.json"}, "tokenizer/tokenizer.json"},
        {{"tokenizer/tokenizer.json"}, "TextDecoder.mlmodelc"},
        {{"AudioEncoder.mlmodelc/model.json"}, "TextDecoder.mlmodelc, tokenizer/tokenizer.json"},
    };
    const auto usualText = [](const ModelState& state) {
        const std::string& m = state.message;
        return state == ModelState::ready() || m == "Downloading speech model (130 MB)\u2026" ||
               m == "Installing speech model\u2026" ||
               m == TranscriptionEngine::kPreparingMessage ||
               (m.starts_with("Downloading speech model\u2026 ") && m.ends_with(" MB") &&
                m.find('(') == std::string::npos);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lacked);
        std::filesystem::remove_all(folder);
        for (const auto& file : c.present) {
            std::filesystem::create_directories((folder / file).parent_path());
            std::ofstream(folder / file) << "{}";
        }
        states.clear();
        notices.clear();
        readyCalls = 0;
        engine = std::make_unique<TranscriptionEngine>(services);
        engine->noticeSink = [this](const std::string& text) { notices.push_back(text); };
        engine->onModelReady = [this] { ++readyCalls; };
        stateToken =
            engine->modelState.observe([this] { states.push_back(engine->modelState.peek()); });
        engine->loadModel();
        ASSERT_TRUE(world.runUntil(
            [&] { return engine->modelState.peek().kind != ModelState::Kind::loading; }, 60s));
        EXPECT_EQ(engine->modelState.peek(), ModelState::ready());
        ASSERT_GE(states.size(), 4u);
        EXPECT_EQ(states.front(), ModelState::loading("Downloading speech model (130 MB)\u2026"));
        EXPECT_NE(std::find(states.begin(), states.end(),
                            ModelState::loading("Installing speech model\u2026")),
                  states.end());
        for (const auto& state : states) EXPECT_TRUE(usualText(state)) << state.message;
        EXPECT_EQ(notices,
                  std::vector<std::string>{"The speech model pack at " + folder.string() +
                                           " lacks " + c.lacked + "; it is installed again."});
        EXPECT_EQ(testsupport::readFile(folder / "TextDecoder.mlmodelc/model.mil"), "served");
        EXPECT_FALSE(std::filesystem::exists(folder / "AudioEncoder.mlmodelc"))
            << "the old folder was not replaced";
        // Loading the pack now in place says nothing more.
        engine->loadModel();
        ASSERT_TRUE(world.runUntil([&] { return readyCalls == 2; }));
        EXPECT_EQ(notices.size(), 1u);
    }
    EXPECT_EQ(world.installCalls, 0);
}
