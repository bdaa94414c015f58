#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <optional>

#include "platform/system/AppError.hpp"
#include "platform/system/FileLock.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "support/ZipBuilder.hpp"
#include "verbolin/listening/ModelDownloader.hpp"

using namespace verbolin;
using testsupport::LocalHttpServer;
using testsupport::ZipBuilder;
using Reply = LocalHttpServer::Reply;
namespace fs = std::filesystem;

namespace {

const char* const kArchivePath = "/models/standard-v1.zip";
const char* const kDamaged = "The download was damaged. Please try again.";
const char* const kIncomplete = "The download was incomplete. Please try again.";

// A model folder's worth of entries under `prefix` ("" or "name/").
ZipBuilder& addModel(ZipBuilder& zip, const std::string& prefix,
                     const std::string& marker = "model") {
    return zip.file(prefix + "TextDecoder.mlmodelc/model.json", marker)
        .file(prefix + "tokenizer/tokenizer.json", "{\"model\":{}}");
}

class ModelDownloaderTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Whatever happened, no downloaded archive may be left behind.
        for (const auto& entry : fs::directory_iterator(tmp)) {
            ADD_FAILURE() << "left in the temporary folder: " << entry.path();
        }
    }

    ModelDownloader::Options options() const {
        ModelDownloader::Options o;
        o.serverRoot = server.root();
        return o;
    }

    // Runs an install that must fail and returns its error.
    platform::AppError failingInstall() {
        ModelDownloader downloader(options());
        try {
            downloader.install(pack,
                               [&](const ModelDownloader::Progress& p) { progress.push_back(p); });
        } catch (const platform::AppError& e) {
            return e;
        }
        ADD_FAILURE() << "install did not fail";
        return platform::AppError("", 0, "");
    }

    void install() {
        ModelDownloader downloader(options());
        downloader.install(pack,
                           [&](const ModelDownloader::Progress& p) { progress.push_back(p); });
    }

    std::vector<ModelDownloader::Downloading> downloads() const {
        std::vector<ModelDownloader::Downloading> d;
        for (const auto& p : progress) {
            if (auto* x = std::get_if<ModelDownloader::Downloading>(&p)) d.push_back(*x);
        }
        return d;
    }

    fs::path partialFile() const { return local.parent_path() / ".download-standard.zip.partial"; }
    fs::path sidecarFile() const {
        return local.parent_path() / ".download-standard.zip.partial.json";
    }

    testsupport::TempDir temp;
    fs::path data = temp.path() / "data";
    fs::path tmp = temp.path() / "tmp";
    bool foldersMade =
        fs::create_directories(data) && fs::create_directories(tmp);  // before the server and env
    testsupport::ScopedEnv dataEnv{"XDG_DATA_HOME", data.string()};
    testsupport::ScopedEnv tmpEnv{"TMPDIR", tmp.string()};
    LocalHttpServer server;
    ModelPack pack = ModelPack::named("standard");
    fs::path local = pack.localFolder();
    fs::path staging = local.parent_path() / ".staging-standard";
    std::vector<ModelDownloader::Progress> progress;
};

}  // namespace

TEST_F(ModelDownloaderTest, InstallsEveryArchiveLayout) {
    ZipBuilder topLevel;
    addModel(topLevel, "");
    ZipBuilder enclosed;
    enclosed.folder("standard-v1/").folder("standard-v1/TextDecoder.mlmodelc/");
    addModel(enclosed, "standard-v1/");
    ZipBuilder severalFolders;
    severalFolders.file("docs/README.txt", "read me").file("__MACOSX/._x", "fork");
    addModel(severalFolders, "pack/");
    ZipBuilder topLevelWins;
    addModel(topLevelWins, "nested/", "nested");
    addModel(topLevelWins, "", "top");
    const struct {
        const char* name;
        ZipBuilder zip;
        const char* marker;
    } cases[] = {
        {"model at the top level", topLevel, "model"},
        {"one enclosing folder", enclosed, "model"},
        {"the folder that holds the model", severalFolders, "model"},
        {"the staging folder comes first", topLevelWins, "top"},
    };
    for (const auto& c : cases) {
        fs::remove_all(local);
        progress.clear();
        server.set(kArchivePath, Reply::ok(c.zip.bytes()));
        ASSERT_NO_THROW(install()) << c.name;
        EXPECT_TRUE(pack.isInstalled()) << c.name;
        EXPECT_EQ(testsupport::readFile(local / "TextDecoder.mlmodelc" / "model.json"), c.marker)
            << c.name;
        EXPECT_FALSE(fs::exists(staging)) << c.name;
        ASSERT_FALSE(progress.empty()) << c.name;
        EXPECT_TRUE(std::holds_alternative<ModelDownloader::Installing>(progress.back())) << c.name;
    }
}

TEST_F(ModelDownloaderTest, AnInstalledPackMakesNoRequestAndReportsNothing) {
    fs::create_directories(local / "TextDecoder.mlmodelc");
    fs::create_directories(local / "tokenizer");
    std::ofstream(local / "tokenizer" / "tokenizer.json") << "{}";
    install();
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(progress.empty());
}

