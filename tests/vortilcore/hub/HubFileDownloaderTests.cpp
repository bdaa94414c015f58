#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

using hubtest::FakeHub;
using testsupport::LocalHttpServer;
using vortil::EnvironmentError;
using vortil::HubApi;
using vortil::HubClientError;
namespace fs = std::filesystem;

TEST(HubFileDownloader, DownloadsOnlyWhatTheSideFileAndHashDoNotVouchFor) {
    const std::string fresh = "fresh content";
    const std::string sha = hubtest::sha256(fresh);
    const std::string other = "1111111111111111111111111111111111111111";
    struct Case {
        const char* name;
        std::optional<std::string> local;                         // destination content before
        std::optional<std::pair<std::string, std::string>> side;  // commit, etag before
        std::optional<std::string> remoteEtag;                    // nullopt: the SHA-256 of `fresh`
        size_t gets;
        bool sideUntouched;
    };
    const std::vector<Case> cases = {
        {"current", fresh, std::pair{FakeHub::kCommit, "anything"}, std::nullopt, 0, true},
        {"same etag, other commit", fresh, std::pair{other, sha}, std::nullopt, 0, false},
        {"no side file, hash matches", fresh, std::nullopt, std::nullopt, 0, false},
        {"no side file, hash differs", "damaged", std::nullopt, std::nullopt, 1, false},
        {"plain etag, no side file", "old", std::nullopt, "plain-2", 1, false},
        {"plain etag, side file older", "old", std::pair{other, "plain-1"}, "plain-2", 1, false},
        {"nothing there", std::nullopt, std::nullopt, std::nullopt, 1, false},
    };
    // Each case also with the metadata asked for by the caller first and
    // handed in: the decision is the same, and the file is asked about once.
    for (const auto& c : cases)
        for (const bool handedIn : {false, true}) {
            const std::string name = std::string(c.name) + (handedIn ? ", metadata handed in" : "");
            FakeHub h;
            h.file("sub/f.bin", fresh, c.remoteEtag);
            const fs::path dest = h.repo() / "sub" / "f.bin";
            const fs::path side = h.meta() / "sub" / "f.bin.metadata";
            if (c.local) hubtest::writeFile(dest, *c.local);
            if (c.side)
                hubtest::writeFile(side, c.side->first + "\n" + c.side->second + "\n1000.0\n");
            const std::string sideBefore = c.side ? testsupport::readFile(side) : "";

            std::vector<double> reports;
            const auto downloader = h.downloader("sub/f.bin");
            const auto report = [&](double f, auto) { reports.push_back(f); };
            const fs::path got = handedIn ? downloader.download(downloader.metadata(), report)
                                          : downloader.download(report);
            EXPECT_EQ(got, dest) << name;
            EXPECT_EQ(testsupport::readFile(dest), fresh) << name;
            EXPECT_EQ(h.count("GET", FakeHub::resolvePath("sub/f.bin")), c.gets) << name;
            EXPECT_EQ(h.count("HEAD", FakeHub::resolvePath("sub/f.bin")), 1u) << name;
            if (c.sideUntouched) {
                EXPECT_EQ(testsupport::readFile(side), sideBefore) << name;
                continue;
            }
            const auto meta = HubApi::readDownloadMetadata(side);
            ASSERT_TRUE(meta) << name;
            EXPECT_EQ(meta->commitHash, FakeHub::kCommit) << name;
            EXPECT_EQ(meta->etag, c.remoteEtag.value_or(sha)) << name;
            EXPECT_GT(platform::secondsSince1970(meta->timestamp), 1000.0) << name;
            if (c.gets) {
                EXPECT_FALSE(reports.empty()) << name;
            }
        }
}

