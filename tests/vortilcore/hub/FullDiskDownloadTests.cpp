// A model download that fills the disk: a clear error, the bytes that made
// it kept for the next run, nothing vouched for as downloaded, and a resume
// from where it stopped once there is room.
#include <gtest/gtest.h>

#include "support/SmallDisk.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"

using hubtest::FakeHub;
using vortil::HubApi;
namespace fs = std::filesystem;

namespace {

const vortil::HubRepo kRepo{"owner/name", vortil::HubRepoType::models};

std::vector<fs::path> incompleteFiles(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
        if (e.path().extension() == ".incomplete") found.push_back(e.path());
    return found;
}

}  // namespace

TEST(FullDiskDownload, AFullDiskFailsTheSnapshotKeepsThePartialFileAndResumesLater) {
    testsupport::SmallDisk disk(2 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    FakeHub h;
    const std::string config = "{\"model_type\":\"whisper\"}";
    const std::string weights = hubtest::body(3 << 20, 5);  // more than the disk holds
    h.listing({"config.json", "weights.bin"});
    h.file("config.json", config);
    h.file("weights.bin", weights);
    HubApi hub(disk / "cache", std::string("tok"), h.endpoint());
    hub.useOfflineMode = false;
    const fs::path repo = hub.repoFolder(kRepo);
    const fs::path meta = HubApi::metadataFolder(repo);

    try {
        hub.snapshot(kRepo, "main", {"*.json", "*.bin"});
        FAIL() << "a snapshot larger than the disk was reported as done";
    } catch (const std::exception& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
        EXPECT_NE(what.find("weights.bin"), std::string::npos) << what;
    }
    EXPECT_FALSE(fs::exists(repo / "weights.bin"));
    EXPECT_FALSE(fs::exists(meta / "weights.bin.metadata"));
    const auto partial = incompleteFiles(meta);
    ASSERT_EQ(partial.size(), 1u);
    const auto kept = fs::file_size(partial.front());
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, weights.size());
    EXPECT_EQ(testsupport::readFile(partial.front()), weights.substr(0, kept))
        << "the bytes kept are the file's first ones";

    // Offline, the cache is not taken for a whole copy.
    HubApi offline(disk / "cache", std::string("tok"), h.endpoint());
    offline.useOfflineMode = true;
    EXPECT_ANY_THROW(offline.snapshot(kRepo, "main", {"*.json", "*.bin"}));

    disk.resize(8 << 20);
    const size_t requestsBefore = h.server.recorded().size();
    const fs::path folder = hub.snapshot(kRepo, "main", {"*.json", "*.bin"});
    EXPECT_EQ(testsupport::readFile(folder / "weights.bin"), weights);
    EXPECT_EQ(testsupport::readFile(folder / "config.json"), config);
    EXPECT_TRUE(incompleteFiles(meta).empty());
    bool resumed = false;
    const auto recorded = h.server.recorded();
    for (size_t i = requestsBefore; i < recorded.size(); ++i)
        resumed = resumed || recorded[i].header("Range") == "bytes=" + std::to_string(kept) + "-";
    EXPECT_TRUE(resumed) << "the download goes on from the bytes kept";
    EXPECT_NO_THROW(offline.snapshot(kRepo, "main", {"*.json", "*.bin"}));
}

// Room for the file but not for its side file: the download is not
// vouched for, and the next run records it from its hash without fetching
// it again.
TEST(FullDiskDownload, AFileWhoseSideFileCannotBeWrittenIsNotTakenForComplete) {
    testsupport::SmallDisk disk(2 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    FakeHub h;
    const std::string weights = hubtest::body(256 << 10, 9);  // whole pages
    h.listing({"weights.bin"});
    h.file("weights.bin", weights);
    HubApi hub(disk / "cache", std::string("tok"), h.endpoint());
    hub.useOfflineMode = false;
    const fs::path repo = hub.repoFolder(kRepo);
    const fs::path meta = HubApi::metadataFolder(repo);
    fs::create_directories(meta);
    disk.fill(off_t(weights.size()));

    try {
        hub.snapshot(kRepo, "main", {"*.bin"});
        FAIL() << "a download without its side file was reported as done";
    } catch (const std::exception& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("weights.bin.metadata"), std::string::npos) << what;
        EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
    }
    EXPECT_FALSE(fs::exists(meta / "weights.bin.metadata"));
    HubApi offline(disk / "cache", std::string("tok"), h.endpoint());
    offline.useOfflineMode = true;
    EXPECT_ANY_THROW(offline.snapshot(kRepo, "main", {"*.bin"}));

    disk.makeRoom();
    const size_t getsBefore = h.count("GET", FakeHub::resolvePath("weights.bin"));
    const fs::path folder = hub.snapshot(kRepo, "main", {"*.bin"});
    EXPECT_EQ(testsupport::readFile(folder / "weights.bin"), weights);
    EXPECT_EQ(h.count("GET", FakeHub::resolvePath("weights.bin")), getsBefore);
    EXPECT_NO_THROW(offline.snapshot(kRepo, "main", {"*.bin"}));
}
