#include <gtest/gtest.h>

#include <fstream>

#include "platform/system/AppError.hpp"
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

TEST_F(ModelDownloaderTest, AThrowingProgressCallableEndsTheInstallAndStillRemovesTheArchive) {
    ZipBuilder zip;
    addModel(zip, "");
    server.set(kArchivePath, Reply::ok(zip.bytes()));
    struct Abort {};
    ModelDownloader downloader(options());
    EXPECT_THROW(downloader.install(pack, [](const ModelDownloader::Progress&) { throw Abort{}; }),
                 Abort);
    EXPECT_FALSE(pack.isInstalled());
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
