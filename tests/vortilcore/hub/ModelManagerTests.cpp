#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/VortilCoreError.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/ModelManager.hpp"

using hubtest::errorText;
using vortil::ModelManager;
using vortil::ModelState;
using enum vortil::ModelState;

namespace {

using Transition = std::pair<ModelState, ModelState>;

// A loader that records its calls and can be made to fail or to hold.
struct FakeLoader : vortil::ModelLoader {
    std::optional<std::string> folder;
    std::string resolved = "/models/resolved";
    std::function<void()> onResolve;  // may throw or block
    std::function<void(bool prewarm)> onLoad;
    const vortil::ModelDownloader* seenDownloader = nullptr;

    std::atomic<int> resolves{0};
    std::atomic<int> unloads{0};
    std::mutex m;
    std::vector<std::pair<std::string, bool>> loads;

    std::optional<std::string> modelFolder() const override { return folder; }
    std::string resolveModels(const vortil::ModelDownloader& downloader, const ProgressCallback&) override {
        seenDownloader = &downloader;
        ++resolves;
        if (onResolve) onResolve();
        return resolved;
    }
    void load(const std::string& path, bool prewarm) override {
        {
            std::lock_guard g(m);
            loads.emplace_back(path, prewarm);
        }
        if (onLoad) onLoad(prewarm);
    }
    void unload() noexcept override { ++unloads; }
};

struct Fixture {
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    std::shared_ptr<vortil::ModelDownloader> downloader =
        std::make_shared<vortil::ModelDownloader>("http://127.0.0.1:9", "o/r", std::nullopt, "main", false);
    ModelManager manager{loader, downloader};
    std::mutex m;
    std::vector<Transition> transitions;
    std::map<ModelState, bool> availableIn;

    Fixture() {
        // Reading the manager from its own callback must not deadlock.
        manager.setModelStateCallback([this](ModelState from, ModelState to) {
            const bool available = manager.isAvailable();
            std::lock_guard g(m);
            transitions.emplace_back(from, to);
            availableIn[to] = available;
        });
    }
};

}  // namespace