TEST_F(ModelDownloaderTest, HttpErrorsCarryTheStatusAndLeaveTheOldCopyAlone) {
    fs::create_directories(local);
    std::ofstream(local / "old.txt") << "old";
    for (int status : {404, 403, 500}) {
        if (status != 404) server.set(kArchivePath, Reply::answer(status, "nope"));
        const auto e = failingInstall();
        EXPECT_EQ(e.domain(), "ModelDownloader");
        EXPECT_EQ(e.code(), status);
        EXPECT_STREQ(e.what(), ("The speech model could not be downloaded (HTTP " +
                                std::to_string(status) + "). Check your connection and try again.")
                                   .c_str());
        EXPECT_TRUE(fs::exists(local / "old.txt"));
        EXPECT_FALSE(fs::exists(staging));
    }
}

TEST_F(ModelDownloaderTest, ConnectionRefusedIsCodeOneWithTheTransportDescription) {
    server.stop();
    const auto e = failingInstall();
    EXPECT_EQ(e.domain(), "ModelDownloader");
    EXPECT_EQ(e.code(), 1);
    const std::string prefix = "The speech model could not be downloaded: ";
    const std::string message = e.what();
    ASSERT_GT(message.size(), prefix.size());
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(progress.empty());
}

TEST_F(ModelDownloaderTest, ARedirectedDownloadInstalls) {
    ZipBuilder zip;
    addModel(zip, "standard-v1/");
    server.set(kArchivePath, Reply::redirect(302, "/cdn/pack.zip"));
    server.set("/cdn/pack.zip", Reply::ok(zip.bytes()));
    install();
    EXPECT_TRUE(pack.isInstalled());
}

TEST_F(ModelDownloaderTest, DamagedOrHostileArchivesAreCodeTwoAndWriteNothingOutside) {
    ZipBuilder good;
    addModel(good, "");
    std::string truncated = good.bytes();
    truncated.resize(truncated.size() / 2);
    ZipBuilder slip;
    addModel(slip, "").file("../../evil.txt", "x");
    ZipBuilder absolute;
    addModel(absolute, "").file((temp.path() / "evil.txt").string(), "x");
    ZipBuilder link;
    addModel(link, "").symlink("tokenizer/escape", "../../../../evil");
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"an error page", "<html>Bad gateway</html>"},
        {"a truncated archive", truncated},
        {"a dot-dot entry", slip.bytes()},
        {"an absolute entry", absolute.bytes()},
        {"a link out of the folder", link.bytes()},
    };
    fs::create_directories(local);
    std::ofstream(local / "old.txt") << "old";
    for (const auto& c : cases) {
        server.set(kArchivePath, Reply::ok(c.bytes));
        const auto e = failingInstall();
        EXPECT_EQ(e.code(), 2) << c.name;
        EXPECT_STREQ(e.what(), kDamaged) << c.name;
        EXPECT_TRUE(fs::exists(local / "old.txt")) << c.name;
        for (const auto& entry : fs::recursive_directory_iterator(temp.path())) {
            EXPECT_NE(entry.path().filename(), "evil.txt") << c.name << ": " << entry.path();
            EXPECT_NE(entry.path().filename(), "evil") << c.name << ": " << entry.path();
        }
    }
}

TEST_F(ModelDownloaderTest, MissingModelIsCodeFourAndMissingTokenizerCodeThree) {
    fs::create_directories(local);
    std::ofstream(local / "old.txt") << "old";

    server.set(kArchivePath,
               Reply::ok(ZipBuilder().file("pack/readme.txt", "no model here").bytes()));
    auto e = failingInstall();
    EXPECT_EQ(e.code(), 4);
    EXPECT_STREQ(e.what(), kIncomplete);
    EXPECT_TRUE(fs::exists(local / "old.txt"));

    // Without the tokenizer the pack is moved in, replacing the old copy, and
    // only then found wanting.
    server.set(kArchivePath,
               Reply::ok(ZipBuilder().file("pack/TextDecoder.mlmodelc/model.json", "m").bytes()));
    e = failingInstall();
    EXPECT_EQ(e.code(), 3);
    EXPECT_STREQ(e.what(), kIncomplete);
    EXPECT_FALSE(fs::exists(local / "old.txt"));
    EXPECT_TRUE(fs::exists(local / "TextDecoder.mlmodelc" / "model.json"));
}

TEST_F(ModelDownloaderTest, FileSystemErrorsArePassedOnUnchanged) {
    ZipBuilder zip;
    addModel(zip, "");
    server.set(kArchivePath, Reply::ok(zip.bytes()));
    // A file where the application's data folder should be.
    std::ofstream(data / "Verbolin") << "in the way";
    ModelDownloader downloader(options());
    EXPECT_THROW(downloader.install(pack), fs::filesystem_error);
}

