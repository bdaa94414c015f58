#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "platform/system/NumberText.hpp"
#include "support/TempDir.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

using vortil::EnvironmentError;
using vortil::HubApi;
using vortil::HubClientError;
namespace fs = std::filesystem;

TEST(SideFiles, ReadingAcceptsThreeLinesAndRemovesAnythingElse) {
    struct Case {
        const char* name;
        std::string content;
        std::optional<std::tuple<std::string, std::string, double>> expected;
        std::string logged;  // part of the log line for a rejected file
    };
    const std::vector<Case> cases = {
        {"plain", "c\ne\n1700000000.0\n", std::tuple{"c", "e", 1700000000.0}, ""},
        {"trimmed pieces", "  c \n\te\n 2.5 \nextra\n", std::tuple{"c", "e", 2.5}, ""},
        {"paragraph separators", "c\u2028e\u20291e3", std::tuple{"c", "e", 1000.0}, ""},
        {"CR LF shifts the lines", "c\r\n5\r\n", std::tuple{"c", "", 5.0}, ""},
        {"any commit text", "not-a-hash\n\n0\n", std::tuple{"not-a-hash", "", 0.0}, ""},
        {"two lines", "c\ne\n", std::nullopt, "Invalid metadata: Invalid timestamp format"},
        {"CR LF with text etag", "c\r\ne\r\n1.0\r\n", std::nullopt, "Invalid timestamp format"},
        {"number with a tail", "c\ne\n1.0s\n", std::nullopt, "Invalid timestamp format"},
        {"no final line break", "c\ne", std::nullopt,
         "Invalid metadata: Metadata file is missing required fields"},
        {"empty", "", std::nullopt, "Metadata file is missing required fields"},
        {"not UTF-8", "c\n\xff\xfe\n1.0\n", std::nullopt, "Error reading metadata file"},
    };
    for (const auto& c : cases) {
        testsupport::TempDir temp;
        const fs::path side = temp / "sub" / "model.bin.metadata";
        hubtest::writeFile(side, c.content);
        testing::internal::CaptureStderr();
        const auto got = HubApi::readDownloadMetadata(side);
        const std::string log = testing::internal::GetCapturedStderr();
        if (c.expected) {
            ASSERT_TRUE(got) << c.name;
            EXPECT_EQ(got->commitHash, std::get<0>(*c.expected)) << c.name;
            EXPECT_EQ(got->etag, std::get<1>(*c.expected)) << c.name;
            EXPECT_DOUBLE_EQ(platform::secondsSince1970(got->timestamp), std::get<2>(*c.expected))
                << c.name;
            EXPECT_EQ(got->filename, "model.bin") << c.name;
            EXPECT_TRUE(fs::exists(side)) << c.name;
        } else {
            EXPECT_FALSE(got) << c.name;
            EXPECT_FALSE(fs::exists(side)) << c.name;
            EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << ": " << log;
            EXPECT_NE(log.find("file://" + side.string()), std::string::npos) << c.name;
            EXPECT_NE(log.find("Removing it from disk and continuing."), std::string::npos)
                << c.name;
        }
    }
    testsupport::TempDir temp;
    EXPECT_FALSE(HubApi::readDownloadMetadata(temp / "missing.metadata"));
}

// The side file is read before the hub is asked anything: one that can be
// neither read nor removed ends a download with its own error, and the hub
// (which would answer) never hears of the file.
TEST(SideFiles, AnInvalidSideFileThatCannotBeRemovedIsAnError) {
    const struct {
        const char* name;
        std::function<void(const HubApi::HubFileDownloader&)> run;
    } rows[] = {
        {"read on its own", [](const auto& d) { HubApi::readDownloadMetadata(d.metadataPath()); }},
        {"a download", [](const auto& d) { d.download({}); }},
        {"the metadata a caller asks for before the download", [](const auto& d) { d.metadata(); }},
    };
    for (const auto& row : rows) {
        hubtest::FakeHub h;
        h.file("f.bin", "content");
        const auto downloader = h.downloader("f.bin");
        // A folder in place of the side file can be neither read nor removed as a file.
        fs::create_directories(downloader.metadataPath() / "inner");
        testing::internal::CaptureStderr();
        try {
            row.run(downloader);
            ADD_FAILURE() << row.name << ": no error";
        } catch (const EnvironmentError& e) {
            EXPECT_EQ(e.errorCase(), EnvironmentError::Case::invalidMetadataError) << row.name;
            EXPECT_TRUE(std::string(e.what()).starts_with(
                "Invalid metadata: Could not remove corrupted metadata file: "))
                << row.name << ": " << e.what();
        }
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(h.server.recorded().empty()) << row.name;
        EXPECT_FALSE(fs::exists(downloader.destination())) << row.name;
    }
}

