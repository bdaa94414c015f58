#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "vortilcore/hub/DownloadTestSupport.hpp"

using hubtest::FakeHub;
using testsupport::LocalHttpServer;
using vortil::EnvironmentError;
using vortil::HubApi;
using vortil::HubClientError;
namespace fs = std::filesystem;

namespace {

const vortil::HubRepo kRepo{"owner/name", vortil::HubRepoType::models};

struct Call {
    int64_t total;
    double fraction;
    std::optional<double> throughput;
};

}  // namespace

TEST(Snapshot, OfflineChecksTheCachedCopyWithoutTheNetwork) {
    const std::string good = "{\"a\":1}";
    const std::string sha = hubtest::sha256(good);
    const std::string commit = FakeHub::kCommit;
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>>
            files;  // relative path (under the repo) and content
        std::vector<std::string> patterns;
        std::string expected;  // error text, or "no error"
    };
    const std::string side = ".cache/huggingface/download/";
    const std::vector<Case> cases = {
        {"no folder", {}, {}, "Offline mode error: Repository not available locally"},
        {"only the hidden folder",
         {{side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"}},
         {},
         "Offline mode error: No files available locally for this repository"},
        {"only a partial download",
         {{side + "a.json." + sha + ".incomplete", "{\"a"}},
         {},
         "Offline mode error: No files available locally for this repository"},
        {"patterns match nothing",
         {{"a.json", good}, {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"}},
         {"*.txt"},
         "Offline mode error: No files matching the requested patterns are available locally"},
        {"file without side file",
         {{"sub/dir/b.bin", "b"}},
         {},
         "Offline mode error: Metadata not available for b.bin"},
        {"changed file, digest etag",
         {{"a.json", "{\"a\":2}"}, {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"}},
         {},
         "File integrity check failed: Hash mismatch for a.json"},
        {"changed file, commit-like etag",
         {{"a.json", "{\"a\":2}"}, {side + "a.json.metadata", commit + "\n" + commit + "\n1.0\n"}},
         {},
         "no error"},
        {"complete",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {"sub/c.json", good},
          {side + "sub/c.json.metadata", commit + "\n" + sha + "\n1.0\n"}},
         {},
         "no error"},
        {"pattern leaves out a broken file",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {"b.bin", "b"}},
         {"*.json"},
         "no error"},
        {"a file present only as a partial download",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {side + "weights.bin." + sha + ".incomplete", "wei"}},
         {},
         "Offline mode error: weights.bin is incomplete"},
        {"a partial download that a pattern selects",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {side + "sub/weights.bin." + sha + ".incomplete", "wei"}},
         {"*.json", "sub/*"},
         "Offline mode error: sub/weights.bin is incomplete"},
        {"a partial download that no pattern selects",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {side + "weights.bin." + sha + ".incomplete", "wei"}},
         {"*.json"},
         "no error"},
        {"a complete file beside a newer version's partial download",
         {{"a.json", good},
          {side + "a.json.metadata", commit + "\n" + sha + "\n1.0\n"},
          {side + "a.json.0000.incomplete", "{\"a\":"}},
         {},
         "no error"},
    };
    for (const auto& c : cases) {
        FakeHub h;
        for (const auto& [path, content] : c.files) hubtest::writeFile(h.repo() / path, content);
        const auto hub = h.hub(true);
        fs::path got;
        EXPECT_EQ(hubtest::errorText([&] { got = hub.snapshot(kRepo, "main", c.patterns); }),
                  c.expected)
            << c.name;
        if (c.expected == "no error") {
            EXPECT_EQ(got, h.repo()) << c.name;
        }
        EXPECT_TRUE(h.server.recorded().empty()) << c.name;
    }
}

TEST(Snapshot, OnlineFetchesEachListedFileAndReportsOverallProgress) {
    FakeHub h;
    const std::string small = "{\"model_type\":\"whisper\"}";
    const std::string big = hubtest::body(size_t(vortil::Downloader::kWriteChunkSize) + 1000, 21);
    h.listing({"config.json", "sub/dir/weights.bin", "README.md"});
    h.file("config.json", small);
    h.file("sub/dir/weights.bin", big);
    h.file("README.md", "readme");

    std::vector<Call> calls;
    std::shared_ptr<platform::Progress> seen;
    const auto handler = [&](const std::shared_ptr<platform::Progress>& p) {
        EXPECT_TRUE(!seen || seen == p) << "always the same object";
        seen = p;
        calls.push_back({p->totalUnitCount(), p->fractionCompleted(), p->throughput()});
    };
    const fs::path folder = h.hub().snapshot(kRepo, "main", {"*.json", "*.bin"}, handler);
    EXPECT_EQ(folder, h.repo());
    EXPECT_EQ(testsupport::readFile(folder / "config.json"), small);
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(folder / "sub/dir/weights.bin")),
              hubtest::sha256(big));
    EXPECT_FALSE(fs::exists(folder / "README.md"));
    EXPECT_TRUE(HubApi::readDownloadMetadata(h.meta() / "sub/dir/weights.bin.metadata"));

    ASSERT_GE(calls.size(), 3u);
    for (size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i].fraction, calls[i - 1].fraction);
    EXPECT_EQ(calls.back().total, 2);
    EXPECT_DOUBLE_EQ(calls.back().fraction, 1.0);
    EXPECT_TRUE(calls.back().throughput) << "the big file reports a speed after its first chunk";

    // Everything is current now: only the listing and the HEAD requests again.
    const size_t before = h.server.recorded().size();
    calls.clear();
    seen.reset();
    h.hub().snapshot(kRepo, "main", {"*.json", "*.bin"}, handler);
    const auto recorded = h.server.recorded();
    for (size_t i = before; i < recorded.size(); ++i) {
        EXPECT_TRUE(recorded[i].method == "HEAD" || recorded[i].rawPath.starts_with("/api/"))
            << recorded[i].rawPath;
    }
    EXPECT_EQ(calls.size(), 1u);
}

