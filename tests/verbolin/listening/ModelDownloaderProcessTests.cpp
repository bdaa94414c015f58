// Installs of one model pack that overlap (two threads, two processes) and
// installs killed with SIGKILL part-way: whatever happens, the next install
// ends with exactly the pack the server serves.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "support/WaitUntil.hpp"
#include "support/ZipBuilder.hpp"
#include "verbolin/listening/ModelDownloader.hpp"

using namespace verbolin;
using testsupport::LocalHttpServer;
using Reply = LocalHttpServer::Reply;
namespace fs = std::filesystem;

namespace {

const char* const kArchivePath = "/models/standard-v1.zip";
constexpr auto kPatience = std::chrono::seconds(60);

// A pack archive and the files it must install, by path in the pack folder.
struct ServedPack {
    std::map<std::string, std::string> files;
    std::string zip;
};

// The model first, then `weights` bytes that do not compress, then `extras`
// small files that make unpacking take a while.
ServedPack makePack(size_t weights, int extras = 0) {
    ServedPack p;
    p.files["TextDecoder.mlmodelc/model.json"] = "{\"layers\":4}";
    p.files["tokenizer/tokenizer.json"] = "{\"model\":{}}";
    p.files["weights.bin"] = testsupport::incompressibleBytes(weights);
    testsupport::ZipBuilder zip;
    zip.stored();
    for (const char* first :
         {"TextDecoder.mlmodelc/model.json", "tokenizer/tokenizer.json", "weights.bin"}) {
        zip.file(std::string("standard-v1/") + first, p.files[first]);
    }
    for (int i = 0; i < extras; ++i) {
        const std::string name = "extra/" + std::to_string(i) + ".txt";
        p.files[name] = "extra " + std::to_string(i);
        zip.file("standard-v1/" + name, p.files[name]);
    }
    p.zip = zip.bytes();
    return p;
}

std::map<std::string, std::string> filesUnder(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] =
                testsupport::readFile(entry.path());
        }
    }
    return files;
}

int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

// An install that runs beside the test's own: on a thread of this process,
// or in a forked child process, which shares this test's environment and
// server. Whatever happens to the test, nothing of it outlives the object.
class OtherInstall {
  public:
    enum class Where { thread, process };

    OtherInstall(Where where, LocalHttpServer& server, std::function<void()> install)
        : where_(where), server_(server) {
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
        pid_ = ::fork();
        if (pid_ == 0) {
            int code = 0;
            try {
                install();
            } catch (...) {
                code = 1;
            }
            _exit(code);
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
            return !error_;
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
    void install(const LocalHttpServer& server, ModelDownloader::ProgressFn progress = {}) {
        ModelDownloader::Options o;
        o.serverRoot = server.root();
        ModelDownloader(o).install(pack, std::move(progress));
    }

    // The archive's GET requests so far, by the Range each asked for.
    static std::vector<std::optional<std::string>> archiveRequests(const LocalHttpServer& server) {
        std::vector<std::optional<std::string>> ranges;
        for (const auto& r : server.recorded()) {
            if (r.method == "GET" && r.rawPath == kArchivePath) ranges.push_back(r.header("Range"));
        }
        return ranges;
    }

    // The pack as served, and nothing of an install left beside it but its
    // lock file.
    void expectOnlyThePack(const ServedPack& served) {
        EXPECT_TRUE(pack.isInstalled());
        EXPECT_TRUE(filesUnder(local) == served.files)
            << "the installed pack is not the served one";
        for (const auto& entry : fs::directory_iterator(models)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "standard-v1" || name == ".install-standard.lock")
                << "left beside the pack: " << name;
        }
    }

    testsupport::TempDir temp;
    fs::path data = temp.path() / "data";
    bool foldersMade = fs::create_directories(data);
    testsupport::ScopedEnv dataEnv{"XDG_DATA_HOME", data.string()};
    ModelPack pack = ModelPack::named("standard");
    fs::path local = pack.localFolder();
    fs::path models = local.parent_path();
    fs::path partial = models / ".download-standard.zip.partial";
    fs::path sidecar = models / ".download-standard.zip.partial.json";
    fs::path staging = models / ".staging-standard";
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
// file, showing the first one's bytes meanwhile. When the first ends, the
// second finds the pack in place (one download, one unpacking), or carries
// on from the bytes a first one that failed or was killed kept.
TEST_F(PackInstallTest, ASecondInstallWaitsForTheFirstAndEndsWithThePack) {
    const ServedPack served = makePack(2600000);
    const size_t stall = 1500000;
    enum class End { finishes, fails, killed };
    const struct {
        const char* name;
        OtherInstall::Where where;
        End end;
    } cases[] = {
        {"finishes in a thread", OtherInstall::Where::thread, End::finishes},
        {"finishes in a process", OtherInstall::Where::process, End::finishes},
        {"fails in a thread", OtherInstall::Where::thread, End::fails},
        {"fails in a process", OtherInstall::Where::process, End::fails},
        {"killed in a process", OtherInstall::Where::process, End::killed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(models);
        LocalHttpServer server;
        Reply reply = Reply::stalling(served.zip, stall).header("ETag", "\"v1\"");
        if (c.end == End::fails) {
            reply.dropAfter = stall + 1;  // one byte more once released, then the connection drops
            reply.dropTimes = 1;
        }
        server.set(kArchivePath, reply);
        OtherInstall first(c.where, server, [&] { install(server); });
        ASSERT_TRUE(first.started());
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return sizeOf(partial) == int64_t(stall); }, kPatience));
        ProgressLog shown;
        OtherInstall second(OtherInstall::Where::thread, server,
                            [&] { install(server, shown.fn()); });
        ASSERT_TRUE(testsupport::waitUntil([&] { return !shown.reports().empty(); }, kPatience));
        EXPECT_EQ(archiveRequests(server).size(), 1u) << "the second install did not wait";
        const auto whileWaiting = shown.reports();
        const auto* waiting = std::get_if<ModelDownloader::Downloading>(&whileWaiting.front());
        ASSERT_TRUE(waiting);
        EXPECT_EQ(waiting->receivedMB, int64_t(stall / 1000000));
        EXPECT_EQ(waiting->totalMB, pack.approxMB);

        std::vector<std::optional<std::string>> expected = {std::nullopt};
        if (c.end == End::killed) {
            // The rest is served without a stall: the second install
            // finishes while the first one's answer is still held.
            EXPECT_TRUE(first.kill());
            expected.push_back("bytes=" + std::to_string(stall) + "-");
        } else {
            server.release();
            EXPECT_EQ(first.succeeded(), c.end == End::finishes);
            if (c.end == End::fails) expected.push_back("bytes=" + std::to_string(stall + 1) + "-");
        }
        EXPECT_TRUE(second.succeeded());
        EXPECT_EQ(archiveRequests(server), expected);
        if (c.end == End::finishes) {
            for (const auto& p : shown.reports()) {
                EXPECT_TRUE(std::holds_alternative<ModelDownloader::Downloading>(p))
                    << "the second install unpacked too";
            }
        }
        expectOnlyThePack(served);
    }
}

