// The installer against a loopback hub that serves the trained test model as
// the standard pack's checkpoint, and against a loopback pack server that
// serves the pack's archive: what it fetches, what it installs (from the hub,
// the same pack the model tool makes of that folder), and what every failure
// says and leaves behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "platform/system/AppError.hpp"
#include "platform/system/HttpClient.hpp"
#include "platform/system/OpenFd.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/ZipExtractor.hpp"
#include "support/CheckpointHub.hpp"
#include "support/ChildTest.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/LeftoverArchives.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/ShellCommand.hpp"
#include "support/SmallDisk.hpp"
#include "support/SpareDescriptors.hpp"
#include "support/TempDir.hpp"
#include "support/TrainedModel.hpp"
#include "support/WaitUntil.hpp"
#include "support/ZipBuilder.hpp"
#include "verbolin/listening/CheckpointDownload.hpp"
#include "verbolin/listening/ModelDownloader.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/HubClientError.hpp"

using namespace verbolin;
using testsupport::CheckpointHub;
namespace fs = std::filesystem;

namespace {

const char* const kDamaged = "The download was damaged. Please try again.";
const char* const kIncomplete = "The download was incomplete. Please try again.";

// A tokenizer.json whose model is nested `depth` arrays deep.
std::string nestedTokenizer(size_t depth) {
    return "{\"model\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

class ModelDownloaderTest : public ::testing::Test {
  protected:
    ModelDownloader::Options options(bool offline = false) const {
        ModelDownloader::Options o;
        o.endpoint = hub.endpoint();
        o.offline = offline;
        return o;
    }

    // The install's error; a failure of the test when it succeeds.
    platform::AppError failingInstall(ModelDownloader::Options o) {
        ModelDownloader downloader(o);
        return failingInstall(downloader);
    }
    platform::AppError failingInstall(ModelDownloader& downloader,
                                      ModelDownloader::ProgressFn progress = {}) {
        try {
            downloader.install(pack, std::move(progress));
        } catch (const platform::AppError& e) {
            return e;
        }
        ADD_FAILURE() << "the install did not fail";
        return platform::AppError("", 0, "");
    }

    // Nothing half-installed: no pack folder (unless it was there before),
    // no staging folder, no lock.
    void expectNothingInstalled(bool packWasThere = false) const {
        EXPECT_EQ(fs::exists(local), packWasThere);
        EXPECT_FALSE(fs::exists(models / ".staging-standard"));
        EXPECT_FALSE(fs::exists(models / ".install-standard.lock"));
    }

    static const std::map<std::string, std::string>& referencePack() {
        return testsupport::toolPackOfTrainedModel();
    }

    // The archive source: the pack server, and the hub for the rest.
    ModelDownloader::Options archiveOptions() const {
        ModelDownloader::Options o = options();
        o.serverRoot = packServer.root();
        return o;
    }
    void serveArchive(const std::string& bytes) {
        packServer.set(kArchivePath, testsupport::LocalHttpServer::Reply::ok(bytes).header(
                                         "ETag", "\"" + CheckpointHub::sha256(bytes) + "\""));
    }
    // An archive install's progress: downloading up to all of it, then
    // installing, the archive held while it is unpacked, so that another
    // run's start leaves it.
    std::vector<ModelDownloader::Progress> installReportingProgress() {
        std::vector<ModelDownloader::Progress> progress;
        std::vector<fs::path> held;
        const size_t heldBefore = archivesHeld().size();
        ModelDownloader(archiveOptions()).install(pack, [&](const ModelDownloader::Progress& p) {
            progress.push_back(p);
            if (!std::holds_alternative<ModelDownloader::Installing>(p)) return;
            archivesWhileInstalling = archivesLeft().size();
            EXPECT_TRUE(ModelDownloader::removeLeftoverArchives().empty());
            held = archivesHeld();
        });
        EXPECT_EQ(held.size(), heldBefore + 1) << "the archive was not held while it was unpacked";
        EXPECT_TRUE(pack.isInstalled());
        EXPECT_GE(progress.size(), 2u);
        if (progress.size() < 2)
            return {ModelDownloader::Downloading{}, ModelDownloader::Installing{}};
        EXPECT_TRUE(std::holds_alternative<ModelDownloader::Installing>(progress.back()));
        EXPECT_EQ(std::get<ModelDownloader::Downloading>(progress[progress.size() - 2]).fraction,
                  1.0);
        return progress;
    }
    // Beside the pack, no archive, download or staging folder is left.
    void expectOnlyThePackLeft() const {
        EXPECT_TRUE(archivesLeft().empty());
        for (const auto& entry : fs::directory_iterator(models))
            EXPECT_EQ(entry.path().filename(), "standard-v1") << "left beside the pack";
    }
    // The archive's transfers: GETs of all of it or of its rest, not the
    // pieces of its end read ahead for its directory ("bytes=A-B").
    static bool readsAhead(const testsupport::LocalHttpServer::Recorded& r) {
        const auto range = r.header("Range");
        return r.method == "GET" && range && !range->ends_with('-');
    }
    static size_t getsOf(const testsupport::LocalHttpServer& server) {
        size_t gets = 0;
        for (const auto& r : server.recorded()) gets += r.method == "GET" && !readsAhead(r);
        return gets;
    }

    // Archives of this process's installs still in the temporary folder.
    std::vector<fs::path> archivesLeft() const {
        std::vector<fs::path> left;
        for (const auto& entry : fs::directory_iterator(platform::temporaryDirectory()))
            if (entry.path().filename().string().starts_with("verbolin-model-"))
                left.push_back(entry.path());
        return left;
    }
    // How many there were once the last install's archive was whole.
    size_t archivesWhileInstalling = 0;
    // Those that someone holds locked, there or where they were downloaded.
    std::vector<fs::path> archivesHeld() const {
        std::vector<fs::path> held, candidates = archivesLeft();
        std::error_code ec;
        for (fs::directory_iterator it(download / "archive", ec), end; !ec && it != end;
             it.increment(ec))
            candidates.push_back(it->path());
        for (const auto& archive : candidates) {
            const platform::OpenFd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) held.push_back(archive);
        }
        return held;
    }

    // Serves an archive whole, but the pieces of its end read ahead for its
    // directory `shift` bytes off what was asked, as of an archive
    // `moreTotal` bytes larger, `cut` bytes short, or with `lie` told in them.
    std::function<void(const std::string&)> servingPieces(
        size_t shift, size_t moreTotal, size_t cut = 0,
        std::function<std::string(std::string)> lie = {}) {
        return [=, this](const std::string& archive) {
            const std::string etag = "\"" + CheckpointHub::sha256(archive) + "\"";
            const std::string pieces = lie ? lie(archive) : archive;
            packServer.setHandler(kArchivePath, [=](const httplib::Request& req, auto& res) {
                const_cast<httplib::Request&>(req).ranges.clear();
                res.set_header("ETag", etag);
                size_t first = 0, last = 0;
                if (std::sscanf(req.get_header_value("Range").c_str(), "bytes=%zu-%zu", &first,
                                &last) != 2)
                    return res.set_content(archive, "application/zip");
                res.status = 206;
                res.set_header("Content-Range", "bytes " + std::to_string(first + shift) + "-" +
                                                    std::to_string(last + shift) + "/" +
                                                    std::to_string(archive.size() + moreTotal));
                res.set_content(pieces.substr(first, last + 1 - first - cut), "application/zip");
            });
        };
    }

    static constexpr const char* kArchivePath = "/models/standard-v1.zip";

    testsupport::HubTestEnvironment env;
    testsupport::TempDir temp;
    testsupport::ScopedEnv dataEnv{"XDG_DATA_HOME", (temp / "data").string()};
    CheckpointHub hub;
    testsupport::LocalHttpServer packServer;
    testsupport::TempDir tmp{"verbolin-installer-tmp"};
    testsupport::ScopedEnv tmpEnv{"TMPDIR", tmp.path().string()};
    ModelPack pack = ModelPack::named("standard");
    fs::path local = pack.localFolder();
    fs::path models = local.parent_path();
    fs::path download = models / ".download-standard";
};

// A pack's two parts below `folder` ("" for the archive's top level).
testsupport::ZipBuilder& addPack(testsupport::ZipBuilder& zip, const std::string& folder,
                                 const std::string& mark, bool tokenizer = true) {
    zip.file(folder + "TextDecoder.mlmodelc/model.mil", mark);
    if (tokenizer) zip.file(folder + "tokenizer/tokenizer.json", "{\"mark\":\"" + mark + "\"}");
    return zip;
}

// A stored (uncompressed) archive of a pack whose decoder holds `weights`.
std::string storedArchive(const std::string& folder, const std::string& weights) {
    testsupport::ZipBuilder zip;
    zip.stored();
    zip.file(folder + "TextDecoder.mlmodelc/weights.bin", weights);
    zip.file(folder + "tokenizer/tokenizer.json", "{}");
    return zip.bytes();
}

// 3 MB that unpack to 6 MB.
std::string growingArchive() {
    return testsupport::ZipBuilder()
        .file("standard-v1/TextDecoder.mlmodelc/weights.bin",
              testsupport::incompressibleBytes(3'000'000))
        .file("standard-v1/TextDecoder.mlmodelc/zeros", std::string(3'000'000, '\0'))
        .file("standard-v1/tokenizer/tokenizer.json", "{}")
        .bytes();
}

// An archive with the 32 bits at `field` of its end record (past its 22
// bytes, of its first directory entry) made `value`.
std::function<std::string(std::string)> lyingAt(size_t field, uint32_t value) {
    return [=](std::string bytes) {
        const size_t end = bytes.size() - 22;
        uint32_t directory = 0;
        std::memcpy(&directory, &bytes[end + 16], 4);
        const size_t at = field < 22 ? end + field : directory + field - 22;
        for (int i = 0; i < 4; ++i) bytes[at + i] = char(value >> (8 * i));
        return bytes;
    };
}

// A server that names an archive by a time 59 s before its answer, which
// tells nothing, and drops the connection part-way through it; the
// next request finds `then` in its place.
testsupport::LocalHttpServer::Reply cutThenServing(const std::string& then) {
    using Reply = testsupport::LocalHttpServer::Reply;
    const auto recent = [](Reply reply) {
        return reply.header("Date", "Tue, 05 Mar 2024 10:00:59 GMT")
            .header("Last-Modified", "Tue, 05 Mar 2024 10:00:00 GMT");
    };
    auto first = recent(Reply::ok(storedArchive("", testsupport::incompressibleBytes(300'000))));
    first.dropAfter = 100'000;
    first.dropTimes = 3;  // the HEAD's answer and the directory's piece count as one each
    first.thenServe(recent(Reply::ok(then)), 2);
    return first;
}

}  // namespace

// The five files and nothing else, one GET each; the pack is the one the tool
// makes of the same checkpoint; progress counts up to the real size, then
// says "installing"; nothing but the pack stays beside the packs.
TEST_F(ModelDownloaderTest, InstallsTheToolsPackOfTheHubsCheckpointAndLeavesOnlyIt) {
    // The repository also holds the weights in other formats.
    for (const char* other : {"pytorch_model.bin", "tf_model.h5", "flax_model.msgpack",
                              "model.fp32-00001-of-00002.safetensors", "onnx/encoder_model.onnx"})
        hub.serve(other, std::string(4096, 'x'));
    std::vector<ModelDownloader::Progress> progress;
    ModelDownloader(options()).install(
        pack, [&](const ModelDownloader::Progress& p) { progress.push_back(p); });

    EXPECT_TRUE(pack.isInstalled());
    EXPECT_TRUE(testsupport::filesUnder(local) == referencePack()) << "not the pack the tool makes";
    std::vector<std::string> expected;
    for (const auto& name : CheckpointDownload::files()) expected.push_back(hub.resolvePath(name));
    EXPECT_EQ(hub.gotPaths(), expected);
    for (const auto& entry : fs::directory_iterator(models))
        EXPECT_EQ(entry.path().filename(), "standard-v1") << "left beside the pack";

    int64_t total = 0;
    for (const auto& name : CheckpointDownload::files())
        total += static_cast<int64_t>(hub.content(name).size());
    ASSERT_GE(progress.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<ModelDownloader::Installing>(progress.back()));
    const auto& last = std::get<ModelDownloader::Downloading>(progress[progress.size() - 2]);
    EXPECT_EQ(last, (ModelDownloader::Downloading{1.0, total / 1000000, total / 1000000}));
    int64_t before = 0;
    for (size_t i = 0; i + 1 < progress.size(); ++i) {
        const auto& d = std::get<ModelDownloader::Downloading>(progress[i]);
        EXPECT_EQ(d.totalMB, total / 1000000);
        EXPECT_GE(d.receivedMB, before);
        EXPECT_LE(d.fraction, 1.0);
        before = d.receivedMB;
    }

    // Installed: a second install asks nothing and says nothing.
    const size_t asked = hub.server.recorded().size();
    ModelDownloader(options()).install(pack, [&](const auto&) { ADD_FAILURE() << "progress"; });
    EXPECT_EQ(hub.server.recorded().size(), asked);
}

// Each failure says why and what to do, leaves nothing half-installed, and
// keeps what was fetched unless the checkpoint itself is at fault.
TEST_F(ModelDownloaderTest, FailuresSayWhyAndLeaveNothingHalfInstalled) {
    struct Case {
        const char* name;
        std::function<void(ModelDownloader::Options&)> arrange;
        long code;
        std::string says;
        bool keepsWeights;  // fetched weights stay for the next attempt
    };
    testsupport::LocalHttpServer closed;
    const std::string closedEndpoint = closed.root().substr(0, closed.root().size() - 1);
    closed.stop();
    const Case cases[] = {
        {"offline without a cached copy", [](auto& o) { o.offline = true; }, 1,
         "this computer is offline", false},
        {"nothing listens at the hub's address", [&](auto& o) { o.endpoint = closedEndpoint; }, 1,
         "127.0.0.1 refused the connection", false},
        {"the hub answers 503",
         [&](auto&) { hub.change("config.json", [](auto& r) { r.status = 503; }); }, 503,
         "(HTTP 503). Check your connection and try again.", false},
        // No repository at the address asked, named with the hub.
        {"the hub has no such repository",
         [&](auto&) { hub.change("config.json", [](auto& r) { r.status = 404; }); }, 404,
         hub.endpoint() + " has no repository openai/whisper-base.en (HTTP 404)", false},
        {"the hub lacks the tokenizer",
         [&](auto&) {
             hub.change("config.json", [](auto& r) { r.status = 200; });
             hub.server.set(hub.resolvePath("tokenizer.json"),
                            testsupport::LocalHttpServer::Reply::answer(404));
         },
         4, kIncomplete, false},
        {"a config.json that is no JSON",
         [&](auto&) {
             hub.serve("tokenizer.json", hub.content("tokenizer.json"));
             hub.serve("config.json", "{\"d_model\": ");
         },
         2, kDamaged, false},
        {"a tokenizer nested 100000 levels deep",
         [&](auto&) {
             hub.serve("config.json",
                       testsupport::readFile(testsupport::trainedModel() / "config.json"));
             hub.serve("tokenizer.json", nestedTokenizer(100000));
         },
         2, kDamaged, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto o = options();
        c.arrange(o);
        const auto error = failingInstall(o);
        EXPECT_EQ(error.domain(), "ModelDownloader");
        EXPECT_EQ(error.code(), c.code) << error.what();
        EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        if (c.code == 1 || c.code >= 100) {
            for (const char* hint : {"verbolin-models convert", "or set HF_ENDPOINT to a mirror"})
                EXPECT_NE(std::string(error.what()).find(hint), std::string::npos) << error.what();
        }
        expectNothingInstalled();
        EXPECT_EQ(fs::exists(download / "models/openai/whisper-base.en/model.safetensors"),
                  c.keepsWeights);
    }
    // Once the hub serves the checkpoint again, the next start installs it.
    hub.serve("tokenizer.json",
              testsupport::readFile(testsupport::trainedModel() / "tokenizer.json"));
    ModelDownloader(options()).install(pack);
    EXPECT_TRUE(testsupport::filesUnder(local) == referencePack());
}

// Weights that do not match the digest the hub names are fetched again,
// whether they were damaged on this disk since an earlier attempt or on the
// way; a hub that keeps sending damaged ones is code 2, and nothing is kept.
TEST_F(ModelDownloaderTest, TamperedWeightsAreFetchedAgain) {
    vortil::HubApi client(download, std::nullopt, hub.endpoint());
    client.useOfflineMode = false;
    const CheckpointDownload earlier(client, std::string(ModelPack::kStandardCheckpoint));
    const fs::path weights = earlier.fetch() / "model.safetensors";
    {
        std::fstream f(weights, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1000);
        f.put('\x5a');
    }
    ModelDownloader(options()).install(pack);
    EXPECT_EQ(hub.gets("model.safetensors").size(), 2u);
    EXPECT_TRUE(testsupport::filesUnder(local) == referencePack());

    fs::remove_all(local);
    std::string damaged = hub.content("model.safetensors");
    const std::string good = damaged;
    damaged[damaged.size() / 2] ^= 0x01;
    hub.serve("model.safetensors", damaged, good);
    const auto error = failingInstall(options());
    EXPECT_EQ(error.code(), 2) << error.what();
    EXPECT_EQ(error.what(), std::string(kDamaged));
    EXPECT_EQ(hub.gets("model.safetensors").size(), 4u);  // this attempt's two
    expectNothingInstalled();
    EXPECT_FALSE(fs::exists(download / "models/openai/whisper-base.en/model.safetensors"));
}

// Errors that are not the network's own: each becomes the installer's code
// and sentence, naming the host, the status or the room needed.
TEST_F(ModelDownloaderTest, EveryKindOfFailureGetsItsOwnSentence) {
    using platform::HttpError;
    using platform::UrlErrorCode;
    struct Case {
        std::exception_ptr error;
        long code;
        std::string says;
        std::string repo = {};  // the checkpoint's, when the hub was asked
    };
    const std::string hubRepo = "openai/whisper-base.en";
    const Case cases[] = {
        {std::make_exception_ptr(HttpError(UrlErrorCode::cannotFindHost, "resolve")), 1,
         "the host hub.example.org was not found"},
        {std::make_exception_ptr(HttpError(UrlErrorCode::notConnectedToInternet, "down")), 1,
         "no network connection"},
        {std::make_exception_ptr(HttpError(UrlErrorCode::timedOut, "slow")), 1,
         "hub.example.org did not answer in time"},
        {std::make_exception_ptr(vortil::HubClientError::authorizationRequired()), 401,
         "(HTTP 401)"},
        {std::make_exception_ptr(vortil::HubClientError::httpStatusCode(502)), 502, "(HTTP 502)"},
        {std::make_exception_ptr(vortil::EnvironmentError::fileIntegrityError("x")), 2, kDamaged},
        {std::make_exception_ptr(
             fs::filesystem_error("write", std::make_error_code(std::errc::no_space_on_device))),
         5, "it needs 291 MB free in /data/models"},
        {std::make_exception_ptr(std::runtime_error(
             "Cannot write /data/x/weights.safetensors: No space left on device")),
         5, "it needs 291 MB free"},
        // A hub's missing tokenizer: no mirror to name, as for the pack server.
        {std::make_exception_ptr(vortil::HubClientError::fileNotFound("tokenizer.json")), 4,
         kIncomplete, hubRepo},
        // The pack server: a missing file is its status.
        {std::make_exception_ptr(HttpError(UrlErrorCode::cannotConnectToHost, "refused")), 1,
         "hub.example.org refused the connection. To install it without the network, convert a "
         "checkpoint folder with verbolin-models convert (see the README)."},
        {std::make_exception_ptr(vortil::HubClientError::fileNotFound("config.json")), 4,
         kIncomplete},
    };
    for (const auto& c : cases) {
        const auto described = ModelDownloader::describeFailure(
            c.error, "https://hub.example.org:8443/mirror", "/data/models", 290'400'001, c.repo);
        ASSERT_TRUE(described.has_value()) << c.says;
        EXPECT_EQ(described->code(), c.code) << described->what();
        EXPECT_NE(std::string(described->what()).find(c.says), std::string::npos)
            << described->what();
        EXPECT_EQ(std::string(described->what()).find("HF_ENDPOINT") != std::string::npos,
                  !c.repo.empty() && c.code != 4)
            << described->what();
    }
    // Other file-system errors, and our own, pass on unchanged.
    EXPECT_FALSE(ModelDownloader::describeFailure(
        std::make_exception_ptr(
            fs::filesystem_error("move", std::make_error_code(std::errc::permission_denied))),
        "", "/", 0));
    EXPECT_FALSE(ModelDownloader::describeFailure(
        std::make_exception_ptr(platform::AppError("ModelDownloader", 3, kIncomplete)), "", "/",
        0));
}

// A disk without room for the checkpoint and the pack is refused before the
// transfer, saying how much room is needed; nothing is left on it.
TEST_F(ModelDownloaderTest, AFullDiskSaysHowMuchRoomIsNeeded) {
    testsupport::SmallDisk disk(8 << 20);
    if (disk.unavailable()) GTEST_SKIP() << *disk.unavailable();
    testsupport::ScopedEnv onDisk{"XDG_DATA_HOME", disk.path().string()};
    const ModelPack smallPack = ModelPack::named("standard");
    try {
        ModelDownloader(options()).install(smallPack);
        ADD_FAILURE() << "installed onto a small disk";
    } catch (const platform::AppError& e) {
        EXPECT_EQ(e.code(), 5) << e.what();
        int64_t total = 0;
        for (const auto& name : CheckpointDownload::files())
            total += static_cast<int64_t>(hub.content(name).size());
        const int64_t neededMB = (2 * total + 16'000'000 + 999'999) / 1'000'000;
        EXPECT_NE(std::string(e.what()).find("needs " + std::to_string(neededMB) + " MB free"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(fs::exists(smallPack.localFolder()));
    EXPECT_TRUE(hub.gets("model.safetensors").empty());
}

// The model tool takes a hub repository id in place of a folder: it fetches
// the same five files through the hub client and makes the same pack.
TEST_F(ModelDownloaderTest, TheToolConvertsAHubRepoIdLikeAFolder) {
    CheckpointHub small(testsupport::trainedModel(), "openai/whisper-small.en");
    const fs::path out = temp / "small-pack";
    const auto r = testsupport::runShell("HF_ENDPOINT='" + small.endpoint() +
                                         "' CI_DISABLE_NETWORK_MONITOR=1 '" + VERBOLIN_BINARY_DIR +
                                         "/verbolin-models' convert openai/whisper-small.en '" +
                                         out.string() + "' 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Wrote MelSpectrogram.mlmodelc"), std::string::npos) << r.output;
    EXPECT_TRUE(testsupport::filesUnder(out) == referencePack());
    EXPECT_EQ(small.gotPaths().size(), CheckpointDownload::files().size());

    // A repo id the hub does not know says so and writes nothing.
    const auto missing = testsupport::runShell(
        "HF_ENDPOINT='" + small.endpoint() + "' CI_DISABLE_NETWORK_MONITOR=1 '" +
        VERBOLIN_BINARY_DIR + "/verbolin-models' convert openai/no-such-model '" +
        (temp / "none").string() + "' 2>&1");
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("config.json"), std::string::npos) << missing.output;
    EXPECT_FALSE(fs::exists(temp / "none"));
}

// Offline, the install works from what an earlier attempt fetched, without a
// request; a checkpoint fetched only in part is the network's failure, and
// the part stays for when the network is back.
TEST_F(ModelDownloaderTest, OfflineInstallsFromAnEarlierDownloadOnly) {
    vortil::HubApi client(download, std::nullopt, hub.endpoint());
    client.useOfflineMode = false;
    const CheckpointDownload earlier(client, std::string(ModelPack::kStandardCheckpoint));
    const fs::path cached = earlier.fetch();
    fs::remove(cached / "tokenizer_config.json");
    const size_t asked = hub.server.recorded().size();

    const auto error = failingInstall(options(true));
    EXPECT_EQ(error.code(), 1) << error.what();
    EXPECT_NE(std::string(error.what()).find("offline"), std::string::npos) << error.what();
    expectNothingInstalled();
    EXPECT_TRUE(fs::exists(cached / "model.safetensors"));

    earlier.fetch();  // the network is back for a moment
    const size_t refetched = hub.server.recorded().size();
    EXPECT_EQ(hub.gets("model.safetensors").size(), 1u) << "the weights were fetched again";
    ModelDownloader(options(true)).install(pack);
    EXPECT_EQ(hub.server.recorded().size(), refetched) << "asked the hub while offline";
    EXPECT_GT(refetched, asked);
    EXPECT_TRUE(testsupport::filesUnder(local) == referencePack());
}

// With a pack server named, the pack comes from its archive: the model files
// at the top level, in one enclosing folder, or in the first listed folder
// holding the text decoder, installed over an incomplete pack folder.
TEST_F(ModelDownloaderTest, ArchiveLayoutsInstallTheFolderHoldingTheDecoder) {
    using testsupport::ZipBuilder;
    ZipBuilder top, enclosed, several, slow, large;
    several.file("notes/readme.txt", "no model here");
    // Twice the size of the temporary folder's disk below.
    const std::string largeMark = testsupport::incompressibleBytes(1 << 20);
    addPack(large.stored(), "standard-v1/", largeMark);
    // Under one write block of the download engine: the file on disk alone
    // would not move until the end.
    const std::string slowMark = testsupport::incompressibleBytes(400'000);
    addPack(addPack(several, "first/", "first"), "second/", "second");
    // The first listed, as a second unpacking on the same disk lists them.
    const fs::path listed = temp / "data/listing", reference = temp / "reference.zip";
    fs::create_directories(listed);
    several.writeTo(reference);
    platform::ZipExtractor::extract(reference, listed);
    std::string winner;
    for (const auto& entry : fs::directory_iterator(listed))
        if (winner.empty() && fs::exists(entry.path() / "TextDecoder.mlmodelc"))
            winner = entry.path().filename().string();
    const struct {
        const char* name;
        ZipBuilder zip;
        std::string mark;      // the pack that must be in place
        bool chunked = false;  // sent without a size
        bool slow = false;     // 32 KiB every 100 ms, for 2.5 s at least
        // Beside archives earlier installs left: the killed one's goes.
        bool besideLeftovers = false;
        bool temporaryElsewhere = false;  // on another file system than the packs
        // The connection drops part-way through another archive, whose
        // Last-Modified is too near the answer's Date to tell it from this one.
        bool cutThenChanged = false;
    } cases[] = {
        {"model files at the top level", addPack(top, "", "top"), "top"},
        {"one enclosing folder", addPack(enclosed, "standard-v1/", "enclosed"), "enclosed"},
        {"several folders", several, winner},
        {"sent without a size", top, "top", true},
        {"sent slowly", addPack(slow, "", slowMark), slowMark, false, true},
        {"beside archives other installs left", top, "top", false, false, true},
        {"a connection cut, then another archive, no strong validator", top, "top", false, false,
         false, false, true},
        // Never copied there: unpacked where it was downloaded.
        {"a temporary folder on another file system smaller than the archive", large, largeMark,
         false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<testsupport::SmallDisk> disk;
        std::optional<testsupport::ScopedEnv> temporary;
        if (c.temporaryElsewhere) {
            disk.emplace(1 << 20);
            SKIP_WITHOUT_SMALL_DISK(*disk);  // the last row
            temporary.emplace("TMPDIR", disk->path().string());
        }
        fs::remove_all(local);
        fs::create_directories(local / "TextDecoder.mlmodelc");
        if (c.chunked)
            packServer.set(kArchivePath,
                           testsupport::LocalHttpServer::Reply::chunkedBody(c.zip.bytes()));
        else if (c.slow)
            packServer.set(kArchivePath, testsupport::LocalHttpServer::Reply::throttled(
                                             c.zip.bytes(), std::chrono::milliseconds(100)));
        else if (c.cutThenChanged)
            packServer.set(kArchivePath, cutThenServing(c.zip.bytes()));
        else
            serveArchive(c.zip.bytes());
        platform::OpenFd holder;
        const auto stay = c.besideLeftovers ? testsupport::plantLeftoverArchives(
                                                  tmp.path(), temp / "archive.zip", holder)
                                            : std::set<std::string>{};
        const auto progress = installReportingProgress();
        // Removed by the install, before its own archive was unpacked.
        EXPECT_EQ(archivesWhileInstalling, stay.size() + (c.temporaryElsewhere ? 0 : 1));
        std::set<std::string> left;
        for (const auto& archive : archivesLeft()) left.insert(archive.filename().string());
        EXPECT_EQ(left, stay);
        for (const auto& name : stay) fs::remove(tmp / name);
        // Until the size is known, the catalogue's stands in: never "of 0 MB".
        if (c.chunked) {
            EXPECT_EQ(std::get<ModelDownloader::Downloading>(progress.front()),
                      (ModelDownloader::Downloading{0.0, 0, 130}));
        }
        // The text moves at least once a second while bytes arrive.
        std::set<double> between;
        for (const auto& p : progress)
            if (const auto* d = std::get_if<ModelDownloader::Downloading>(&p))
                if (d->fraction > 0 && d->fraction < 1) between.insert(d->fraction);
        EXPECT_GE(between.size(), c.slow ? 2u : 0u) << "no progress while the archive arrived";
        EXPECT_EQ(testsupport::filesUnder(local),
                  (std::map<std::string, std::string>{
                      {"TextDecoder.mlmodelc/model.mil", c.mark},
                      {"tokenizer/tokenizer.json", "{\"mark\":\"" + c.mark + "\"}"}}));
        expectOnlyThePackLeft();
    }
    EXPECT_TRUE(hub.gotPaths().empty()) << "asked the hub with a pack server named";
}

// Every archive failure: its code and message, nothing half-installed or
// written outside staging, and the old pack folder untouched unless the
// failure came after the move.
TEST_F(ModelDownloaderTest, ArchiveFailuresLeaveNothingHalfInstalled) {
    using testsupport::ZipBuilder;
    ZipBuilder noDecoder, noTokenizer, dotDot, absolute, linkOut, linkedFolder;
    noDecoder.file("standard-v1/tokenizer/tokenizer.json", "{}");
    addPack(noTokenizer, "standard-v1/", "new", false);
    addPack(dotDot, "", "x").file("../escaped.txt", "out");
    addPack(absolute, "", "x").file((temp / "absolute.txt").string(), "out");
    addPack(linkOut, "", "x").symlink("tokenizer/outside", "../../../escaped");
    linkedFolder.symlink("standard-v1", temp.path().string());
    // Unpacks to 220 MB from a fraction of one: no pack compresses so well.
    const std::string bomb =
        ZipBuilder().file("TextDecoder.mlmodelc/zeros", std::string(220 << 20, '\0')).bytes();
    std::string closedRoot;
    {
        testsupport::LocalHttpServer gone;  // a loopback port nothing listens on once it goes
        closedRoot = gone.root();
    }
    const auto serve = [&](const std::string& bytes) {
        return [&, bytes] { serveArchive(bytes); };
    };
    // A server whose HEAD and GET disagree: the GET's answer is the one that counts.
    const auto answering = [&](int head, int get) {
        return [&, head, get] {
            packServer.setHandler(kArchivePath, [=](const httplib::Request& req, auto& res) {
                res.status = req.method == "HEAD" ? head : get;
                res.set_content(res.status == 200 ? std::string(4096, 'z') : "no archive",
                                "application/zip");
            });
        };
    };
    const auto http = [](int status) {
        return "The speech model could not be downloaded (HTTP " + std::to_string(status) +
               "). Check your connection and try again.";
    };
    const struct {
        const char* name;
        std::function<void()> serve;
        long code;
        std::string says;
        const char* left = "old";  // the pack folder's decoder after the failure
    } cases[] = {
        {"nothing listens at the server's address", [] {}, 1,
         "The speech model could not be downloaded: 127.0.0.1 refused the connection. To "
         "install it without the network"},
        {"a 404",
         [&] {
             packServer.set(kArchivePath, testsupport::LocalHttpServer::Reply::answer(404, "gone"));
         },
         404, http(404)},
        {"HEAD 200, GET 404", answering(200, 404), 404, http(404)},
        {"HEAD refused (405), GET 500", answering(405, 500), 500, http(500)},
        {"HEAD 200, GET 204", answering(200, 204), 204, http(204)},
        {"HEAD 200, GET 206 for no range asked", answering(200, 206), 206, http(206)},
        {"no zip at all", serve("PK\x03\x04 not really a zip"), 2, kDamaged},
        {"no folder holds the decoder", serve(noDecoder.bytes()), 4, kIncomplete},
        {"a model folder without its tokenizer", serve(noTokenizer.bytes()), 3, kIncomplete, "new"},
        {"an entry climbing out with ..", serve(dotDot.bytes()), 2, kDamaged},
        {"an absolute entry", serve(absolute.bytes()), 2, kDamaged},
        {"a link out of the staging folder", serve(linkOut.bytes()), 2, kDamaged},
        {"a model folder that is a link", serve(linkedFolder.bytes()), 2, kDamaged},
        {"a bomb past anything a pack could be", serve(bomb), 2, kDamaged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(local);
        fs::create_directories(local / "TextDecoder.mlmodelc");
        std::ofstream(local / "TextDecoder.mlmodelc/model.mil") << "old";
        c.serve();
        auto o = archiveOptions();
        if (c.code == 1) o.serverRoot = closedRoot;
        const auto error = failingInstall(o);
        EXPECT_EQ(error.domain(), "ModelDownloader");
        EXPECT_EQ(error.code(), c.code) << error.what();
        EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        // The server's answer is the one error, said in its own words only.
        EXPECT_TRUE(c.code < 100 || error.what() == c.says) << error.what();
        EXPECT_TRUE(archivesLeft().empty());
        expectNothingInstalled(true);
        for (const fs::path& outside :
             {models / "escaped.txt", temp / "data/escaped", temp / "absolute.txt"})
            EXPECT_FALSE(fs::exists(outside)) << outside;
        EXPECT_EQ(testsupport::filesUnder(local),
                  (std::map<std::string, std::string>{{"TextDecoder.mlmodelc/model.mil", c.left}}));
    }
    // The 404 was the one error: nothing was fetched after the server's answer.
    EXPECT_EQ(getsOf(packServer), std::size(cases) - 2);
}

// A 130 MB archive (the catalogue's size): progress counts up to it in whole
// megabytes, then says "installing", and the pack is in place.
TEST_F(ModelDownloaderTest, ALargeArchiveReportsDownloadingThenInstalling) {
    constexpr size_t kArchiveBytes = 130'000'000;
    const size_t overhead = storedArchive("standard-v1/", "x").size() - 1;
    serveArchive(storedArchive("standard-v1/", std::string(kArchiveBytes - overhead, '\0')));
    const auto progress = installReportingProgress();
    EXPECT_EQ(fs::file_size(local / "TextDecoder.mlmodelc/weights.bin"), kArchiveBytes - overhead);
    EXPECT_EQ(std::get<ModelDownloader::Downloading>(progress[progress.size() - 2]),
              (ModelDownloader::Downloading{1.0, 130, 130}));
    int64_t before = 0;
    for (size_t i = 0; i + 1 < progress.size(); ++i) {
        const auto& d = std::get<ModelDownloader::Downloading>(progress[i]);
        EXPECT_EQ(d.totalMB, 130);
        EXPECT_GE(d.receivedMB, before);
        EXPECT_LE(d.fraction, 1.0);
        before = d.receivedMB;
    }
    expectOnlyThePackLeft();
    // The archive's end (its directory) ahead of the archive, once.
    std::vector<std::string> methods;
    for (const auto& r : packServer.recorded())
        methods.push_back(r.method + " " + r.header("Range").value_or(""));
    const auto size = std::to_string(kArchiveBytes);
    const auto end = std::to_string(kArchiveBytes - platform::ZipExtractor::kEndReach);
    EXPECT_EQ(methods,
              (std::vector<std::string>{
                  "HEAD ", "GET bytes=" + end + "-" + std::to_string(kArchiveBytes - 1), "GET "}));
}

// An archive that unpacks to more than the disk holds, although within what
// a pack may be, is the disk's failure (code 5), naming the pack's folder and
// the room its own directory says it unpacks to, the archive where it lies
// not counted. Nothing unpacked stays, and the archive is kept whole: with
// just the room said made, the next start unpacks it without fetching it again.
TEST_F(ModelDownloaderTest, AnArchiveBeyondTheFreeDiskIsKeptForTheNextStart) {
    testsupport::ZipBuilder zeros, manyFiles;
    zeros.file("standard-v1/TextDecoder.mlmodelc/zeros", std::string(64 << 20, '\0'));
    zeros.file("standard-v1/tokenizer/tokenizer.json", "{}");
    // A block of the disk each, however little each holds.
    for (int i = 0; i < 1000; ++i)
        manyFiles.file("standard-v1/TextDecoder.mlmodelc/part-" + std::to_string(i), "x");
    manyFiles.file("standard-v1/tokenizer/tokenizer.json", "{}");
    const std::string grows = growingArchive();
    const struct {
        const char* name;
        std::string archive;
        std::optional<off_t> room;  // left once the archive is whole; none: all the disk has
        int64_t atMostMB;           // the most the room said may be
        std::optional<off_t> roomAhead = {};  // left before the install; none: all the disk has
        bool most = false;  // the room said is the most it may take, the directory unknown
        std::function<void(const std::string&)> serve = {};
    } cases[] = {
        {"unpacking to far more than the archive", zeros.bytes(), {}, 69},
        // As large unpacked as downloaded: the archive on the disk is not counted again.
        {"an archive that barely compresses",
         storedArchive("standard-v1/", testsupport::incompressibleBytes(6'000'000)), 2'000'000, 8},
        {"many small files", manyFiles.bytes(), 0, 7},
        // Said before the download, from the archive's directory read ahead:
        // the archive and what it unpacks to, both on the disk at once.
        {"unpacking to more than the archive, said before its download", grows, {}, 11, 2'000'000},
        // Without the directory: the most the archive may unpack to (the
        // 327 MB a pack may be, a block for each entry it has room for).
        {"a server that answers no range",
         grows,
         {},
         380,
         2'000'000,
         true,
         [&](const std::string& archive) {
             packServer.set(kArchivePath, [&] {
                 auto whole = testsupport::LocalHttpServer::Reply::ok(archive);
                 whole.ignoreRange = true;
                 return whole;
             }());
         }},
        {"a piece of another range than asked",
         grows,
         {},
         380,
         2'000'000,
         true,
         servingPieces(1, 0)},
        {"a piece of an archive of another size",
         grows,
         {},
         380,
         2'000'000,
         true,
         servingPieces(0, 1)},
        {"a piece cut short", grows, {}, 380, 2'000'000, true, servingPieces(0, 0, 1)},
        {"a piece whose directory claims more entries than it holds",
         grows,
         {},
         380,
         2'000'000,
         true,
         servingPieces(0, 0, 0, lyingAt(8, 0xFFFFFFFF))},
        {"a piece declaring an entry past any pack",
         grows,
         {},
         380,
         2'000'000,
         true,
         servingPieces(0, 0, 0, lyingAt(22 + 24, 0xFFFFFFFF))},
    };
    const std::regex saysRoom("(needs|may need up to) ([0-9]+) MB free in ([^ ]+?)(\\.$| \\()");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::SmallDisk disk(24 << 20);
        SKIP_WITHOUT_SMALL_DISK(disk);
        testsupport::ScopedEnv onDisk{"XDG_DATA_HOME", disk.path().string()};
        const fs::path onDiskModels = disk.path() / "Verbolin/models";
        c.serve ? c.serve(c.archive) : serveArchive(c.archive);
        if (c.roomAhead) disk.fill(*c.roomAhead);
        const size_t getsBefore = getsOf(packServer);
        ModelDownloader first(archiveOptions());
        const auto error = failingInstall(first, [&](const ModelDownloader::Progress& p) {
            if (c.room && std::holds_alternative<ModelDownloader::Installing>(p))
                disk.fill(*c.room);
        });
        EXPECT_EQ(error.code(), 5) << error.what();
        std::smatch said;
        const std::string what = error.what();
        ASSERT_TRUE(std::regex_search(what, said, saysRoom)) << what;
        EXPECT_EQ(said[1].str(), c.most ? "may need up to" : "needs");
        EXPECT_EQ(said[3].str(), onDiskModels.string());
        const int64_t neededMB = std::stoll(said[2].str());
        EXPECT_LE(neededMB, c.atMostMB) << what;
        EXPECT_TRUE(archivesLeft().empty());
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(onDiskModels))
            if (!entry.is_directory()) files.push_back(entry.path().parent_path());
        EXPECT_EQ(files, std::vector<fs::path>{onDiskModels / ".download-standard/archive"});

        // The room said (no less is needed), and a page for the filler's rounding.
        disk.makeRoom();
        disk.resize(size_t(neededMB + 32) << 20);
        disk.fill(off_t(neededMB * 1'000'000 + 4096));
        EXPECT_NO_THROW(ModelDownloader(archiveOptions()).install(pack));
        EXPECT_EQ(getsOf(packServer), getsBefore + 1) << "the kept archive was fetched again";
    }
}

// A download cut short (a quit while the server stalls) keeps its bytes; the
// next install continues them with a ranged request only while the server
// has the same archive (by its etag, or else its time of last change), never
// splicing them onto another.
TEST_F(ModelDownloaderTest, ACutArchiveDownloadIsContinuedOnlyWhileTheArchiveIsTheSame) {
    const std::string weights = testsupport::incompressibleBytes(4'000'000);
    std::string changed = weights;
    changed[100] ^= 0x5a;
    const std::string first = storedArchive("", weights);
    // A time of change less than a minute before the answer names nothing.
    enum class Named { byEtag, byTime, byRecentTime };
    // The validator a server gives `bytes`: one per content.
    const auto named = [&](testsupport::LocalHttpServer::Reply reply, const std::string& bytes,
                           Named by) {
        if (by == Named::byEtag)
            return reply.header("ETag", "\"" + CheckpointHub::sha256(bytes) + "\"");
        return reply
            .header("Date", by == Named::byTime ? "Thu, 07 Mar 2024 10:00:00 GMT"
                                                : "Tue, 05 Mar 2024 10:00:59 GMT")
            .header("Last-Modified", bytes == first ? "Tue, 05 Mar 2024 10:00:00 GMT"
                                                    : "Wed, 06 Mar 2024 10:00:00 GMT");
    };
    const struct {
        const char* name;
        std::string weightsThen;
        Named by;
        bool continued;
        // The file changes after the next install's HEAD, before its GET:
        // the continued request is answered with the whole new archive.
        bool changesBeforeTheGet = false;
    } cases[] = {
        {"the same archive", weights, Named::byEtag, true},
        {"another archive at the same address", changed, Named::byEtag, false},
        {"the same archive, no etag", weights, Named::byTime, true},
        {"the same archive, no etag, a time 59 s before the answer", weights, Named::byRecentTime,
         false},
        {"another archive, no etag", changed, Named::byTime, false},
        {"another archive once the HEAD is answered, no etag", changed, Named::byTime, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(models);
        testsupport::LocalHttpServer server;
        server.set(
            kArchivePath,
            named(testsupport::LocalHttpServer::Reply::stalling(first, 3'000'000), first, c.by));
        auto o = archiveOptions();
        o.serverRoot = server.root();

        ModelDownloader cut(o);
        std::optional<platform::AppError> error;
        std::thread quitting([&] { error = failingInstall(cut); });
        // The one partial file, named by the server's validator.
        const auto partial = [&] {
            std::error_code ec;
            for (fs::directory_iterator it(download / "archive", ec), end; !ec && it != end;
                 it.increment(ec))
                return it->path();
            return fs::path();
        };
        const bool stalled = testsupport::waitUntil(
            [&] {
                std::error_code ec;
                return fs::file_size(partial(), ec) >= 1'048'576 && !ec;
            },
            std::chrono::seconds(60));
        cut.cancel();
        quitting.join();
        server.release();
        ASSERT_TRUE(stalled);
        EXPECT_EQ(error->code(), 1) << error->what();
        EXPECT_NE(std::string(error->what()).find("cancelled"), std::string::npos) << error->what();
        expectNothingInstalled();
        const std::string kept = testsupport::readFile(partial());
        ASSERT_FALSE(kept.empty());
        EXPECT_TRUE(kept == first.substr(0, kept.size())) << "the kept bytes are not the archive's";

        const std::string then = storedArchive("", c.weightsThen);
        auto now = named(testsupport::LocalHttpServer::Reply::ok(then), then, c.by);
        now.ignoreRange = c.changesBeforeTheGet;  // as a server that honours If-Range answers
        server.set(kArchivePath,
                   c.changesBeforeTheGet
                       ? named(testsupport::LocalHttpServer::Reply::ok(first), first, c.by)
                             .thenServe(now, 0)
                       : now);
        ModelDownloader(o).install(pack);
        EXPECT_TRUE(testsupport::readFile(local / "TextDecoder.mlmodelc/weights.bin") ==
                    c.weightsThen)
            << "the installed weights are not the served ones";
        const auto requests = server.recorded();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().header("Range"),
                  c.continued ? std::optional("bytes=" + std::to_string(kept.size()) + "-")
                              : std::nullopt);
        EXPECT_EQ(std::any_of(requests.begin(), requests.end(),
                              [](const auto& r) {
                                  return !readsAhead(r) && r.header("If-Range").has_value();
                              }),
                  c.continued || c.changesBeforeTheGet);
        expectOnlyThePackLeft();
    }
}

// Installs of the pack at once: the later ones wait and find it in place;
// the archive is fetched once.
TEST_F(ModelDownloaderTest, OverlappingArchiveInstallsFetchTheArchiveOnce) {
    testsupport::ZipBuilder zip;
    serveArchive(addPack(zip, "standard-v1/", "once").bytes());
    std::vector<std::exception_ptr> errors(4);
    std::vector<std::thread> installs;
    for (auto& error : errors) {
        installs.emplace_back([&] {
            try {
                ModelDownloader(archiveOptions()).install(pack);
            } catch (...) {
                error = std::current_exception();
            }
        });
    }
    for (auto& t : installs) t.join();
    for (const auto& error : errors) EXPECT_FALSE(error) << "an install failed";
    EXPECT_EQ(testsupport::readFile(local / "TextDecoder.mlmodelc/model.mil"), "once");
    EXPECT_EQ(getsOf(packServer), 1u);
    expectOnlyThePackLeft();
}

// Run by AnInstallOutOfDescriptorsIsToldSo in a process of its own: the
// install with only VERBOLIN_TEST_SPARE descriptors free, and what it said.
TEST(StarvedInstallChild, DISABLED_InstallsAndSays) {
    const char* spare = std::getenv("VERBOLIN_TEST_SPARE");
    if (!spare) GTEST_SKIP() << "runs only as a child of the starved install test";
    ModelDownloader::Options o;
    o.endpoint = std::getenv("VERBOLIN_TEST_ENDPOINT");
    o.serverRoot = std::getenv("VERBOLIN_TEST_SERVER");
    o.offline = false;
    { platform::HttpClient started; }  // libcurl reads what it needs once, before the limit
    testsupport::SpareDescriptors starved(std::atoi(spare));
    ASSERT_TRUE(starved.set());
    std::string said = "installed";
    try {
        ModelDownloader(o).install(ModelPack::named("standard"));
    } catch (const std::exception& e) {
        said = e.what();
    }
    starved.restore();
    std::ofstream(std::getenv("VERBOLIN_TEST_SAID")) << said;
}

// A process out of descriptors is told so wherever one runs out (the lock,
// the socket to the hub or the pack server, the partial files), never as a
// server that refused it; with enough of them, the install goes through.
TEST_F(ModelDownloaderTest, AnInstallOutOfDescriptorsIsToldSo) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan, built in beside it, opens a pipe to check an object's type, and
    // takes a refused one for a bad object.
    GTEST_SKIP() << "the sanitizer's checks need descriptors of their own";
#endif
    testsupport::ZipBuilder zip;
    serveArchive(addPack(zip, "standard-v1/", "starved").bytes());
    testsupport::ScopedEnv endpoint{"VERBOLIN_TEST_ENDPOINT", hub.endpoint()};
    testsupport::ScopedEnv saidIn{"VERBOLIN_TEST_SAID", (temp / "said").string()};
    for (const std::string& root : {std::string(), packServer.root()}) {
        SCOPED_TRACE(root.empty() ? "from the hub" : "from the pack server");
        testsupport::ScopedEnv server{"VERBOLIN_TEST_SERVER", root};
        fs::remove_all(models);
        bool installed = false, atTheSocket = false;
        for (int spare = 0; spare < 64 && !installed; ++spare) {
            testsupport::ScopedEnv spareEnv{"VERBOLIN_TEST_SPARE", std::to_string(spare)};
            fs::remove(temp / "said");
            const pid_t pid = ::fork();
            if (pid == 0)
                testsupport::runDisabledTestInThisChild(
                    "starved-install", "StarvedInstallChild.DISABLED_InstallsAndSays");
            int status = 0;
            ASSERT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                        WEXITSTATUS(status) == 0);
            const std::string said = testsupport::readFile(temp / "said");
            installed = said == "installed";
            EXPECT_TRUE(installed || said.find("Too many open files") != std::string::npos)
                << spare << " spare: " << said;
            atTheSocket |= said.find(
                               "cannot open a connection to 127.0.0.1: Too many open "
                               "files") != std::string::npos;
        }
        EXPECT_TRUE(installed && pack.isInstalled()) << "not installed with 64 descriptors spare";
        EXPECT_TRUE(atTheSocket) << "no install ran out at its socket";
    }
}