// The check the installer runs on the weights it fetched or kept: a side file
// that names a SHA-256 the bytes do not have removes both, so that the next
// download fetches the file again; it agrees with the offline snapshot's check.
TEST(HubFileDownloader, RecordedDigestCheckRemovesWhatItCannotVouchFor) {
    const std::string content = "weights";
    struct Case {
        const char* name;
        std::string onDisk;
        std::optional<std::string> side;  // the side file's text
        bool passes;
    };
    const std::string sideOf = std::string(FakeHub::kCommit) + "\n" + hubtest::sha256(content);
    const Case cases[] = {
        {"bytes match the digest", content, sideOf + "\n1000.0\n", true},
        {"one byte changed", "weighTs", sideOf + "\n1000.0\n", false},
        {"cut short", "weig", sideOf + "\n1000.0\n", false},
        {"an etag that is no digest", "anything", std::string(FakeHub::kCommit) + "\nv2\n1.0\n",
         true},
        {"an upper-case digest is no digest of ours", "anything",
         std::string(FakeHub::kCommit) + "\n" + std::string(64, 'A') + "\n1.0\n", true},
        {"no side file", "anything", std::nullopt, true},
        {"an unreadable side file", "anything", std::string("\xff\xfe"), true},
    };
    for (const Case& c : cases) {
        FakeHub h;
        const auto downloader = h.downloader("w.bin");
        hubtest::writeFile(downloader.destination(), c.onDisk);
        if (c.side) hubtest::writeFile(downloader.metadataPath(), *c.side);
        const std::string error = hubtest::errorText([&] { downloader.verifyRecordedDigest(); });
        EXPECT_EQ(error,
                  c.passes ? "no error" : "File integrity check failed: Hash mismatch for w.bin")
            << c.name;
        EXPECT_EQ(fs::exists(downloader.destination()), c.passes) << c.name;
        if (!c.passes) {
            EXPECT_FALSE(fs::exists(downloader.metadataPath())) << c.name;
        }
    }
    // The places it works on are judged like a download's.
    FakeHub h;
    const std::string escaping = "Download failed: Invalid file name: ../w.bin";
    EXPECT_EQ(hubtest::errorText([&] { h.downloader("../w.bin").verifyRecordedDigest(); }),
              escaping);
    EXPECT_EQ(hubtest::errorText([&] { h.downloader("../w.bin").destination(); }), escaping);
    EXPECT_EQ(hubtest::errorText([&] { h.downloader("w.bin").incompletePath("../e"); }),
              "Invalid metadata: Unusable etag from server: ../e");
}

TEST(HubFileDownloader, IncompleteMetadataFailsBeforeAnyLocalCheck) {
    struct Case {
        const char* name;
        LocalHttpServer::Reply reply;
    };
    auto noCommit = LocalHttpServer::Reply::ok("x");
    noCommit.header("ETag", "\"e\"");
    auto noEtag = LocalHttpServer::Reply::ok("x");
    noEtag.header("X-Repo-Commit", FakeHub::kCommit);
    auto emptyLocation = LocalHttpServer::Reply::answer(302);
    emptyLocation.header("Location", "")
        .header("X-Repo-Commit", FakeHub::kCommit)
        .header("X-Linked-Etag", "e")
        .header("X-Linked-Size", "1");
    const std::vector<Case> cases = {
        {"no commit", noCommit}, {"no etag", noEtag}, {"empty location", emptyLocation}};
    for (const auto& c : cases) {
        FakeHub h;
        h.server.set(FakeHub::resolvePath("f.bin"), c.reply);
        hubtest::writeFile(h.repo() / "f.bin", "x");
        EXPECT_EQ(hubtest::errorText([&] { h.downloader("f.bin").download({}); }),
                  "Invalid metadata: File metadata must have been retrieved from server")
            << c.name;
        EXPECT_EQ(h.count("GET", FakeHub::resolvePath("f.bin")), 0u) << c.name;
        EXPECT_FALSE(fs::exists(h.meta())) << c.name;
    }
}

TEST(HubFileDownloader, NamesAndEtagsFromTheServerNeverWriteOutsideTheRepository) {
    for (const std::string name :
         {"../evil", "/abs", "a/../../b", "a\\b", "", "a//b", "./x", "sub/.."}) {
        FakeHub h;
        h.file(name, "x");
        EXPECT_EQ(hubtest::errorText([&] { h.downloader(name).download({}); }),
                  "Download failed: Invalid file name: " + name)
            << name;
        EXPECT_TRUE(h.server.recorded().empty()) << name;
        EXPECT_FALSE(fs::exists(h.temp / "cache")) << name;
    }
    for (const std::string etag : {"../../../../evil", "a/b", ""}) {
        FakeHub h;
        h.file("f.bin", "x", etag);
        const std::string text = hubtest::errorText([&] { h.downloader("f.bin").download({}); });
        EXPECT_TRUE(text.starts_with("Invalid metadata: ")) << etag << ": " << text;
        EXPECT_EQ(h.count("GET", FakeHub::resolvePath("f.bin")), 0u) << etag;
        std::vector<fs::path> made;
        for (const auto& e : fs::recursive_directory_iterator(h.temp.path()))
            made.push_back(e.path());
        EXPECT_TRUE(made.empty()) << etag << " made "
                                  << (made.empty() ? "" : made.front().string());
    }
}

