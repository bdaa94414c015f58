#include <gtest/gtest.h>

#include "support/HubTestEnvironment.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/ModelDownloader.hpp"

using hubtest::errorText;
using hubtest::FakeHub;
using vortil::ModelDownloader;
using vortil::ModelInfo;
using vortil::ModelState;
namespace fs = std::filesystem;

namespace {

// A hub offering one model, n/v1/q, holding the compiled model "Enc" and a
// loose file, plus an unrelated folder.
struct ModelHub {
    testsupport::HubTestEnvironment env;
    FakeHub hub;
    ModelInfo info{"v1", "q", "n", platform::ml::MLComputeUnits::all};

    ModelHub() {
        // Downloads without an explicit offline setting must not depend on the
        // machine's network.
        env.set("CI_DISABLE_NETWORK_MONITOR", "1");
        const std::vector<std::string> names = {"n/v1/q/Enc.mlmodelc/model.json",
                                                "n/v1/q/notes.txt", "other/x.txt"};
        hub.listing(names);
        for (size_t i = 0; i < names.size(); ++i) hub.file(names[i], hubtest::body(100 + i, i + 1));
    }
    ModelDownloader downloader(std::optional<std::string> modelFolder = std::nullopt) const {
        return ModelDownloader({(hub.temp.path() / "cache").string(), "owner/name", "tok",
                                std::move(modelFolder), false, hub.endpoint(), "main"});
    }
};

}  // namespace

TEST(ModelInfo, PatternFolderAndTexts) {
    // Without a version the pattern keeps a "*" level that the folder lacks.
    const ModelInfo noVersion{std::nullopt, "q", "n", static_cast<platform::ml::MLComputeUnits>(7)};
    EXPECT_EQ(noVersion.downloadPattern(), "n/*/q/*");
    EXPECT_EQ(noVersion.modelURL("/base"), fs::path("/base/n/q"));
    EXPECT_EQ(noVersion.description(), "n/q");
    EXPECT_EQ(noVersion.debugDescription(),
              "ModelInfo(name: n, version: nil, variant: q, computeUnit: unknown)");

    const std::vector<std::pair<fs::path, std::optional<fs::path>>> bases = {
        {"/", std::nullopt},       {"/n", fs::path("/")},  {"/a/n/v1/q", fs::path("/a")},
        {"/a/n/", fs::path("/a")}, {"/a/b", std::nullopt}, {"/a/nn/n2", std::nullopt}};
    for (const auto& [url, expected] : bases)
        EXPECT_EQ(noVersion.findBaseFolder(url), expected) << url;
}

