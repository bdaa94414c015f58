// The checkpoint fetch against a loopback hub: what it asks for each file,
// and that it ends with the hub's bytes whatever happened before.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "support/CheckpointHub.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/ZipBuilder.hpp"
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

// Each file's metadata is asked for once per fetch, for the sizes and the
// download both, after its side file is read; only a file changed on the hub
// since is asked about again, and a side file that cannot be read ends the
// fetch before the hub is asked about that file.
TEST(CheckpointDownload, AsksForEachFilesMetadataOnceAndEndsWithTheHubsBytes) {
    testsupport::HubTestEnvironment env;
    using Counts = std::map<std::string, size_t>;
    // A folder in place of the first file's side file can be neither read nor removed.
    const auto unreadableSideFile = [](CheckpointHub&, const fs::path& folder) {
        fs::create_directories(vortil::HubApi::metadataFolder(folder) / "config.json.metadata/x");
    };
    const auto slowWeights = [](CheckpointHub& hub, const fs::path&) {
        hub.serve(kWeights, testsupport::incompressibleBytes(600'000));
        hub.change(kWeights,
                   [](CheckpointHub::Reply& r) { r.pause = std::chrono::milliseconds(100); });
    };
    const struct {
        const char* what;
        bool fetchedBefore;  // a fetch of its own before the one counted
        std::function<void(CheckpointHub&, const fs::path& folder)> before;
        std::function<void(CheckpointHub&)> sized;  // once the counted fetch knows the sizes
        size_t otherHeads, otherGets;               // of files not named in `heads`, `gets`
        Counts heads, gets;
        bool refused = false;  // the fetch ends with the side file's error
        bool slow = false;     // the weights arrive slowly: progress moves meanwhile
    } rows[] = {
        {"a first fetch", false, {}, {}, 1, 1, {}, {}},
        {"a fetch after a complete one", true, {}, {}, 1, 0, {}, {}},
        {"weights damaged on disk since",
         true,
         [](CheckpointHub&, const fs::path& folder) { flipByte(folder / kWeights, 1000); },
         {},
         1,
         0,
         {},
         {{kWeights, 1}}},
        {"a file replaced on the hub once the sizes were asked",
         false,
         {},
         [](CheckpointHub& hub) { hub.serve("config.json", "{\"replaced\": true}"); },
         1,
         1,
         {{"config.json", 2}},
         {{"config.json", 2}}},
        {"an unreadable side file", false, unreadableSideFile, {}, 0, 0, {}, {}, true},
        // 600 kB, under one chunk of the download engine: 32 KiB every 100 ms.
        {"weights arriving slowly", false, slowWeights, {}, 1, 1, {}, {}, false, true},
    };
    for (const auto& row : rows) {
        CheckpointHub hub;
        testsupport::TempDir temp("verbolin-checkpoint-fetch");
        vortil::HubApi client(temp.path(), std::nullopt, hub.endpoint());
        client.useOfflineMode = false;
        const CheckpointDownload download(client, CheckpointHub::kStandardRepo);
        if (row.fetchedBefore) download.fetch();
        if (row.before) row.before(hub, download.folder());
        const size_t from = hub.server.recorded().size();

        fs::path folder;
        std::set<int64_t> received;
        testing::internal::CaptureStderr();
        try {
            folder = download.fetch([&](int64_t bytes, int64_t) { received.insert(bytes); },
                                    [&](int64_t, int64_t) {
                                        if (row.sized) row.sized(hub);
                                    });
            EXPECT_FALSE(row.refused) << row.what;
        } catch (const vortil::EnvironmentError& e) {
            EXPECT_TRUE(row.refused) << row.what << ": " << e.what();
            EXPECT_EQ(e.errorCase(), vortil::EnvironmentError::Case::invalidMetadataError);
        }
        testing::internal::GetCapturedStderr();
        // The weights come third: counts strictly inside their transfer.
        const auto start = int64_t(hub.content("config.json").size() +
                                   hub.content("generation_config.json").size());
        const auto end = start + int64_t(hub.content(kWeights).size());
        EXPECT_GE(std::distance(received.upper_bound(start), received.lower_bound(end)),
                  row.slow ? 2 : 0)
            << "no progress while the weights arrived";
        for (const std::string& name : CheckpointDownload::files()) {
            SCOPED_TRACE(std::string(row.what) + ": " + name);
            const auto count = [&](const Counts& counts, size_t otherwise) {
                const auto it = counts.find(name);
                return it == counts.end() ? otherwise : it->second;
            };
            EXPECT_EQ(hub.asked("HEAD", name, from), count(row.heads, row.otherHeads));
            EXPECT_EQ(hub.asked("GET", name, from), count(row.gets, row.otherGets));
            if (!row.refused) {
                EXPECT_TRUE(testsupport::readFile(folder / name) == hub.content(name))
                    << "not the hub's";
            }
        }
    }
}

// An etag that would leave the cache fails the fetch before anything is
// written; a later good answer still installs.
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
