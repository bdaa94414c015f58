#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/ModelManager.hpp"

using hubtest::errorText;
using vortil::ModelManager;
using vortil::ModelState;
using enum vortil::ModelState;

namespace {

// A loader that records its calls; the hooks can make a step fail or hold.
struct FakeLoader : vortil::ModelLoader {
    std::optional<std::string> folder;
    std::function<void()> onResolve;
    std::function<void(bool prewarm)> onLoad;
    const vortil::ModelDownloader* seenDownloader = nullptr;
    std::atomic<int> resolves{0};
    std::vector<std::pair<std::string, bool>> loads;  // only the one loading thread writes it

    std::optional<std::string> modelFolder() const override { return folder; }
    std::string resolveModels(const vortil::ModelDownloader& downloader,
                              const ProgressCallback&) override {
        seenDownloader = &downloader;
        ++resolves;
        if (onResolve) onResolve();
        return "/models/resolved";
    }
    void load(const std::string& path, bool prewarm) override {
        loads.emplace_back(path, prewarm);
        if (onLoad) onLoad(prewarm);
    }
    void unload() noexcept override {}
};

struct Fixture {
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    std::shared_ptr<vortil::ModelDownloader> downloader = std::make_shared<vortil::ModelDownloader>(
        "http://127.0.0.1:9", "o/r", std::nullopt, "main", false);
    ModelManager manager{loader, downloader};
    std::mutex m;
    std::vector<ModelState>
        visited;  // each change's new state; each old state must be the last new one
    std::map<ModelState, bool> availableIn;

    Fixture() {
        // Reading the manager from its own callback must not deadlock.
        manager.setModelStateCallback([this](ModelState from, ModelState to) {
            const bool available = manager.isAvailable();
            std::lock_guard g(m);
            EXPECT_EQ(from, visited.empty() ? unloaded : visited.back());
            EXPECT_NE(from, to);
            visited.push_back(to);
            availableIn[to] = available;
        });
    }
    void run(const std::string& ops) {  // d download, p prewarm, l load, u unload
        for (char op : ops) {
            if (op == 'd') manager.downloadModels();
            if (op == 'p') manager.prewarmModels();
            if (op == 'l') manager.loadModels();
            if (op == 'u') manager.unloadModels();
        }
    }
};

}  // namespace

TEST(ModelManager, StateSequencesFollowTheRequests) {
    struct Case {
        std::optional<std::string> folder;
        std::string failing;  // the loader step that throws: "resolve", "load" or "prewarm"
        std::string ops;
        std::vector<ModelState> visited;
        std::string error = "no error";
    };
    const std::vector<Case> cases = {
        {"/m", "", "l", {downloaded, loading, loaded}},
        {std::nullopt, "", "llu", {downloading, downloaded, loading, loaded, unloading, unloaded}},
        {std::nullopt,
         "",
         "ppl",
         {downloading, downloaded, prewarming, prewarmed, loading, loaded}},
        {std::nullopt,
         "",
         "dupu",
         {downloading, downloaded, prewarming, prewarmed, unloading, unloaded}},
        {"/m", "", "udd", {downloaded}},
        {"/m", "", "lp", {downloaded, loading, loaded}, "Cannot prewarm in state: Loaded"},
        {std::nullopt, "resolve", "l", {downloading, unloaded}, "resolve failed"},
        {std::nullopt, "load", "l", {downloading, downloaded, loading, unloaded}, "load failed"},
        {"/m", "prewarm", "p", {downloaded, prewarming, unloaded}, "prewarm failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ops + " " + c.failing);
        Fixture f;
        f.loader->folder = c.folder;
        const auto fail = [&](const std::string& step) {
            if (step == c.failing) throw std::runtime_error(step + " failed");
        };
        f.loader->onResolve = [&] { fail("resolve"); };
        f.loader->onLoad = [&](bool prewarm) { fail(prewarm ? "prewarm" : "load"); };
        EXPECT_EQ(errorText([&] { f.run(c.ops); }), c.error);
        EXPECT_EQ(f.visited, c.visited);

        // Each load gets the resolved folder; prewarming asks for prewarm only.
        const std::string folder = c.folder.value_or("/models/resolved");
        std::vector<std::pair<std::string, bool>> loads;
        for (ModelState s : f.visited) {
            if (s == prewarming || s == loading) loads.emplace_back(folder, s == prewarming);
        }
        EXPECT_EQ(f.loader->loads, loads);
        EXPECT_EQ(f.manager.modelPath(), c.failing == "resolve"
                                             ? std::nullopt
                                             : std::optional<std::filesystem::path>(folder));
        if (!c.folder) {
            EXPECT_EQ(f.loader->seenDownloader, f.downloader.get());
        }
    }
    Fixture f;
    f.run("lup");
    const std::map<ModelState, bool> available = {
        {downloading, false}, {downloaded, true}, {loading, true},     {loaded, true},
        {unloading, false},   {unloaded, false},  {prewarming, false}, {prewarmed, false}};
    EXPECT_EQ(f.availableIn, available);
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