TEST(HubFileDownloader, AFailedTransferKeepsThePartialFileAndWritesNoSideFile) {
    FakeHub h;
    const std::string content = hubtest::body(1000);
    h.server.setHandler(FakeHub::resolvePath("f.bin"),
                        [&](const httplib::Request& req, httplib::Response& res) {
                            res.set_header("X-Repo-Commit", FakeHub::kCommit);
                            res.set_header("ETag", "\"" + hubtest::sha256(content) + "\"");
                            if (req.method == "HEAD") {
                                res.set_content(content, "application/octet-stream");
                            } else {
                                res.status = 500;
                            }
                        });
    const std::string text = hubtest::errorText([&] { h.downloader("f.bin").download({}); });
    EXPECT_EQ(text, "The download failed unexpectedly.");
    EXPECT_FALSE(fs::exists(h.meta() / "f.bin.metadata"));
    EXPECT_FALSE(fs::exists(h.repo() / "f.bin"));
    EXPECT_TRUE(fs::exists(h.meta() / ("f.bin." + hubtest::sha256(content) + ".incomplete")));
}

TEST(HubFileDownloader, FileStoreRedirectGetsRangeButNotTheToken) {
    FakeHub h;
    LocalHttpServer cdn("127.0.0.1", "localhost");
    const std::string content = hubtest::body(300'000, 11);
    const std::string sha = hubtest::sha256(content);
    // File stores name their content their own way: an etag unlike the
    // hub's must not count as changed content.
    auto stored = LocalHttpServer::Reply::ok(content);
    stored.header("ETag", "\"d41d8cd98f00b204-2\"");
    cdn.set("/cdn/f.bin", stored);
    auto redirect = LocalHttpServer::Reply::redirect(302, cdn.url("/cdn/f.bin"));
    redirect.header("X-Repo-Commit", FakeHub::kCommit)
        .header("X-Linked-Etag", "\"" + sha + "\"")
        .header("X-Linked-Size", std::to_string(content.size()));
    h.server.set(FakeHub::resolvePath("f.bin"), redirect);
    hubtest::writeFile(h.meta() / ("f.bin." + sha + ".incomplete"), content.substr(0, 4096));

    h.downloader("f.bin").download({});
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(h.repo() / "f.bin")), sha);
    for (const auto& r : h.server.recorded())
        EXPECT_EQ(r.header("Authorization"), "Bearer tok") << r.method;
    ASSERT_EQ(cdn.recorded().size(), 1u);
    EXPECT_EQ(cdn.recorded()[0].header("Range"), "bytes=4096-");
    EXPECT_FALSE(cdn.recorded()[0].header("Authorization"));
}

