#pragma once
// Shared pieces for the application tests: an environment with private data
// and settings folders, a fake microphone and a scripted recogniser per model
// load, the main executor on virtual time, and scripted window and
// application hosts.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "support/ThreadGate.hpp"
#include "verbolin/app/AppHost.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/WindowHost.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"
#include "verbolin/settings/MemoryDefaults.hpp"

namespace apptest {

using namespace std::chrono_literals;
using testsupport::FakeSpeechEngine;
using testsupport::ScopedEnv;
using verbolin::TranscriptionEngine;
using Event = TranscriptionEngine::Event;
using EventKind = TranscriptionEngine::Event::Kind;
using ModelState = TranscriptionEngine::ModelState;

constexpr size_t kFrame = 1600;

// A 440 Hz tone at RMS 0.35, well above the voice threshold.
inline std::vector<float> speechFrame(size_t frameIndex) {
    std::vector<float> f(kFrame);
    for (size_t i = 0; i < kFrame; ++i)
        f[i] =
            0.5f * float(std::sin(2.0 * M_PI * 440.0 * double(frameIndex * kFrame + i) / 16000.0));
    return f;
}

// Makes the standard pack look installed in the current data folder.
inline void installStandardPack(const std::filesystem::path& dataHome) {
    auto folder = dataHome / "Verbolin" / "models" / "standard-v1";
    for (const char* part :
         {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc", "tokenizer"})
        std::filesystem::create_directories(folder / part);
    std::ofstream(folder / "tokenizer" / "tokenizer.json") << "{}";
}

// The process environment of one test, restored afterwards. The variables
// the application reads start out unset in effect (empty).
class TestEnvironment {
  public:
    testsupport::TempDir home;
    ScopedEnv dataHome{"XDG_DATA_HOME", (home.path() / "data").string()};
    ScopedEnv configHome{"XDG_CONFIG_HOME", (home.path() / "config").string()};
    // Where changes that cannot be saved wait.
    ScopedEnv stateHome{"XDG_STATE_HOME", (home.path() / "state").string()};
    ScopedEnv inputDevice{"VERBOLIN_INPUT_DEVICE", ""};
    ScopedEnv voiceProcessing{"VERBOLIN_VOICE_PROCESSING", ""};
    ScopedEnv autoStart{"VERBOLIN_AUTOSTART", ""};
    ScopedEnv packServer{"VERBOLIN_PACK_SERVER", ""};

    std::filesystem::path dataPath() const { return home.path() / "data"; }
};

// Everything an engine needs, with hooks for the test: the recogniser each
// model load makes, the installer, and the microphone.
class EngineWorld {
  public:
    EngineWorld() : main(clock), backend(std::make_shared<platform::FakeAudioBackend>()) {
        backend->script().format = {16000, 1};
        backend->script().devices = {{7, "Built-in Audio", 2}};
    }

    TranscriptionEngine::Services services() {
        TranscriptionEngine::Services s;
        s.main = &main;
        s.defaults = &defaults;
        s.backend = backend;
        s.clock = &clock;
        s.recorder = nullptr;
        s.beforeDecoding = decodeThread.hook();
        s.makeEngine =
            [this](
                const verbolin::EngineChoice& choice) -> std::shared_ptr<verbolin::SpeechEngine> {
            auto fake = std::make_shared<FakeSpeechEngine>();
            std::lock_guard lock(m_);
            choices_.push_back(choice);
            if (prepareFailure) fake->failPrepare(*prepareFailure);
            fake->setDefault(FakeSpeechEngine::Reply::say(reply));
            made_.push_back(fake);
            return fake;
        };
        s.install = [this](const verbolin::ModelPack& pack,
                           verbolin::ModelDownloader::ProgressFn progress, std::stop_token stop,
                           verbolin::ModelDownloader::Existing) {
            ++installCalls;
            {
                // Two applications over one world install on two threads.
                std::lock_guard lock(m_);
                installStop_ = stop;
            }
            if (installer) installer(pack, progress);
        };
        return s;
    }

    // An application model's services over this world, its store in `storeDirectory`.
    verbolin::AppModel::Services appServices(const std::filesystem::path& storeDirectory) {
        verbolin::AppModel::Services s;
        s.main = &main;
        s.defaults = &defaults;
        s.storeDirectory = storeDirectory;
        s.engine = services();
        return s;
    }

    // Runs main-executor tasks until `done` holds; false after `timeout`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
        const auto limit = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < limit) {
            main.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        main.runPending();
        return done();
    }

    // Waits until one capture stream is running.
    bool waitForMicrophone(int streams = 1) {
        return runUntil([&] { return backend->runningCount() == streams; });
    }

    void deliverSpeech(int frames) {
        for (int i = 0; i < frames; ++i) backend->deliver(speechFrame(size_t(i)));
    }
    void deliverSilence(int frames) {
        for (int i = 0; i < frames; ++i) backend->deliver(std::vector<float>(kFrame, 0.0f));
    }
    // Half a second of silence, `seconds` of tone, and enough silence to end it.
    void speakOneUtterance(double seconds) {
        deliverSilence(5);
        deliverSpeech(int(seconds * 10));
        deliverSilence(12);
    }

    std::vector<std::shared_ptr<FakeSpeechEngine>> made() const {
        std::lock_guard lock(m_);
        return made_;
    }
    std::vector<verbolin::EngineChoice> choices() const {
        std::lock_guard lock(m_);
        return choices_;
    }

    platform::VirtualClock clock;
    platform::ManualMainExecutor main;
    verbolin::MemoryDefaults defaults;
    std::shared_ptr<platform::FakeAudioBackend> backend;
    // Open unless a test shuts it: holds the decoding thread of every
    // session before it takes up a decode.
    testsupport::ThreadGate decodeThread;

    // Read by the factory on the loading thread; set them before loadModel().
    std::optional<std::string> prepareFailure;
    std::string reply = "hello world";
    std::function<void(const verbolin::ModelPack&, verbolin::ModelDownloader::ProgressFn)>
        installer;
    // The running install's, for the installer to watch.
    std::stop_token installStop() const {
        std::lock_guard lock(m_);
        return installStop_;
    }
    std::atomic<int> installCalls{0};

  private:
    mutable std::mutex m_;
    std::stop_token installStop_;
    std::vector<std::shared_ptr<FakeSpeechEngine>> made_;
    std::vector<verbolin::EngineChoice> choices_;
};

class FakeWindow : public verbolin::WindowHost {
  public:
    bool visible = true;
    bool miniaturized = false;
    bool occlusionVisible = true;
    bool key = true;
    int level = -1;
    int behavior = -1;
    std::vector<std::string> calls;

    bool isVisible() const override { return visible; }
    bool isMiniaturized() const override { return miniaturized; }
    bool isOcclusionVisible() const override { return occlusionVisible; }
    bool isKeyWindow() const override { return key; }
    void makeKeyAndOrderFront() override { calls.push_back("front"); }
    void orderOut() override { calls.push_back("out"); }
    void setLevel(int l) override { level = l; }
    void setCollectionBehavior(unsigned b) override { behavior = int(b); }
};

class FakeApp : public verbolin::AppHost {
  public:
    bool hidden = false;
    bool active = true;
    std::vector<std::string> calls;

    bool isHidden() const override { return hidden; }
    bool isActive() const override { return active; }
    void activate(bool ignoringOtherApps) override {
        calls.push_back(ignoringOtherApps ? "activate(ignoring)" : "activate");
    }
    void observeWindowChanges(std::function<void()> onChange) override {
        observers.push_back(std::move(onChange));
    }

    // Reports a window or application change, as the shell would.
    void notify() {
        for (auto& o : observers) o();
    }

    std::vector<std::function<void()>> observers;
};

}  // namespace apptest