TEST(Snapshot, AnEmptyListingGivesOneCallAndTheFolder) {
    FakeHub h;
    h.listing({});
    std::vector<Call> calls;
    const fs::path folder = h.hub().snapshot(kRepo, "main", {}, [&](const auto& p) {
        calls.push_back({p->totalUnitCount(), p->fractionCompleted(), std::nullopt});
    });
    EXPECT_EQ(folder, h.repo());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].total, 0);
}

TEST(Snapshot, StoppedBetweenFilesReturnsTheFolderWithoutTheFinalCall) {
    FakeHub h;
    h.listing({"a.json", "b.json"});
    hubtest::writeFile(h.repo() / "a.json", "a");
    HubApi::writeDownloadMetadata(FakeHub::kCommit, "e", h.meta() / "a.json.metadata");
    std::stop_source stop;
    h.server.setHandler(FakeHub::resolvePath("a.json"),
                        [&](const httplib::Request&, httplib::Response& res) {
                            stop.request_stop();
                            res.set_header("X-Repo-Commit", FakeHub::kCommit);
                            res.set_header("ETag", "\"e\"");
                            res.set_content("a", "application/octet-stream");
                        });
    h.file("b.json", "b");
    int calls = 0;
    const fs::path folder = h.hub().snapshot(
        kRepo, "main", {}, [&](const auto&) { ++calls; }, stop.get_token());
    EXPECT_EQ(folder, h.repo());
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(h.count("HEAD", FakeHub::resolvePath("b.json")), 0u);
}

TEST(Snapshot, AHostileListingWritesNothingOutsideTheCache) {
    FakeHub h;
    h.listing({"ok.json", "../../escape.json"});
    h.file("ok.json", "{}");
    h.server.set("/owner/escape.json", LocalHttpServer::Reply::ok("{}"));
    EXPECT_EQ(hubtest::errorText([&] { h.hub().snapshot(kRepo, "main", {}); }),
              "Download failed: Invalid file name: ../../escape.json");
    EXPECT_FALSE(fs::exists(h.temp / "cache" / "models" / "escape.json"));
    EXPECT_TRUE(fs::exists(h.repo() / "ok.json")) << "files fetched before stay";
}

TEST(Snapshot, ConfigurationFilesParseToObjectsOnly) {
    testsupport::TempDir temp;
    hubtest::writeFile(temp / "ok.json", "{\"model_type\":\"whisper\"}");
    hubtest::writeFile(temp / "array.json", "[1,2]");
    hubtest::writeFile(temp / "text.json", "not json");
    // Deep enough to overflow the stack of whatever walks it: refused before
    // parsing, and no token advice for a local file's shape.
    const std::size_t depth = 1'000'000;
    hubtest::writeFile(temp / "deep.json",
                       "{\"model\":" + std::string(depth, '[') + std::string(depth, ']') + "}");
    EXPECT_EQ(HubApi::configuration(temp / "ok.json").get("modelType").stringValue(), "whisper");
    try {
        HubApi::configuration(temp / "array.json");
        ADD_FAILURE() << "no error";
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), HubClientError::Case::parse);
    }
    const std::pair<const char*, std::string> unreadable[] = {
        {"text.json", ". Please verify that you have set the HF_TOKEN environment variable."},
        {"deep.json", ": it nests arrays and objects deeper than 512 levels."},
    };
    for (const auto& [name, reason] : unreadable) {
        try {
            HubApi::configuration(temp / name);
            ADD_FAILURE() << name << ": no error";
        } catch (const HubClientError& e) {
            EXPECT_EQ(e.errorCase(), HubClientError::Case::jsonSerialization);
            EXPECT_EQ(std::string(e.what()),
                      "JSON Serialization failed for file://" + (temp / name).string() + reason);
        }
    }
    EXPECT_THROW(HubApi::configuration(temp / "missing.json"), fs::filesystem_error);
}

TEST(Snapshot, ProgressUnitsSurviveAnyFraction) {
    const std::vector<std::pair<double, int64_t>> cases = {
        {0.0, 0},  {0.333, 33}, {0.999, 99},   {1.0, 100},     {2.5, 100},
        {-0.5, 0}, {NAN, 0},    {INFINITY, 0}, {-INFINITY, 0},
    };
    for (const auto& [fraction, units] : cases)
        EXPECT_EQ(HubApi::progressUnits(fraction), units) << fraction;
}