// An install killed after moving the pack into place, before removing its
// archive, left the archive (as large as the pack) and maybe its staging
// folder: the next install, or the app finding the pack installed, removes
// them without a request, unless an install of the pack still holds its lock.
TEST_F(ModelDownloaderTest, WhatAnInstallKilledAfterMovingThePackLeftIsRemoved) {
    fs::create_directories(local / "TextDecoder.mlmodelc");
    fs::create_directories(local / "tokenizer");
    std::ofstream(local / "tokenizer" / "tokenizer.json") << "{}";
    const struct {
        const char* name;
        bool viaInstall;   // else the app's own check at start
        bool lockHeld;     // by another install of the pack
        bool sidecarOnly;  // the archive already gone, its record not
    } cases[] = {
        {"install", true, false, false},
        {"app start", false, false, false},
        {"record alone", true, false, true},
        {"another install running", true, true, false},
        {"another install running, app start", false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.sidecarOnly) std::ofstream(partialFile()) << std::string(4096, 'z');
        std::ofstream(sidecarFile()) << "{}";
        fs::create_directories(staging / "standard-v1" / "tokenizer");
        std::optional<platform::FileLock> other;
        if (c.lockHeld) {
            other.emplace(local.parent_path() / ".install-standard.lock");
            ASSERT_TRUE(other->tryLock());
        }
        if (c.viaInstall)
            install();
        else
            ModelDownloader::removeLeftovers(pack);
        EXPECT_TRUE(server.requests().empty());
        EXPECT_TRUE(pack.isInstalled());
        EXPECT_EQ(fs::exists(partialFile()), c.lockHeld);
        EXPECT_EQ(fs::exists(sidecarFile()), c.lockHeld);
        EXPECT_EQ(fs::exists(staging), c.lockHeld);
        other.reset();
        ModelDownloader::removeLeftovers(pack);
        EXPECT_FALSE(fs::exists(partialFile()) || fs::exists(sidecarFile()) || fs::exists(staging));
    }
    // Nothing beside an installed pack: nothing made, not even the lock file.
    fs::remove(local.parent_path() / ".install-standard.lock");
    ModelDownloader::removeLeftovers(pack);
    EXPECT_FALSE(fs::exists(local.parent_path() / ".install-standard.lock"));
}

// Links where the leftovers would be (planted, or left by an odd tool) are
// removed as links: what they point at, the user's own files, stays.
TEST_F(ModelDownloaderTest, LeftoversThatAreLinksAreRemovedWithoutFollowingThem) {
    fs::create_directories(local / "TextDecoder.mlmodelc");
    fs::create_directories(local / "tokenizer");
    std::ofstream(local / "tokenizer" / "tokenizer.json") << "{}";
    const fs::path mine = temp.path() / "mine";
    fs::create_directories(mine / "folder");
    std::ofstream(mine / "file") << "keep";
    std::ofstream(mine / "folder" / "inside") << "keep";
    fs::create_symlink(mine / "file", partialFile());
    fs::create_directory_symlink(mine / "folder", staging);

    ModelDownloader::removeLeftovers(pack);
    EXPECT_FALSE(fs::exists(fs::symlink_status(partialFile())));
    EXPECT_FALSE(fs::exists(fs::symlink_status(staging)));
    EXPECT_EQ(testsupport::readFile(mine / "file"), "keep");
    EXPECT_EQ(testsupport::readFile(mine / "folder" / "inside"), "keep");
    EXPECT_TRUE(pack.isInstalled());
}

TEST_F(ModelDownloaderTest, AFailedInstallRemovesItsStagingAndALeftoverOneIsCleared) {
    server.set(kArchivePath, Reply::ok(ZipBuilder().file("partial/readme.txt", "x").bytes()));
    EXPECT_EQ(failingInstall().code(), 4);
    EXPECT_FALSE(fs::exists(staging));
    server.set(kArchivePath, Reply::ok("<html>Bad gateway</html>"));
    EXPECT_EQ(failingInstall().code(), 2);
    EXPECT_FALSE(fs::exists(staging));

    // One left by a process that died while unpacking.
    fs::create_directories(staging / "partial");

    ZipBuilder zip;
    addModel(zip, "standard-v1/");
    server.set(kArchivePath, Reply::ok(zip.bytes()));
    install();
    EXPECT_TRUE(pack.isInstalled());
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_FALSE(fs::exists(local / "partial"));
}

TEST_F(ModelDownloaderTest, ProgressCountsWholeMegabytesOfAKnownLength) {
    ZipBuilder zip;
    addModel(zip.stored(), "standard-v1/")
        .file("standard-v1/weights.bin", testsupport::incompressibleBytes(2600000));
    const std::string bytes = zip.bytes();
    ASSERT_GT(bytes.size(), 2600000u);
    server.set(kArchivePath, Reply::ok(bytes));
    install();

    const auto d = downloads();
    ASSERT_GE(d.size(), 2u);
    for (size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].totalMB, 2);
        EXPECT_GE(d[i].fraction, 0.0);
        EXPECT_LE(d[i].fraction, 1.0);
        if (i > 0) {
            EXPECT_GE(d[i].fraction, d[i - 1].fraction);
        }
    }
    EXPECT_EQ(d.front().receivedMB, 0);
    EXPECT_EQ(d.back().receivedMB, 2);
    EXPECT_DOUBLE_EQ(d.back().fraction, 1.0);
    EXPECT_EQ(std::count_if(progress.begin(), progress.end(),
                            [](const auto& p) {
                                return std::holds_alternative<ModelDownloader::Installing>(p);
                            }),
              1);
}

