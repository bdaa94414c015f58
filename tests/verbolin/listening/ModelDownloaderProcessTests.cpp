// Installs of one model pack that overlap (two threads, two processes) and
// installs killed with SIGKILL part-way: whatever happens, the next install
// ends with exactly the pack made of the checkpoint the hub serves.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/system/AppError.hpp"
#include "platform/system/FileLock.hpp"
#include "support/CheckpointHub.hpp"
#include "support/ChildTest.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "support/WaitUntil.hpp"
#include "verbolin/listening/ModelDownloader.hpp"

using namespace verbolin;
using testsupport::CheckpointHub;
using testsupport::LocalHttpServer;
namespace fs = std::filesystem;

namespace {

constexpr auto kPatience = std::chrono::seconds(60);
const char* const kWeights = "model.safetensors";
// Where the weights' transfer stalls, and what of it is on disk by then: the
// transfer writes whole blocks of 1 MiB.
constexpr size_t kStall = 3'000'000;
constexpr int64_t kOnDiskAtStall = 2 * 1'048'576;

int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

constexpr const char* kChildEndpoint = "VERBOLIN_TEST_INSTALL_ENDPOINT";

// An install that runs beside the test's own: on a thread of this process,
// or in a child process that installs from the same hub. The child is this
// test program started afresh to run only PackInstallChild below, not a
// forked copy: a forked copy of a process with threads may not start its
// own (the sanitizers' runtimes refuse), and the installer starts some.
// Whatever happens to the test, nothing of it outlives the object.
class OtherInstall {
  public:
    enum class Where { thread, process };

    OtherInstall(Where where, CheckpointHub& hub, std::function<void()> install)
        : where_(where), server_(hub.server) {
        if (where == Where::thread) {
            thread_ = std::thread([this, install = std::move(install)] {
                try {
                    install();
                } catch (...) {
                    error_ = std::current_exception();
                }
            });
            return;
        }
        const std::string endpoint = hub.endpoint();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv(kChildEndpoint, endpoint.c_str(), 1);
            testsupport::runDisabledTestInThisChild(
                "install-child", "PackInstallChild.DISABLED_InstallsFromTheParentsHub");
        }
    }

    ~OtherInstall() {
        if (pid_ > 0) kill();
        server_.release();
        if (thread_.joinable()) thread_.join();
    }
    OtherInstall(const OtherInstall&) = delete;
    OtherInstall& operator=(const OtherInstall&) = delete;

    bool started() const { return where_ == Where::thread || pid_ > 0; }

    // Waits for the end; true when the install returned.
    bool succeeded() {
        if (where_ == Where::thread) {
            thread_.join();
            if (!error_) return true;
            try {
                std::rethrow_exception(error_);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "the install threw: " << e.what();
            } catch (...) {
                ADD_FAILURE() << "the install threw something other than an exception";
            }
            return false;
        }
        int status = 0;
        const pid_t pid = std::exchange(pid_, -1);
        if (pid <= 0) return false;
        return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // The process's end, with SIGKILL; true when that is what ended it.
    bool kill() {
        const pid_t pid = std::exchange(pid_, -1);
        if (pid <= 0) return false;  // never a signal to a group or to everyone
        ::kill(pid, SIGKILL);
        int status = 0;
        return ::waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) &&
               WTERMSIG(status) == SIGKILL;
    }

  private:
    Where where_;
    LocalHttpServer& server_;
    std::thread thread_;
    std::exception_ptr error_;
    pid_t pid_ = -1;
};

class PackInstallTest : public ::testing::Test {
  protected:
    void install(const CheckpointHub& hub, ModelDownloader::ProgressFn progress = {}) {
        ModelDownloader(options(hub)).install(pack, std::move(progress));
    }
    static ModelDownloader::Options options(const CheckpointHub& hub) {
        ModelDownloader::Options o;
        o.endpoint = hub.endpoint();
        o.offline = false;
        return o;
    }

    // Serves the weights with a stall at kStall until the server is released.
    static void stallWeights(CheckpointHub& hub) {
        hub.change(kWeights, [](auto& r) { r.stallAfter = kStall; });
    }
    // The weights' partial download, as the hub client keeps it.
    fs::path partial(const CheckpointHub& hub) const {
        return models /
               ".download-standard/models/openai/whisper-base.en/.cache/huggingface/"
               "download" /
               (std::string(kWeights) + "." + CheckpointHub::sha256(hub.content(kWeights)) +
                ".incomplete");
    }
    bool stalled(const CheckpointHub& hub) const {
        return testsupport::waitUntil([&] { return sizeOf(partial(hub)) == kOnDiskAtStall; },
                                      kPatience);
    }