TEST(HubFileDownloader, ANewEtagStartsANewPartialFile) {
    FakeHub h;
    const std::string content = hubtest::body(50'000, 12);
    const std::string sha = hubtest::sha256(content);
    h.file("sub/f.bin", content);
    const fs::path folder = h.meta() / "sub";
    struct Partial {
        std::string name;
        std::string bytes;
        bool kept;
    };
    const std::vector<Partial> partials = {
        {"f.bin.0000.incomplete", "bytes of an older version", false},
        {"f.bin.1111.incomplete", "and of one older still", false},
        {"f.bin." + sha + ".incomplete", content.substr(0, 1234), false},  // resumed, then moved
        {"f.bin.gz.0000.incomplete", "another file's", true},
        {"g.bin.0000.incomplete", "another file's", true},
        {"f.bin.0000.metadata", "not a partial file", true},
    };
    for (const auto& p : partials) hubtest::writeFile(folder / p.name, p.bytes);
    const fs::path elsewhere = h.meta() / "f.bin.0000.incomplete";  // same name, other folder
    hubtest::writeFile(elsewhere, "a top-level file's");

    h.downloader("sub/f.bin").download({});
    EXPECT_EQ(testsupport::readFile(h.repo() / "sub" / "f.bin"), content);
    EXPECT_EQ(h.count("GET", FakeHub::resolvePath("sub/f.bin")), 1u);
    EXPECT_EQ(h.server.recorded().back().header("Range"), "bytes=1234-");
    for (const auto& p : partials) {
        EXPECT_EQ(fs::exists(folder / p.name), p.kept) << p.name;
        if (p.kept) {
            EXPECT_EQ(testsupport::readFile(folder / p.name), p.bytes) << p.name;
        }
    }
    EXPECT_TRUE(fs::exists(elsewhere));
}

TEST(HubFileDownloader, AFileThatChangesDuringTheTransferIsFetchedAgainWhole) {
    using vortil::Downloader;
    FakeHub h;
    // Two versions of one size: only their bytes and etags tell them apart.
    const std::string v1 = hubtest::body(size_t(Downloader::kWriteChunkSize) * 2 + 5000, 43);
    const std::string v2 = hubtest::body(v1.size(), 44);
    const std::string sha1 = hubtest::sha256(v1);
    const std::string sha2 = hubtest::sha256(v2);
    auto first = FakeHub::fileReply(v1);
    first.dropAfter = size_t(Downloader::kWriteChunkSize) + 1000;
    first.dropTimes = 2;  // the HEAD counts as one
    first.thenServe(FakeHub::fileReply(v2));
    h.server.set(FakeHub::resolvePath("f.bin"), first);

    h.downloader("f.bin").download({});
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(h.repo() / "f.bin")), sha2);
    const auto side = HubApi::readDownloadMetadata(h.meta() / "f.bin.metadata");
    ASSERT_TRUE(side);
    EXPECT_EQ(side->etag, sha2);
    EXPECT_FALSE(fs::exists(h.meta() / ("f.bin." + sha1 + ".incomplete")));
    EXPECT_FALSE(fs::exists(h.meta() / ("f.bin." + sha2 + ".incomplete")));

    std::vector<std::pair<std::string, std::optional<std::string>>> gets;
    for (const auto& r : h.server.recorded()) {
        if (r.method == "GET")
            gets.emplace_back(r.header("Range").value_or(""), r.header("If-Range"));
    }
    const std::vector<std::pair<std::string, std::optional<std::string>>> expected = {
        {"", std::nullopt},
        {"bytes=" + std::to_string(Downloader::kWriteChunkSize + 1000) + "-", "\"" + sha1 + "\""},
        {"", std::nullopt},
    };
    EXPECT_EQ(gets, expected);
    EXPECT_EQ(h.count("HEAD", FakeHub::resolvePath("f.bin")), 2u);
}

TEST(HubFileDownloader, AFileThatKeepsChangingIsGivenUp) {
    FakeHub h;
    // Every answer to a GET names other content than the HEAD before it.
    h.server.setHandler(
        FakeHub::resolvePath("f.bin"), [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("X-Repo-Commit", FakeHub::kCommit);
            res.set_header("ETag", req.method == "HEAD" ? "\"announced\"" : "\"served\"");
            res.set_content("content", "application/octet-stream");
        });
    EXPECT_EQ(hubtest::errorText([&] { h.downloader("f.bin").download({}); }),
              "The file changed on the server during the download.");
    EXPECT_EQ(h.count("GET", FakeHub::resolvePath("f.bin")),
              size_t(HubApi::HubFileDownloader::kAttemptsWhileContentChanges));
    EXPECT_FALSE(fs::exists(h.repo() / "f.bin"));
    EXPECT_FALSE(fs::exists(h.meta() / "f.bin.metadata"));
}

TEST(HubFileDownloader, TwoDownloadsOfOneFileAtOnceTransferItOnce) {
    FakeHub h;
    const std::string content =
        hubtest::body(size_t(vortil::Downloader::kWriteChunkSize) * 2 + 99, 13);
    h.file("f.bin", content);
    std::vector<std::string> errors(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            errors[i] = hubtest::errorText([&] { h.downloader("f.bin").download({}); });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(errors, (std::vector<std::string>{"no error", "no error"}));
    EXPECT_EQ(h.count("GET", FakeHub::resolvePath("f.bin")), 1u);
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(h.repo() / "f.bin")), hubtest::sha256(content));
}