TEST_F(ModelDownloaderTest, UnknownLengthShowsThePackSizeAndNoFraction) {
    ZipBuilder zip;
    addModel(zip.stored(), "").file("weights.bin", testsupport::incompressibleBytes(2600000));
    server.set(kArchivePath, Reply::chunkedBody(zip.bytes()));
    install();

    const auto d = downloads();
    ASSERT_GE(d.size(), 2u);
    for (const auto& x : d) {
        EXPECT_EQ(x.totalMB, pack.approxMB);
        EXPECT_EQ(x.fraction, 0.0);
    }
    EXPECT_EQ(d.back().receivedMB, 2);
    EXPECT_TRUE(pack.isInstalled());
}

// A throwing progress callable is how a caller stops an install: what was
// received is kept for the next attempt, which then installs.
TEST_F(ModelDownloaderTest, AThrowingProgressCallableEndsTheInstallAndKeepsWhatArrived) {
    ZipBuilder zip;
    addModel(zip, "");
    server.set(kArchivePath, Reply::ok(zip.bytes()).header("ETag", "\"v1\""));
    struct Abort {};
    ModelDownloader downloader(options());
    EXPECT_THROW(downloader.install(pack, [](const ModelDownloader::Progress&) { throw Abort{}; }),
                 Abort);
    EXPECT_FALSE(pack.isInstalled());
    EXPECT_EQ(testsupport::readFile(partialFile()), zip.bytes());
    install();
    EXPECT_TRUE(pack.isInstalled());
    EXPECT_FALSE(fs::exists(partialFile()));
    EXPECT_FALSE(fs::exists(sidecarFile()));
}

// Unpacking onto a full disk is the disk's error, not a damaged download:
// the user must free space, not download again. The pack that was there
// stays, and no staging folder is left.
TEST_F(ModelDownloaderTest, AFullDiskWhileUnpackingIsSaidAsSuchAndKeepsTheOldPack) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    testsupport::ScopedEnv onDisk{"XDG_DATA_HOME", disk.path().string()};
    const fs::path installed = pack.localFolder();
    fs::create_directories(installed / "TextDecoder.mlmodelc");
    std::ofstream(installed / "TextDecoder.mlmodelc" / "model.json") << "old";
    ZipBuilder zip;
    addModel(zip.stored(), "", testsupport::incompressibleBytes(1 << 20));
    server.set(kArchivePath, Reply::ok(zip.bytes()));
    disk.fill();
    ModelDownloader downloader(options());
    try {
        downloader.install(pack);
        ADD_FAILURE() << "installed onto a full disk";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not the disk's error: " << e.what();
    }
    EXPECT_EQ(testsupport::readFile(installed / "TextDecoder.mlmodelc" / "model.json"), "old");
    EXPECT_FALSE(fs::exists(installed.parent_path() / ".staging-standard"));
}

namespace {

// How the archive's server answers a request that asks for the rest.
enum class Ranged {
    honour,          // 206 from the asked offset
    ignore,          // 200 with the whole file
    unsatisfiable,   // 416
    wrongStart,      // 206, but from another offset than asked
    noContentRange,  // 206 without saying which bytes
    shortPiece,      // 206 from the asked offset, but only half of the rest
};

// Serves one archive under an ETag, honouring If-Range (other content comes
// back whole with 200); the first `cuts` requests lose their connection
// after `cutAfter` body bytes. Records what each request asked for and how
// many body bytes were meant for it.
class ArchiveServer {
  public:
    struct Served {
        std::optional<std::string> range;
        std::optional<std::string> ifRange;
        int status = 0;
        size_t bytes = 0;
    };

    ArchiveServer(LocalHttpServer& server, std::string body, std::string etag)
        : body_(std::move(body)), etag_(std::move(etag)) {
        server.setHandler(kArchivePath, [this](const httplib::Request& req,
                                               httplib::Response& res) { serve(req, res); });
    }

