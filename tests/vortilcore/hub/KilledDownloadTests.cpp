#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "vortilcore/hub/DownloadTestSupport.hpp"

using hubtest::FakeHub;
using vortil::Downloader;
namespace fs = std::filesystem;

// A download process killed mid-transfer leaves its partial file; the next
// run resumes from it and ends with the served bytes exactly.
TEST(KilledDownload, ResumesToAByteIdenticalFile) {
    FakeHub h;
    const std::string content = hubtest::body(size_t(Downloader::kWriteChunkSize) * 4 + 4321, 31);
    const std::string sha = hubtest::sha256(content);
    auto reply = FakeHub::fileReply(content);
    reply.stallAfter =
        size_t(Downloader::kWriteChunkSize) * 3 + 100;  // three chunks reach the disk, then nothing
    h.server.set(FakeHub::resolvePath("f.bin"), reply);
    const fs::path partial = h.meta() / ("f.bin." + sha + ".incomplete");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            h.downloader("f.bin").download({});
        } catch (...) {
        }
        _exit(0);  // never reached while the server stalls; the parent kills us
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Downloader::incompleteFileSize(partial) < 3 * Downloader::kWriteChunkSize &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(Downloader::incompleteFileSize(partial), 3 * Downloader::kWriteChunkSize);
    EXPECT_FALSE(fs::exists(h.repo() / "f.bin"));
    EXPECT_FALSE(fs::exists(h.meta() / "f.bin.metadata"));

    h.server.release();
    h.downloader("f.bin").download({});
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(h.repo() / "f.bin")), sha);
    const auto recorded = h.server.recorded();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back().method, "GET");
    EXPECT_EQ(recorded.back().header("Range"),
              "bytes=" + std::to_string(3 * Downloader::kWriteChunkSize) + "-");
    const auto side = vortil::HubApi::readDownloadMetadata(h.meta() / "f.bin.metadata");
    ASSERT_TRUE(side);
    EXPECT_EQ(side->etag, sha);
    EXPECT_FALSE(fs::exists(partial));
}