    // The pack the tool makes of the served checkpoint, and nothing of an
    // install left beside it.
    void expectOnlyThePack() {
        EXPECT_TRUE(pack.isInstalled());
        EXPECT_TRUE(testsupport::filesUnder(local) == testsupport::toolPackOfTrainedModel())
            << "the installed pack is not the tool's";
        for (const auto& entry : fs::directory_iterator(models))
            EXPECT_EQ(entry.path().filename(), "standard-v1") << "left beside the pack";
    }

    testsupport::HubTestEnvironment env;
    testsupport::TempDir temp;
    fs::path data = temp.path() / "data";
    testsupport::ScopedEnv dataEnv{"XDG_DATA_HOME", data.string()};
    ModelPack pack = ModelPack::named("standard");
    fs::path local = pack.localFolder();
    fs::path models = local.parent_path();
    fs::path lockFile = models / ".install-standard.lock";
};

// Progress reports kept for the test thread to read.
class ProgressLog {
  public:
    ModelDownloader::ProgressFn fn() {
        return [this](const ModelDownloader::Progress& p) {
            std::lock_guard lock(mutex_);
            reports_.push_back(p);
        };
    }
    std::vector<ModelDownloader::Progress> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<ModelDownloader::Progress> reports_;
};

}  // namespace