    void replace(std::string body, std::string etag) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
        etag_ = std::move(etag);
    }
    void cut(size_t after, int times = 1) {
        std::lock_guard lock(mutex_);
        cutAfter_ = after;
        cuts_ = times;
    }
    void rangedAnswer(Ranged r) {
        std::lock_guard lock(mutex_);
        ranged_ = r;
    }
    // Answers a Range as if the file were unchanged, whatever If-Range says
    // (a server or proxy that does not know If-Range).
    void ignoreIfRange() {
        std::lock_guard lock(mutex_);
        ignoreIfRange_ = true;
    }
    // Sends bodies without a Content-Length, ended by closing the connection
    // (so a cut looks like the end of the body to the client).
    void closeDelimited() {
        std::lock_guard lock(mutex_);
        closeDelimited_ = true;
    }
    // Sent instead of the ETag; If-Range matches any of their values.
    void validators(std::vector<std::pair<std::string, std::string>> fields) {
        std::lock_guard lock(mutex_);
        validators_ = std::move(fields);
    }
    std::vector<Served> served() const {
        std::lock_guard lock(mutex_);
        return served_;
    }

  private:
    void serve(const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        const_cast<httplib::Request&>(req).ranges.clear();  // answered here, not by httplib
        Served s;
        if (req.has_header("Range")) s.range = req.get_header_value("Range");
        if (req.has_header("If-Range")) s.ifRange = req.get_header_value("If-Range");
        bool same = !s.ifRange || ignoreIfRange_;
        if (validators_.empty()) {
            res.set_header("ETag", etag_);
            same = same || *s.ifRange == etag_;
        }
        for (const auto& [n, v] : validators_) {
            res.set_header(n, v);
            same = same || *s.ifRange == v;
        }
        size_t first = 0;
        s.status = 200;
        if (s.range && same) {
            first = std::stoull(s.range->substr(std::string("bytes=").size()));
            switch (ranged_) {
                case Ranged::honour:
                    s.status = 206;
                    break;
                case Ranged::ignore:
                    first = 0;
                    break;
                case Ranged::unsatisfiable:
                    s.status = 416;
                    break;
                case Ranged::wrongStart:
                    s.status = 206;
                    first = first > 7 ? first - 7 : first + 7;
                    break;
                case Ranged::noContentRange:
                case Ranged::shortPiece:
                    s.status = 206;
                    break;
            }
        }
        res.status = s.status;
        if (s.status == 416) {
            res.set_header("Content-Range", "bytes */" + std::to_string(body_.size()));
            served_.push_back(s);
            return;
        }
        size_t last = body_.size() - 1;
        if (s.status == 206 && ranged_ == Ranged::shortPiece) last = first + (last - first) / 2;
        if (s.status == 206 && ranged_ != Ranged::noContentRange) {
            res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(last) + "/" +
                                                std::to_string(body_.size()));
        }
        auto part = std::make_shared<std::string>(body_.substr(first, last + 1 - first));
        s.bytes = part->size();
        served_.push_back(s);
        const size_t cutAt = cuts_-- > 0 ? cutAfter_ : std::string::npos;
        if (closeDelimited_) {
            res.set_content_provider(
                "application/octet-stream", [part, cutAt](size_t offset, httplib::DataSink& sink) {
                    const size_t end = std::min({part->size(), offset + 65536, cutAt});
                    if (offset < end) sink.write(part->data() + offset, end - offset);
                    if (end == part->size() || end == cutAt) sink.done();
                    return true;
                });
            return;
        }
        res.set_content_provider(
            part->size(), "application/octet-stream",
            [part, cutAt](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= cutAt) return false;  // httplib drops the connection
                const size_t end = std::min({part->size(), offset + 65536, cutAt});
                sink.write(part->data() + offset, end - offset);
                return true;
            });
    }

    mutable std::mutex mutex_;
    std::string body_;
    std::string etag_;
    size_t cutAfter_ = std::string::npos;
    int cuts_ = 0;
    Ranged ranged_ = Ranged::honour;
    bool ignoreIfRange_ = false;
    bool closeDelimited_ = false;
    std::vector<std::pair<std::string, std::string>> validators_;
    std::vector<Served> served_;
};

std::string bigArchive(const std::string& marker) {
    ZipBuilder zip;
    addModel(zip.stored(), "standard-v1/", marker)
        .file("standard-v1/weights.bin", testsupport::incompressibleBytes(2600000));
    return zip.bytes();
}

}  // namespace

TEST_F(ModelDownloaderTest, ACutDownloadContinuesWhereItStoppedAndCountsTheWholeFile) {
    const std::string bytes = bigArchive("model");
    const size_t cut = 1500000;
    ArchiveServer archive(server, bytes, "\"v1\"");
    archive.cut(cut);

    const auto e = failingInstall();
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(testsupport::readFile(partialFile()), bytes.substr(0, cut));
    EXPECT_TRUE(fs::exists(sidecarFile()));

    progress.clear();
    install();
    EXPECT_TRUE(pack.isInstalled());
    EXPECT_FALSE(fs::exists(partialFile()));
    EXPECT_FALSE(fs::exists(sidecarFile()));

    const auto served = archive.served();
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(served[1].range, "bytes=" + std::to_string(cut) + "-");
    EXPECT_EQ(served[1].ifRange, "\"v1\"");
    EXPECT_EQ(served[1].status, 206);
    EXPECT_EQ(served[1].bytes, bytes.size() - cut);

    // Progress counts the bytes kept from before, of the whole file's size.
    const auto d = downloads();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.front().receivedMB, 1);
    EXPECT_GE(d.front().fraction, double(cut) / double(bytes.size()));
    for (const auto& x : d) EXPECT_EQ(x.totalMB, int64_t(bytes.size() / 1000000));
    EXPECT_DOUBLE_EQ(d.back().fraction, 1.0);
}