TEST(SideFiles, WrittenTextReadsBackAndAFailedWriteKeepsTheOldFile) {
    testsupport::TempDir temp;
    const fs::path side = temp / "deep" / "er" / "f.json.metadata";
    const auto before = std::chrono::system_clock::now();
    HubApi::writeDownloadMetadata("0123456789012345678901234567890123456789", "etag-1", side);
    const std::string text = testsupport::readFile(side);
    const std::string head = "0123456789012345678901234567890123456789\netag-1\n";
    ASSERT_TRUE(text.starts_with(head) && text.ends_with("\n")) << text;
    const std::string third = text.substr(head.size(), text.size() - head.size() - 1);
    EXPECT_EQ(third.find_first_not_of("0123456789."), std::string::npos) << text;
    EXPECT_EQ(std::count(third.begin(), third.end(), '.'), 1)
        << "always with a decimal point: " << text;
    const auto read = HubApi::readDownloadMetadata(side);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->etag, "etag-1");
    EXPECT_EQ(platform::numberText(platform::secondsSince1970(read->timestamp)), third);
    EXPECT_GE(read->timestamp, before - std::chrono::seconds(1));

    // A file where the folder should be: the write fails and nothing changes.
    hubtest::writeFile(temp / "blocked", "x");
    try {
        HubApi::writeDownloadMetadata("c", "e", temp / "blocked" / "f.metadata");
        ADD_FAILURE() << "no error";
    } catch (const EnvironmentError& e) {
        EXPECT_EQ(e.errorCase(), EnvironmentError::Case::fileWriteError);
        EXPECT_TRUE(
            std::string(e.what()).starts_with("Failed to write file: Failed to write metadata to " +
                                              (temp / "blocked" / "f.metadata").string() + ": "))
            << e.what();
    }
    EXPECT_EQ(testsupport::readFile(temp / "blocked"), "x");
}

TEST(SideFiles, FileHashMatchesAReferenceDigestAtEverySize) {
    testsupport::TempDir temp;
    for (size_t size : {size_t(0), size_t(1), size_t(1 << 20), size_t((1 << 20) * 3 + 17)}) {
        const std::string data = hubtest::body(size, uint32_t(size));
        hubtest::writeFile(temp / "f.bin", data);
        EXPECT_EQ(HubApi::computeFileHash(temp / "f.bin"), hubtest::sha256(data)) << size;
    }
    try {
        HubApi::computeFileHash(temp / "nested" / "x.bin");
        ADD_FAILURE() << "no error";
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), HubClientError::Case::fileNotFound);
        EXPECT_STREQ(e.what(), "File not found: x.bin");
    }
}

TEST(SideFiles, LocalListingSkipsHiddenEntriesAndTheirFolders) {
    testsupport::TempDir temp;
    const fs::path repo = temp / "repo";
    for (const char* f :
         {"a.json", "sub/dir/b.bin", ".hidden", ".cache/huggingface/download/a.json.metadata",
          "sub/.git/config", "target.txt"}) {
        hubtest::writeFile(repo / f, "x");
    }
    fs::create_symlink(repo / "target.txt", repo / "link.txt");
    fs::create_symlink(repo / "gone.txt", repo / "dangling.txt");
    fs::create_directories(repo / "empty");

    std::vector<std::string> got;
    for (const auto& p : HubApi::getFileUrls(repo))
        got.push_back(p.lexically_relative(repo).string());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"a.json", "link.txt", "sub/dir/b.bin", "target.txt"}));
    EXPECT_TRUE(HubApi::getFileUrls(temp / "missing").empty());
}