// A second install waits for the first instead of writing into its partial
// files, showing the first one's bytes meanwhile. When the first ends, the
// second finds the pack in place, or carries on from the bytes a first one
// that was killed kept.
TEST_F(PackInstallTest, ASecondInstallWaitsForTheFirstAndEndsWithThePack) {
    enum class End { finishes, killed };
    const struct {
        const char* name;
        OtherInstall::Where where;
        End end;
    } cases[] = {
        {"finishes in a thread", OtherInstall::Where::thread, End::finishes},
        {"finishes in a process", OtherInstall::Where::process, End::finishes},
        {"killed in a process", OtherInstall::Where::process, End::killed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(models);
        CheckpointHub hub;
        stallWeights(hub);
        OtherInstall first(c.where, hub, [&] { install(hub); });
        ASSERT_TRUE(first.started());
        ASSERT_TRUE(stalled(hub));
        ProgressLog shown;
        OtherInstall second(OtherInstall::Where::thread, hub, [&] { install(hub, shown.fn()); });
        ASSERT_TRUE(testsupport::waitUntil([&] { return !shown.reports().empty(); }, kPatience));
        EXPECT_EQ(hub.gets(kWeights).size(), 1u) << "the second install did not wait";
        const auto whileWaiting = shown.reports();
        const auto* waiting = std::get_if<ModelDownloader::Downloading>(&whileWaiting.front());
        ASSERT_TRUE(waiting);
        EXPECT_GE(waiting->receivedMB, kOnDiskAtStall / 1000000);

        std::vector<std::optional<std::string>> expected = {std::nullopt};
        if (c.end == End::killed) {
            // The rest is served without a stall: the second install
            // finishes while the first one's answer is still held.
            hub.change(kWeights, [](auto& r) { r.stallAfter = std::string::npos; });
            EXPECT_TRUE(first.kill());
            expected.push_back("bytes=" + std::to_string(kOnDiskAtStall) + "-");
        } else {
            hub.server.release();
            EXPECT_TRUE(first.succeeded());
        }
        EXPECT_TRUE(second.succeeded());
        EXPECT_EQ(hub.gets(kWeights), expected);
        if (c.end == End::finishes) {
            for (const auto& p : shown.reports())
                EXPECT_TRUE(std::holds_alternative<ModelDownloader::Downloading>(p))
                    << "the second install converted too";
        }
        expectOnlyThePack();
    }
}

// Killed with SIGKILL in the middle of the weights: the lock is free at
// once, and the next start continues the bytes on disk with a ranged request
// and installs the pack.
TEST_F(PackInstallTest, AnInstallKilledMidDownloadIsContinuedByTheNext) {
    CheckpointHub hub;
    stallWeights(hub);
    OtherInstall killed(OtherInstall::Where::process, hub, [&] { install(hub); });
    ASSERT_TRUE(killed.started());
    ASSERT_TRUE(stalled(hub));
    ASSERT_TRUE(killed.kill());
    EXPECT_FALSE(fs::exists(local));
    EXPECT_TRUE(testsupport::readFile(partial(hub)) ==
                hub.content(kWeights).substr(0, kOnDiskAtStall));
    {
        platform::FileLock next(lockFile);
        ASSERT_TRUE(next.tryLock()) << "the killed install still holds the pack";
    }

    hub.change(kWeights, [](auto& r) { r.stallAfter = std::string::npos; });
    ProgressLog shown;
    install(hub, shown.fn());
    const std::vector<std::optional<std::string>> expected = {
        std::nullopt, "bytes=" + std::to_string(kOnDiskAtStall) + "-"};
    EXPECT_EQ(hub.gets(kWeights), expected);
    expectOnlyThePack();
    // The bytes on disk count from the first report on, not from 0.
    ASSERT_FALSE(shown.reports().empty());
    EXPECT_EQ(std::get<ModelDownloader::Downloading>(shown.reports().front()).receivedMB,
              kOnDiskAtStall / 1000000);
}

// A caller stops a waiting install as it stops any other, with a throwing
// progress callable, also when it decides to stop only after the wait began
// and the other install is stalled (an app quitting); the install it waited
// for goes on undisturbed.
TEST_F(PackInstallTest, AWaitEndsWhenTheProgressCallableThrows) {
    for (const int throwsAtReport : {1, 3}) {
        SCOPED_TRACE("throws at report " + std::to_string(throwsAtReport));
        fs::remove_all(models);
        CheckpointHub hub;
        stallWeights(hub);
        OtherInstall first(OtherInstall::Where::thread, hub, [&] { install(hub); });
        ASSERT_TRUE(stalled(hub));

        struct Stop {};
        int reports = 0;
        EXPECT_THROW(install(hub,
                             [&](const ModelDownloader::Progress&) {
                                 if (++reports == throwsAtReport) throw Stop{};
                             }),
                     Stop);
        EXPECT_EQ(reports, throwsAtReport);
        EXPECT_EQ(hub.gets(kWeights).size(), 1u);

        hub.server.release();
        EXPECT_TRUE(first.succeeded());
        expectOnlyThePack();
    }
}

// cancel() from another thread ends an install whose transfer has stalled
// (no byte arrives, so no progress report could end it) and one waiting for
// another install; the bytes fetched stay, and the next install continues them.
TEST_F(PackInstallTest, CancelEndsAStalledTransferAndAWait) {
    for (const bool waiting : {false, true}) {
        SCOPED_TRACE(waiting ? "waiting for another install" : "stalled transfer");
        fs::remove_all(models);
        CheckpointHub hub;
        stallWeights(hub);
        std::optional<OtherInstall> first;
        if (waiting) {
            first.emplace(OtherInstall::Where::thread, hub, [&] { install(hub); });
            // The first holds the lock once its bytes arrive; started any
            // sooner, the install below could take the lock before it.
            ASSERT_TRUE(stalled(hub));
        }

        ModelDownloader downloader(options(hub));
        ProgressLog log;
        std::exception_ptr error;
        std::thread installing([&] {
            try {
                downloader.install(pack, log.fn());
            } catch (...) {
                error = std::current_exception();
            }
        });
        ASSERT_TRUE(stalled(hub));
        ASSERT_TRUE(testsupport::waitUntil([&] { return !log.reports().empty(); }, kPatience));
        // The bytes past the last whole block are still on their way through
        // the socket; how many have been read when the cancel comes depends on
        // the machine's load, so a moment is given for some of them to arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        downloader.cancel();
        installing.join();
        ASSERT_TRUE(error);
        try {
            std::rethrow_exception(error);
        } catch (const platform::AppError& e) {
            EXPECT_EQ(e.code(), 1) << e.what();
        }
        EXPECT_EQ(hub.gets(kWeights).size(), 1u);
        EXPECT_FALSE(fs::exists(local));

        hub.server.release();
        if (waiting) {
            EXPECT_TRUE(first->succeeded());
        } else {
            hub.change(kWeights, [](auto& r) { r.stallAfter = std::string::npos; });
            install(hub);
            // A cancel keeps every byte that arrived, not only whole blocks:
            // the next install asks for the rest from past the last block
            // (from the stall itself once everything sent had been read).
            const auto range = hub.gets(kWeights).back();
            ASSERT_TRUE(range && range->starts_with("bytes=") && range->ends_with("-"))
                << range.value_or("no range");
            const int64_t from = std::stoll(range->substr(6));
            EXPECT_GT(from, kOnDiskAtStall) << *range;
            EXPECT_LE(from, static_cast<int64_t>(kStall)) << *range;
        }
        expectOnlyThePack();
    }
}

// The other install of OtherInstall's child process; runs only there.
TEST(PackInstallChild, DISABLED_InstallsFromTheParentsHub) {
    const char* endpoint = std::getenv(kChildEndpoint);
    if (!endpoint) GTEST_SKIP() << "runs only as a child of the install tests";
    ModelDownloader::Options options;
    options.endpoint = endpoint;
    options.offline = false;
    ModelDownloader(options).install(ModelPack::named("standard"));
}