// Whatever the server does with the request for the rest, bytes land only
// where they belong: a wrong answer means the whole file again.
TEST_F(ModelDownloaderTest, AnAnswerThatCannotContinueThePartialStartsOver) {
    const size_t cut = 700000;
    const struct {
        const char* name;
        Ranged ranged;
        bool changed;  // a new file under a new ETag between the attempts
        bool ifRangeIgnored;
        std::vector<int> statuses;
    } cases[] = {
        {"range honoured", Ranged::honour, false, false, {200, 206}},
        {"file changed", Ranged::honour, true, false, {200, 200}},
        {"file changed, If-Range not understood", Ranged::honour, true, true, {200, 206, 200}},
        {"range ignored", Ranged::ignore, false, false, {200, 200}},
        {"416", Ranged::unsatisfiable, false, false, {200, 416, 200}},
        {"another start", Ranged::wrongStart, false, false, {200, 206, 200}},
        {"no Content-Range", Ranged::noContentRange, false, false, {200, 206, 200}},
    };
    for (const auto& c : cases) {
        fs::remove_all(local);
        const std::string first = bigArchive("first");
        const std::string second = bigArchive("second");
        ArchiveServer archive(server, first, "\"v1\"");
        archive.cut(cut);
        archive.rangedAnswer(c.ranged);
        if (c.ifRangeIgnored) archive.ignoreIfRange();
        EXPECT_EQ(failingInstall().code(), 1) << c.name;
        if (c.changed) archive.replace(second, "\"v2\"");

        ASSERT_NO_THROW(install()) << c.name;
        EXPECT_EQ(testsupport::readFile(local / "TextDecoder.mlmodelc" / "model.json"),
                  c.changed ? "second" : "first")
            << c.name;
        EXPECT_FALSE(fs::exists(partialFile())) << c.name;

        const auto served = archive.served();
        std::vector<int> statuses;
        for (const auto& s : served) statuses.push_back(s.status);
        EXPECT_EQ(statuses, c.statuses) << c.name;
        ASSERT_GE(served.size(), 2u) << c.name;
        EXPECT_EQ(served[1].range, "bytes=" + std::to_string(cut) + "-") << c.name;
        // Starting over asks for the whole file, with nothing to continue.
        if (served.size() == 3) {
            EXPECT_FALSE(served[2].range) << c.name;
            EXPECT_FALSE(served[2].ifRange) << c.name;
        }
    }
}

// An answer to the request for the rest that ends before the file does (the
// connection closed where no length was announced, or the server sent a
// smaller piece than asked) is no whole archive: the install fails as a
// transfer failure and keeps what arrived, which the next attempt continues.
TEST_F(ModelDownloaderTest, AResumedAnswerShortOfTheFileIsContinuedNotUnpacked) {
    const size_t cut = 700000;
    const struct {
        const char* name;
        bool closeDelimited;
        Ranged ranged;
    } cases[] = {
        {"closed early without a length", true, Ranged::honour},
        {"a smaller piece than asked", false, Ranged::shortPiece},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(local);
        const std::string bytes = bigArchive("model");
        ArchiveServer archive(server, bytes, "\"v1\"");
        archive.cut(cut, c.closeDelimited ? 2 : 1);
        EXPECT_EQ(failingInstall().code(), 1);
        ASSERT_EQ(fs::file_size(partialFile()), cut);

        if (c.closeDelimited) archive.closeDelimited();
        archive.rangedAnswer(c.ranged);
        const auto e = failingInstall();
        EXPECT_EQ(e.code(), 1);
        EXPECT_EQ(std::string(e.what()).rfind("The speech model could not be downloaded: ", 0), 0u)
            << e.what();
        const std::string kept = testsupport::readFile(partialFile());
        EXPECT_GT(kept.size(), cut);
        EXPECT_LT(kept.size(), bytes.size());
        EXPECT_TRUE(kept == bytes.substr(0, kept.size())) << "what arrived is not the file's start";
        EXPECT_TRUE(fs::exists(sidecarFile()));
        EXPECT_FALSE(fs::exists(local));

        archive.rangedAnswer(Ranged::honour);
        ASSERT_NO_THROW(install());
        EXPECT_EQ(testsupport::readFile(local / "TextDecoder.mlmodelc" / "model.json"), "model");
        const auto served = archive.served();
        ASSERT_EQ(served.size(), 3u);
        EXPECT_EQ(served[2].range, "bytes=" + std::to_string(kept.size()) + "-");
        EXPECT_EQ(served[2].status, 206);
        EXPECT_FALSE(fs::exists(partialFile()));
    }
}