TEST(ModelDownloader, ResolveModelLooksInFolderThenCacheThenDownloads) {
    struct Case {
        const char* name;
        bool inModelFolder;
        bool cachedFirst;  // an earlier download filled the cache
        bool download;
        std::string model;
        std::string expected;  // error text, or "no error"
        std::vector<ModelState> states;
    };
    using enum ModelState;
    const std::vector<Case> cases = {
        {"model folder", true, false, false, "Enc", "no error", {}},
        {"folder lacks it, cache has it", false, true, false, "Enc", "no error", {downloaded}},
        {"download", false, false, true, "Enc", "no error", {downloading, downloaded}},
        {"download disabled, empty cache",
         false,
         false,
         false,
         "Enc",
         "No model found for Enc (download disabled)",
         {}},
        {"downloaded folder lacks it",
         false,
         false,
         true,
         "Dec",
         "No model found for Dec",
         {downloading}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHub h;
        const fs::path local = h.hub.temp.path() / "local";
        if (c.inModelFolder)
            fs::create_directories(local / "n/v1/q/Enc.mlmodelc");
        else
            fs::create_directories(local / "n/v1/q");
        const ModelDownloader downloader = h.downloader(local.string());
        if (c.cachedFirst)
            downloader.resolveModel("Enc", h.info, std::nullopt, std::nullopt, true, {});

        std::vector<ModelState> states;
        fs::path result;
        EXPECT_EQ(errorText([&] {
                      result = downloader.resolveModel(c.model, h.info, std::nullopt, std::nullopt,
                                                       c.download,
                                                       [&](ModelState s) { states.push_back(s); });
                  }),
                  c.expected);
        EXPECT_EQ(states, c.states);
        if (c.expected != "no error") continue;
        const fs::path root = c.inModelFolder ? local : h.hub.repo();
        EXPECT_EQ(result, root / "n/v1/q/Enc.mlmodelc");
        EXPECT_TRUE(fs::exists(result));
        EXPECT_FALSE(fs::exists(h.hub.repo() / "other"))
            << "only the descriptor's folder is fetched";
    }
}

TEST(ModelDownloader, ResolveRepoUsesOnlyAValidLocalCopyWhenDownloadIsOff) {
    ModelHub h;
    const ModelDownloader downloader = h.downloader();
    EXPECT_EQ(downloader.localRepoLocation(std::nullopt),
              h.hub.temp.path() / "cache/models/owner/name");
    double lastFraction = -1;
    EXPECT_EQ(downloader.resolveRepo(
                  {"n/v1/*"}, std::nullopt, true,
                  [&](const auto& progress) { lastFraction = progress->fractionCompleted(); }),
              h.hub.repo());
    EXPECT_DOUBLE_EQ(lastFraction, 1.0);

    const std::string refused =
        "No valid local models found for repo 'owner/name' and download is disabled.";
    const auto resolveOffline = [&](const std::vector<std::string>& patterns) {
        return errorText([&] {
            EXPECT_EQ(downloader.resolveRepo(patterns, std::nullopt, false, {}), h.hub.repo());
        });
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"n/v1/*"}, "no error"},
        {{}, "no error"},
        {{"n/v1/*", "other/*"}, refused},
        {{"*/v1/*"}, refused},
        {{"n/v1/q/notes.txt"}, refused}};
    for (const auto& [patterns, expected] : cases) EXPECT_EQ(resolveOffline(patterns), expected);

    // The offline probe of a model still asks the hub for its listing, so it
    // fails without the hub even though the cache is complete.
    EXPECT_EQ(downloader.downloadModel(h.info, std::nullopt, true), h.hub.repo());
    h.hub.server.stop();
    EXPECT_NE(errorText([&] { downloader.downloadModel(h.info, std::nullopt, true); }), "no error");
    EXPECT_EQ(resolveOffline({"n/v1/*"}), "no error");

    hubtest::writeFile(h.hub.repo() / "n/v1/q/notes.txt", "changed");
    EXPECT_EQ(resolveOffline({"n/v1/*"}), refused);
}

TEST(ModelDownloader, ResolveRepoRepairsWhatFailsItsCheck) {
    ModelHub h;
    const ModelDownloader downloader = h.downloader();
    const std::string notes = "n/v1/q/notes.txt";
    const std::string model = "n/v1/q/Enc.mlmodelc/model.json";
    const std::string original = hubtest::body(101, 2);  // what the hub serves for notes.txt
    ASSERT_EQ(downloader.resolveRepo({"n/v1/*"}, std::nullopt, true, {}), h.hub.repo());
    const size_t modelGets = h.hub.count("GET", FakeHub::resolvePath(model));
    const size_t notesGets = h.hub.count("GET", FakeHub::resolvePath(notes));

    // Tampered after the download: the hub's commit still matches its side file.
    hubtest::writeFile(h.hub.repo() / notes, "tampered");
    EXPECT_EQ(downloader.resolveRepo({"n/v1/*"}, std::nullopt, true, {}), h.hub.repo());
    EXPECT_EQ(testsupport::readFile(h.hub.repo() / notes), original);
    EXPECT_EQ(h.hub.count("GET", FakeHub::resolvePath(notes)), notesGets + 1);
    EXPECT_EQ(h.hub.count("GET", FakeHub::resolvePath(model)), modelGets)
        << "an intact file is not fetched again";

    // Only partly there: refused without downloads, completed with them.
    const std::string sha = hubtest::sha256(original);
    fs::remove(h.hub.repo() / notes);
    fs::remove(h.hub.meta() / (notes + ".metadata"));
    hubtest::writeFile(h.hub.meta() / (notes + "." + sha + ".incomplete"), original.substr(0, 50));
    EXPECT_EQ(errorText([&] { downloader.resolveRepo({"n/v1/*"}, std::nullopt, false, {}); }),
              "No valid local models found for repo 'owner/name' and download is disabled.");
    EXPECT_EQ(downloader.resolveRepo({"n/v1/*"}, std::nullopt, true, {}), h.hub.repo());
    EXPECT_EQ(testsupport::readFile(h.hub.repo() / notes), original);
    EXPECT_EQ(h.hub.server.recorded().back().header("Range"), "bytes=50-");
}
