// The checkpoint fetch against a loopback hub: what it asks the hub for each
// file, and that it ends with the hub's bytes whatever the cache held before
// or the hub changed meanwhile.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "support/CheckpointHub.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/CheckpointDownload.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"

using testsupport::CheckpointHub;
using verbolin::CheckpointDownload;
namespace fs = std::filesystem;

namespace {

const char* const kWeights = CheckpointDownload::kWeightsFile;

void flipByte(const fs::path& file, std::streamoff at) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(at);
    const char was = static_cast<char>(f.get());
    f.seekp(at);
    f.put(static_cast<char>(was ^ 0x5a));
}

}  // namespace

// Each file's metadata is asked for once per fetch: the sizes are measured
// with it and the download starts from it. Only a file that changed on the
// hub since is asked about again.
TEST(CheckpointDownload, AsksForEachFilesMetadataOnceAndEndsWithTheHubsBytes) {
    testsupport::HubTestEnvironment env;
    struct Row {
        const char* what;
        // Before the fetch that is counted: with a fetch of its own when set.
        bool fetchedBefore;
        std::function<void(CheckpointHub&, const fs::path& folder)> before;
        // During the counted fetch, once the sizes are known.
        std::function<void(CheckpointHub&)> sized;
        std::map<std::string, size_t> heads, gets;  // per file; 1 and 1 for those not named
    };
    const std::map<std::string, size_t> noGets = {{"config.json", 0},
                                                  {"generation_config.json", 0},
                                                  {kWeights, 0},
                                                  {"tokenizer.json", 0},
                                                  {"tokenizer_config.json", 0}};
    std::map<std::string, size_t> weightsAgain = noGets;
    weightsAgain[kWeights] = 1;
    const Row rows[] = {
        {"a first fetch", false, {}, {}, {}, {}},
        {"a fetch after a complete one", true, {}, {}, {}, noGets},
        {"weights damaged on disk since",
         true,
         [](CheckpointHub&, const fs::path& folder) { flipByte(folder / kWeights, 1000); },
         {},
         {},
         weightsAgain},
        {"a file replaced on the hub once the sizes were asked",
         false,
         {},
         [](CheckpointHub& hub) { hub.serve("config.json", "{\"replaced\": true}"); },
         {{"config.json", 2}},
         {{"config.json", 2}}},
    };
    for (const Row& row : rows) {
        CheckpointHub hub;
        testsupport::TempDir temp("verbolin-checkpoint-fetch");
        vortil::HubApi client(temp.path(), std::nullopt, hub.endpoint());
        client.useOfflineMode = false;
        const CheckpointDownload download(client, CheckpointHub::kStandardRepo);
        if (row.fetchedBefore) download.fetch();
        if (row.before) row.before(hub, download.folder());
        const size_t from = hub.server.recorded().size();

        const fs::path folder = download.fetch({}, [&](int64_t, int64_t) {
            if (row.sized) row.sized(hub);
        });
        for (const std::string& name : CheckpointDownload::files()) {
            const auto expected = [&](const std::map<std::string, size_t>& counts) {
                const auto it = counts.find(name);
                return it == counts.end() ? size_t{1} : it->second;
            };
            EXPECT_EQ(hub.asked("HEAD", name, from), expected(row.heads))
                << row.what << ": " << name;
            EXPECT_EQ(hub.asked("GET", name, from), expected(row.gets)) << row.what << ": " << name;
            EXPECT_TRUE(testsupport::readFile(folder / name) == hub.content(name))
                << row.what << ": " << name << " is not the hub's";
        }
    }
}

// Metadata the hub gets wrong fails the fetch before anything is written
// where it names, and a later good answer still installs.
TEST(CheckpointDownload, AnEtagThatWouldLeaveTheCacheIsRefused) {
    testsupport::HubTestEnvironment env;
    CheckpointHub hub;
    testsupport::TempDir temp("verbolin-checkpoint-fetch");
    vortil::HubApi client(temp.path() / "cache", std::nullopt, hub.endpoint());
    client.useOfflineMode = false;
    const CheckpointDownload download(client, CheckpointHub::kStandardRepo);
    for (const char* etag : {"../../../../escape", "a/b", ""}) {
        hub.change(kWeights, [&](CheckpointHub::Reply& reply) {
            for (auto& [name, value] : reply.headers)
                if (name == "ETag") value = std::string("\"") + etag + "\"";
        });
        try {
            download.fetch();
            ADD_FAILURE() << "fetched with the etag " << etag;
        } catch (const vortil::EnvironmentError& e) {
            EXPECT_EQ(e.errorCase(), vortil::EnvironmentError::Case::invalidMetadataError) << etag;
        }
        EXPECT_EQ(hub.gets(kWeights).size(), 0u) << etag;
        for (const auto& entry : fs::recursive_directory_iterator(temp.path()))
            EXPECT_EQ(entry.path().filename().string().find("escape"), std::string::npos)
                << entry.path();
    }
    hub.serve(kWeights, hub.content(kWeights));
    EXPECT_TRUE(testsupport::readFile(download.fetch() / kWeights) == hub.content(kWeights));
}