// Bytes are continued only when the server named them and the record of that
// is ours and sound; anything else is fetched whole.
TEST_F(ModelDownloaderTest, APartialIsContinuedOnlyWithASoundRecordOfItsOrigin) {
    const std::string bytes = bigArchive("model");
    const std::string url = pack.remoteURL(server.root());
    const std::string good = "{\"url\":\"" + url + "\",\"validator\":\"\\\"v1\\\"\"}";
    const struct {
        const char* name;
        std::optional<std::string> sidecar;
        bool resumes;
    } cases[] = {
        {"a sound record", good, true},
        {"no record", std::nullopt, false},
        {"another URL", "{\"url\":\"http://127.0.0.1:1/x.zip\",\"validator\":\"\\\"v1\\\"\"}",
         false},
        {"no validator", "{\"url\":\"" + url + "\"}", false},
        {"an empty validator", "{\"url\":\"" + url + "\",\"validator\":\"\"}", false},
        {"a validator that splits headers",
         "{\"url\":\"" + url + "\",\"validator\":\"v1\\r\\nX-Evil: 1\"}", false},
        {"not JSON", "\x01\xff{{{", false},
        {"a JSON array", "[1,2]", false},
        {"numbers for text", "{\"url\":1,\"validator\":2}", false},
        {"an endless record", good + std::string(100000, ' '), false},
    };
    for (const auto& c : cases) {
        fs::remove_all(local);
        fs::create_directories(local.parent_path());
        std::ofstream(partialFile(), std::ios::binary) << bytes.substr(0, 1000);
        fs::remove(sidecarFile());
        if (c.sidecar) std::ofstream(sidecarFile(), std::ios::binary) << *c.sidecar;
        ArchiveServer archive(server, bytes, "\"v1\"");

        ASSERT_NO_THROW(install()) << c.name;
        EXPECT_TRUE(pack.isInstalled()) << c.name;
        const auto served = archive.served();
        ASSERT_EQ(served.size(), 1u) << c.name;
        EXPECT_EQ(served[0].range.has_value(), c.resumes) << c.name;
        EXPECT_EQ(served[0].bytes, c.resumes ? bytes.size() - 1000 : bytes.size()) << c.name;
        EXPECT_FALSE(fs::exists(partialFile())) << c.name;
        EXPECT_FALSE(fs::exists(sidecarFile())) << c.name;
    }
}

TEST_F(ModelDownloaderTest, TheValidatorIsAStrongETagElseTheModificationDate) {
    const std::string bytes = bigArchive("model");
    const char* const date = "Mon, 07 Dec 2026 10:00:00 GMT";
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> headers;
        std::optional<std::string> ifRange;  // nullopt: the next attempt starts over
    } cases[] = {
        {"a strong ETag", {{"ETag", "\"abc\""}, {"Last-Modified", date}}, "\"abc\""},
        {"a modification date", {{"Last-Modified", date}}, date},
        {"a weak ETag and a date", {{"ETag", "W/\"abc\""}, {"Last-Modified", date}}, date},
        {"a weak ETag alone", {{"ETag", "W/\"abc\""}}, std::nullopt},
        {"nothing", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        fs::remove_all(local);
        ArchiveServer archive(server, bytes, "");
        archive.validators(c.headers);
        archive.cut(500000);
        EXPECT_EQ(failingInstall().code(), 1) << c.name;
        ASSERT_NO_THROW(install()) << c.name;
        const auto served = archive.served();
        ASSERT_EQ(served.size(), 2u) << c.name;
        EXPECT_EQ(served[1].ifRange, c.ifRange) << c.name;
        EXPECT_EQ(served[1].range.has_value(), c.ifRange.has_value()) << c.name;
        EXPECT_EQ(served[1].status, c.ifRange ? 206 : 200) << c.name;
    }
}

TEST_F(ModelDownloaderTest, ADamagedResumedArchiveIsDroppedAndAnErrorAnswerKeepsThePartial) {
    std::string garbage = testsupport::incompressibleBytes(900000);
    ArchiveServer archive(server, garbage, "\"v1\"");
    archive.cut(400000);
    EXPECT_EQ(failingInstall().code(), 1);
    ASSERT_EQ(fs::file_size(partialFile()), 400000u);

    // An error answer writes nothing into what was kept.
    server.set(kArchivePath, Reply::answer(404, "gone for now"));
    EXPECT_EQ(failingInstall().code(), 404);
    EXPECT_EQ(testsupport::readFile(partialFile()), garbage.substr(0, 400000));
    EXPECT_TRUE(fs::exists(sidecarFile()));
    EXPECT_EQ(server.recorded().back().header("Range"), "bytes=400000-");

    // The rest completes a file that is no archive: it goes, so the next
    // attempt does not continue it.
    ArchiveServer again(server, garbage, "\"v1\"");
    const auto e = failingInstall();
    EXPECT_EQ(e.code(), 2);
    EXPECT_STREQ(e.what(), kDamaged);
    EXPECT_EQ(again.served().at(0).status, 206);
    EXPECT_FALSE(fs::exists(partialFile()));
    EXPECT_FALSE(fs::exists(sidecarFile()));
    EXPECT_EQ(failingInstall().code(), 2);
    EXPECT_FALSE(again.served().at(1).range);
}