TEST(ModelManager, StateSequencesFollowTheRequests) {
    struct Case {
        const char* name;
        std::optional<std::string> folder;
        std::string ops;  // d download, p prewarm, l load, u unload
        std::vector<Transition> transitions;
        std::vector<std::pair<std::string, bool>> loads;
        int resolves;
    };
    const std::string got = "/models/resolved";
    const std::vector<Case> cases = {
        {"folder, load", "/m", "l", {{unloaded, downloaded}, {downloaded, loading}, {loading, loaded}}, {{"/m", false}}, 0},
        {"load, load again, unload",
         std::nullopt,
         "llu",
         {{unloaded, downloading}, {downloading, downloaded}, {downloaded, loading}, {loading, loaded},
          {loaded, unloading}, {unloading, unloaded}},
         {{got, false}},
         1},
        {"prewarm, prewarm again, load",
         std::nullopt,
         "ppl",
         {{unloaded, downloading}, {downloading, downloaded}, {downloaded, prewarming}, {prewarming, prewarmed},
          {prewarmed, loading}, {loading, loaded}},
         {{got, true}, {got, false}},
         1},
        {"download, unload does nothing, prewarm, unload",
         std::nullopt,
         "dupu",
         {{unloaded, downloading}, {downloading, downloaded}, {downloaded, prewarming}, {prewarming, prewarmed},
          {prewarmed, unloading}, {unloading, unloaded}},
         {{got, true}},
         1},
        {"unload and download twice from a folder", "/m", "udd", {{unloaded, downloaded}}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.loader->folder = c.folder;
        for (char op : c.ops) {
            if (op == 'd') f.manager.downloadModels();
            if (op == 'p') f.manager.prewarmModels();
            if (op == 'l') f.manager.loadModels();
            if (op == 'u') f.manager.unloadModels();
        }
        EXPECT_EQ(f.transitions, c.transitions);
        EXPECT_EQ(f.loader->loads, c.loads);
        EXPECT_EQ(f.loader->resolves, c.resolves);
        EXPECT_EQ(f.manager.modelPath(), std::filesystem::path(c.folder.value_or(got)));
        if (c.resolves) {
            EXPECT_EQ(f.loader->seenDownloader, f.downloader.get());
        }
    }
    Fixture f;
    f.manager.loadModels();
    f.manager.unloadModels();
    f.manager.prewarmModels();
    const std::map<ModelState, bool> available = {{downloading, false}, {downloaded, true}, {loading, true},
                                                  {loaded, true},       {unloading, false}, {unloaded, false},
                                                  {prewarming, false},  {prewarmed, false}};
    EXPECT_EQ(f.availableIn, available);
}

TEST(ModelManager, FailuresAndRefusalsLeaveASoundState) {
    struct Case {
        const char* name;
        bool failResolve, failLoad, failPrewarm;
        std::string ops;
        std::string error;
        ModelState end;
        bool hasPath;
    };
    const std::vector<Case> cases = {
        {"prewarm when loaded", false, false, false, "lp", "Cannot prewarm in state: Loaded", loaded, true},
        {"download fails", true, false, false, "l", "resolve failed", unloaded, false},
        {"load fails", false, true, false, "l", "load failed", unloaded, true},
        {"prewarm fails", false, false, true, "p", "prewarm failed", unloaded, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.failResolve) f.loader->onResolve = [] { throw std::runtime_error("resolve failed"); };
        f.loader->onLoad = [&](bool prewarm) {
            if (prewarm ? c.failPrewarm : c.failLoad) throw std::runtime_error(prewarm ? "prewarm failed" : "load failed");
        };
        const std::string error = errorText([&] {
            for (char op : c.ops) op == 'p' ? f.manager.prewarmModels() : f.manager.loadModels();
        });
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(f.manager.modelState(), c.end);
        EXPECT_EQ(f.manager.modelPath().has_value(), c.hasPath);
        for (const auto& [from, to] : f.transitions) EXPECT_NE(from, to);
    }
}

TEST(ModelManager, TenConcurrentEnsureCallsShareOneDownloadAndLoad) {
    for (const bool loadFails : {false, true}) {
        SCOPED_TRACE(loadFails ? "load fails" : "load succeeds");
        Fixture f;
        std::atomic<int> started{0};
        f.loader->onResolve = [&] {
            // Hold the shared work until every caller has come in to join it.
            while (started < 10) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        };
        f.loader->onLoad = [&](bool) {
            if (loadFails) throw std::runtime_error("bad weights");
        };
        std::atomic<int> failed{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 10; ++i) {
            callers.emplace_back([&] {
                ++started;
                failed += errorText([&] { f.manager.ensureModelsLoaded(); }) == "bad weights";
            });
        }
        // Reading and replacing the callback while the load runs is safe.
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done) {
                (void)f.manager.modelPath();
                f.manager.setModelStateCallback(f.manager.modelStateCallback());
            }
        });
        for (auto& t : callers) t.join();
        done = true;
        reader.join();
        EXPECT_EQ(f.loader->resolves, 1);
        EXPECT_EQ(f.loader->loads.size(), 1u);
        EXPECT_EQ(failed, loadFails ? 10 : 0);
        EXPECT_EQ(f.manager.modelState(), loadFails ? unloaded : loaded);

        // The next call retries after a failure and returns at once after a success.
        f.loader->onResolve = nullptr;
        f.loader->onLoad = nullptr;
        f.manager.ensureModelsLoaded();
        EXPECT_EQ(f.loader->resolves, loadFails ? 2 : 1);
        EXPECT_EQ(f.loader->loads.size(), loadFails ? 2u : 1u);
        EXPECT_TRUE(f.manager.isLoaded());
    }
}

TEST(ModelManager, LoadDuringADownloadReportsTheMissingPath) {
    Fixture f;
    std::mutex m;
    std::condition_variable cv;
    bool inResolve = false, release = false;
    f.loader->onResolve = [&] {
        std::unique_lock lock(m);
        inResolve = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    std::thread download([&] { f.manager.downloadModels(); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return inResolve; });
    }
    EXPECT_EQ(errorText([&] { f.manager.loadModels(); }),
              "No model path available. Call downloadModels() first, or provide modelFolder.");
    f.loader->folder = "/m";
    EXPECT_EQ(errorText([&] { f.manager.prewarmModels(); }), "Cannot prewarm in state: Downloading");
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    download.join();
    EXPECT_EQ(f.manager.modelState(), downloaded);
}

TEST(ModelManager, LogLinesNameTheDynamicClass) {
    struct QuietManager : ModelManager {
        using ModelManager::ModelManager;
    };
    std::vector<std::string> lines;
    vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::debug);
    vortil::Logging::updateCallback([&](const std::string& line) { lines.push_back(line); });
    Fixture f;
    f.loader->folder = "/m";
    QuietManager quiet(f.loader, f.downloader);
    f.manager.loadModels();
    quiet.downloadModels();
    quiet.downloadModels();
    vortil::Logging::updateCallback(nullptr);
    vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    const std::vector<std::string> expected = {
        "[ModelManager] modelFolder is set, skipping download", "[ModelManager] Models loaded successfully",
        "[QuietManager] modelFolder is set, skipping download",
        "[QuietManager] Models already downloaded (state: Downloaded), skipping download"};
    EXPECT_EQ(lines, expected);
}