// Killed in the middle of the body: the next install continues the bytes on
// disk when their record says where they came from, and fetches the whole
// file again when there is none.
TEST_F(PackInstallTest, AnInstallKilledMidDownloadIsContinuedByTheNext) {
    const ServedPack served = makePack(2600000);
    const size_t stall = 1200000;
    const struct {
        const char* name;
        bool etag;
    } cases[] = {
        {"with a validator", true},
        {"without one", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(models);
        LocalHttpServer server;
        Reply stalling = Reply::stalling(served.zip, stall);
        if (c.etag) stalling.header("ETag", "\"v1\"");
        server.set(kArchivePath, stalling);
        OtherInstall killed(OtherInstall::Where::process, server, [&] { install(server); });
        ASSERT_TRUE(killed.started());
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return sizeOf(partial) == int64_t(stall); }, kPatience));
        ASSERT_TRUE(killed.kill());
        EXPECT_FALSE(pack.isInstalled());
        EXPECT_TRUE(testsupport::readFile(partial) == served.zip.substr(0, stall));
        EXPECT_EQ(fs::exists(sidecar), c.etag);
        {
            platform::FileLock next(lockFile);
            ASSERT_TRUE(next.tryLock()) << "the killed install still holds the pack";
        }

        server.release();
        install(server);
        const std::vector<std::optional<std::string>> expected = {
            std::nullopt,
            c.etag ? std::optional("bytes=" + std::to_string(stall) + "-") : std::nullopt};
        EXPECT_EQ(archiveRequests(server), expected);
        expectOnlyThePack(served);
    }
}