// The whole archive arrived but the disk filled while it was unpacked: once
// there is room, the next install unpacks the archive it already has instead
// of fetching it again (hundreds of megabytes for a real pack).
TEST_F(ModelDownloaderTest, AnArchiveThatArrivedWholeIsUnpackedAgainNotFetchedAgain) {
    testsupport::SmallDisk disk(8 << 20);  // the archive and what it unpacks to, once there is room
    SKIP_WITHOUT_SMALL_DISK(disk);
    testsupport::ScopedEnv onDisk{"XDG_DATA_HOME", disk.path().string()};
    ZipBuilder zip;
    addModel(zip.stored(), "", testsupport::incompressibleBytes(1 << 20));
    const std::string bytes = zip.bytes();
    ArchiveServer archive(server, bytes, "\"v1\"");
    fs::create_directories(pack.localFolder().parent_path());
    const fs::path partial = pack.localFolder().parent_path() / ".download-standard.zip.partial";
    // Room for the archive and its record, not for what it unpacks to.
    disk.fill(off_t(bytes.size()) + (256 << 10));
    {
        ModelDownloader downloader(options());
        try {
            downloader.install(pack);
            ADD_FAILURE() << "unpacked onto a full disk";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
        }
    }
    ASSERT_EQ(testsupport::readFile(partial), bytes);
    ASSERT_EQ(archive.served().size(), 1u);

    disk.makeRoom();
    ModelDownloader downloader(options());
    downloader.install(pack);
    EXPECT_TRUE(pack.isInstalled());
    EXPECT_EQ(archive.served().size(), 1u) << "the archive was fetched again";
    EXPECT_FALSE(fs::exists(partial));
}

// An install stopped after the archive's last byte but before its record said
// so asks for the bytes past its end; the server's 416 under the same validator
// says there are none, and the archive on disk is unpacked, not fetched again.
// A 416 that gives another length still starts over.
TEST_F(ModelDownloaderTest, AWholeArchiveNotYetRecordedAsWholeIsUnpackedNotFetchedAgain) {
    const std::string bytes = bigArchive("model");
    const std::string url = pack.remoteURL(server.root());
    const struct {
        const char* name;
        size_t kept;  // bytes of the archive on disk
        std::vector<int> statuses;
    } cases[] = {
        {"all of it", bytes.size(), {416}},
        {"one byte short", bytes.size() - 1, {416, 200}},
    };
    for (const auto& c : cases) {
        fs::remove_all(local.parent_path());
        fs::create_directories(local.parent_path());
        std::ofstream(partialFile(), std::ios::binary) << bytes.substr(0, c.kept);
        std::ofstream(sidecarFile(), std::ios::binary)
            << "{\"url\":\"" + url + "\",\"validator\":\"\\\"v1\\\"\"}";
        ArchiveServer archive(server, bytes, "\"v1\"");
        archive.rangedAnswer(Ranged::unsatisfiable);

        ASSERT_NO_THROW(install()) << c.name;
        EXPECT_EQ(testsupport::readFile(local / "TextDecoder.mlmodelc" / "model.json"), "model")
            << c.name;
        EXPECT_FALSE(fs::exists(partialFile())) << c.name;
        std::vector<int> statuses;
        for (const auto& s : archive.served()) statuses.push_back(s.status);
        EXPECT_EQ(statuses, c.statuses) << c.name;
    }
}

// A quit while the pack unpacks ends the unpacking (code 1, as any cancelled
// install): nothing half-unpacked stays, the whole archive does, and the next
// install unpacks it without a request.
TEST_F(ModelDownloaderTest, CancellingWhileUnpackingKeepsTheArchiveForTheNextStart) {
    const std::string bytes = bigArchive("model");
    ArchiveServer archive(server, bytes, "\"v1\"");
    {
        ModelDownloader downloader(options());
        try {
            downloader.install(pack, [&](const ModelDownloader::Progress& p) {
                if (std::holds_alternative<ModelDownloader::Installing>(p)) downloader.cancel();
            });
            ADD_FAILURE() << "the install went on after the cancel";
        } catch (const platform::AppError& e) {
            EXPECT_EQ(e.code(), 1) << e.what();
        }
    }
    EXPECT_FALSE(pack.isInstalled());
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(testsupport::readFile(partialFile()), bytes);
    ASSERT_EQ(archive.served().size(), 1u);

    install();
    EXPECT_TRUE(pack.isInstalled());
    EXPECT_EQ(archive.served().size(), 1u) << "the archive was fetched again";
    EXPECT_FALSE(fs::exists(partialFile()));
    EXPECT_FALSE(fs::exists(sidecarFile()));
}