TEST(HubFileDownloader, StoppingTheCallerCancelsTheTransfer) {
    FakeHub h;
    const std::string content = hubtest::body(2'000'000, 14);
    auto stalling = FakeHub::fileReply(content);
    stalling.stallAfter = 1000;
    h.server.set(FakeHub::resolvePath("f.bin"), stalling);
    std::stop_source stop;
    std::thread stopper([&] {
        while (h.count("GET", FakeHub::resolvePath("f.bin")) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    const std::string text =
        hubtest::errorText([&] { h.downloader("f.bin").download({}, stop.get_token()); });
    stopper.join();
    EXPECT_NE(text, "no error");
    // Well below the 60 s a stalled transfer waits before it gives up.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_FALSE(fs::exists(h.meta() / "f.bin.metadata"));
    h.server.release();
}

TEST(HubFileDownloader, AStreamThatEndsWithoutCompletionIsAFailure) {
    using State = vortil::Downloader::DownloadState;
    struct Case {
        const char* name;
        std::vector<State> states;
        bool finish;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"ends early",
         {State::notStarted(), State::downloading(0.5, 10.0)},
         true,
         "Download failed: Download ended without completion"},
        {"completes",
         {State::downloading(0.5, std::nullopt), State::completed("/x")},
         false,
         "no error"},
        {"fails",
         {State::downloading(0.5, 1.0),
          State::failed(std::make_exception_ptr(std::runtime_error("boom")))},
         false,
         "boom"},
        {"fails without a reason",
         {State::failed(nullptr)},
         false,
         "Download failed: Download failed without a reason"},
    };
    for (const auto& c : cases) {
        platform::AsyncStream<State> stream;
        for (const auto& s : c.states) stream.yield(s);
        if (c.finish) stream.finish();
        std::vector<double> seen;
        EXPECT_EQ(hubtest::errorText([&] {
                      HubApi::HubFileDownloader::awaitCompletion(
                          stream, [&](double f, auto) { seen.push_back(f); });
                  }),
                  c.error)
            << c.name;
        if (c.states.size() > 1) {
            EXPECT_EQ(seen, std::vector<double>{0.5}) << c.name;
        }
    }
}

TEST(HubFileDownloader, SourceAddressEncodesTheRevisionAsOneSegment) {
    struct Case {
        vortil::HubRepoType type;
        std::string revision;
        std::string file;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {vortil::HubRepoType::models, "main", "sub/file.json",
         "http://h:1/owner/name/resolve/main/sub/file.json"},
        {vortil::HubRepoType::datasets, "refs/pr/1", "a b.txt",
         "http://h:1/datasets/owner/name/resolve/refs%2Fpr%2F1/a%20b.txt"},
        {vortil::HubRepoType::spaces, "v1", "f", "http://h:1/spaces/owner/name/resolve/v1/f"},
    };
    for (const auto& c : cases) {
        HubApi::HubFileDownloader d{
            HubApi(fs::path("/tmp"), std::string(), std::string("http://h:1")),
            {"owner/name", c.type},
            c.revision,
            "/tmp/r",
            "/tmp/r/.cache",
            c.file,
            std::nullopt,
            std::string("http://h:1"),
            false};
        // Percent escapes may use either letter case.
        std::string got = d.source();
        for (size_t i = got.find('%'); i != std::string::npos && i + 2 < got.size();
             i = got.find('%', i + 1))
            for (size_t k = i + 1; k <= i + 2; ++k)
                got[k] = char(std::toupper(static_cast<unsigned char>(got[k])));
        EXPECT_EQ(got, c.expected);
    }
    HubApi::HubFileDownloader bad{HubApi(fs::path("/tmp"), std::string(), std::string("not a url")),
                                  {"owner/name", vortil::HubRepoType::models},
                                  "main",
                                  "/tmp/r",
                                  "/tmp/r/.cache",
                                  "f",
                                  std::nullopt,
                                  std::string("not a url"),
                                  false};
    EXPECT_EQ(hubtest::errorText([&] { (void)bad.source(); }),
              "Download failed: Invalid endpoint URL: not a url");
}