// Killed once the whole archive is on disk, before or while it is unpacked:
// the next install unpacks that archive again, without fetching it, into a
// fresh staging folder.
TEST_F(PackInstallTest, AnInstallKilledAroundUnpackingIsFinishedByTheNext) {
    const struct {
        const char* name;
        int extras;  // files that keep the unpacking going long enough to be seen
        bool stopWhenUnpackingStarts;
    } cases[] = {
        {"before unpacking", 0, true},
        {"while unpacking", 2000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(models);
        const ServedPack served = makePack(300000, c.extras);
        LocalHttpServer server;
        server.set(kArchivePath, Reply::ok(served.zip).header("ETag", "\"v1\""));
        const fs::path unpacking = temp.path() / "unpacking";
        fs::remove(unpacking);
        OtherInstall killed(OtherInstall::Where::process, server, [&] {
            install(server, [&](const ModelDownloader::Progress& p) {
                if (!c.stopWhenUnpackingStarts ||
                    !std::holds_alternative<ModelDownloader::Installing>(p))
                    return;
                std::ofstream{unpacking};
                for (;;) ::pause();
            });
        });
        ASSERT_TRUE(killed.started());
        const fs::path firstEntry = staging / "standard-v1" / "TextDecoder.mlmodelc" / "model.json";
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return fs::exists(c.stopWhenUnpackingStarts ? unpacking : firstEntry); },
            kPatience));
        ASSERT_TRUE(killed.kill());
        ASSERT_FALSE(pack.isInstalled()) << "killed too late to see the unpacking";
        EXPECT_EQ(fs::exists(staging), !c.stopWhenUnpackingStarts);
        EXPECT_TRUE(testsupport::readFile(partial) == served.zip);

        install(server);
        EXPECT_EQ(archiveRequests(server).size(), 1u) << "the archive was fetched again";
        expectOnlyThePack(served);
    }
}

// A caller stops a waiting install as it stops any other, with a throwing
// progress callable, also when it decides to stop only after the wait began
// and the other install is stalled (an app quitting); the install it waited
// for goes on undisturbed.
TEST_F(PackInstallTest, AWaitEndsWhenTheProgressCallableThrows) {
    for (const int throwsAtReport : {1, 3}) {
        SCOPED_TRACE("throws at report " + std::to_string(throwsAtReport));
        fs::remove_all(models);
        const ServedPack served = makePack(2600000);
        const size_t stall = 1500000;
        LocalHttpServer server;
        server.set(kArchivePath, Reply::stalling(served.zip, stall).header("ETag", "\"v1\""));
        OtherInstall first(OtherInstall::Where::thread, server, [&] { install(server); });
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return sizeOf(partial) == int64_t(stall); }, kPatience));

        struct Stop {};
        int reports = 0;
        EXPECT_THROW(install(server,
                             [&](const ModelDownloader::Progress&) {
                                 if (++reports == throwsAtReport) throw Stop{};
                             }),
                     Stop);
        EXPECT_EQ(reports, throwsAtReport);
        EXPECT_EQ(archiveRequests(server).size(), 1u);
        EXPECT_TRUE(testsupport::readFile(partial) == served.zip.substr(0, stall));

        server.release();
        EXPECT_TRUE(first.succeeded());
        expectOnlyThePack(served);
    }
}

// cancel() from another thread ends an install whose transfer has stalled
// (no byte arrives, so no progress report could end it) and one waiting for
// another install; the bytes fetched stay, and the next install continues them.
TEST_F(PackInstallTest, CancelEndsAStalledTransferAndAWait) {
    for (const bool waiting : {false, true}) {
        SCOPED_TRACE(waiting ? "waiting for another install" : "stalled transfer");
        fs::remove_all(models);
        const ServedPack served = makePack(2600000);
        const size_t stall = 1500000;
        LocalHttpServer server;
        server.set(kArchivePath, Reply::stalling(served.zip, stall).header("ETag", "\"v1\""));
        std::optional<OtherInstall> first;
        if (waiting) {
            first.emplace(OtherInstall::Where::thread, server, [&] { install(server); });
            // The first holds the lock once its bytes arrive; started any
            // sooner, the install below could take the lock before it.
            ASSERT_TRUE(testsupport::waitUntil([&] { return sizeOf(partial) == int64_t(stall); },
                                               kPatience));
        }

        ModelDownloader::Options o;
        o.serverRoot = server.root();
        o.http.idleTimeout = std::chrono::seconds(3600);  // only cancel() can end it
        ModelDownloader downloader(o);
        ProgressLog log;
        std::exception_ptr error;
        std::thread installing([&] {
            try {
                downloader.install(pack, log.fn());
            } catch (...) {
                error = std::current_exception();
            }
        });
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return sizeOf(partial) == int64_t(stall); }, kPatience));
        // Under way: reporting the bytes it fetched, or the other install's.
        ASSERT_TRUE(testsupport::waitUntil([&] { return !log.reports().empty(); }, kPatience));
        downloader.cancel();
        installing.join();
        ASSERT_TRUE(error);
        try {
            std::rethrow_exception(error);
        } catch (const platform::AppError& e) {
            EXPECT_EQ(e.code(), 1);
        }
        EXPECT_EQ(archiveRequests(server).size(), 1u);
        EXPECT_TRUE(testsupport::readFile(partial) == served.zip.substr(0, stall));

        server.release();
        if (waiting) {
            EXPECT_TRUE(first->succeeded());
        } else {
            server.set(kArchivePath, Reply::ok(served.zip).header("ETag", "\"v1\""));
            install(server);
            EXPECT_EQ(archiveRequests(server).back(), std::optional<std::string>("bytes=1500000-"));
        }
        expectOnlyThePack(served);
    }
}
