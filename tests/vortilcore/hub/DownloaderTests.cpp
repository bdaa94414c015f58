#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <thread>

#include "platform/system/CancellationError.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TempDir.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"

using hubtest::State;
using testsupport::LocalHttpServer;
using vortil::Downloader;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kChunk = Downloader::kWriteChunkSize;

struct Fixture {
    testsupport::TempDir temp;
    LocalHttpServer server;
    fs::path destination = temp / "out" / "file.bin";
    fs::path partial = temp / "file.bin.incomplete";

    explicit Fixture(const std::string& prefix = {}) {
        std::ofstream(partial, std::ios::binary) << prefix;
    }
    std::unique_ptr<Downloader> downloader() {
        auto d = std::make_unique<Downloader>(destination, partial);
        d->setRetryDelay(std::chrono::milliseconds(50));
        return d;
    }
    std::vector<State> run(std::optional<int64_t> expected, int retries = 5,
                           std::optional<std::string> token = std::nullopt) {
        auto d = downloader();
        auto stream = d->download(server.url("/f"), token, std::nullopt, expected, 10.0, retries);
        return hubtest::untilFinal(*stream);
    }
    std::vector<std::string> ranges() const {
        std::vector<std::string> out;
        for (const auto& r : server.recorded()) out.push_back(r.header("Range").value_or(""));
        return out;
    }
};

std::vector<double> fractions(const std::vector<State>& states) {
    std::vector<double> out;
    for (const auto& s : states)
        if (s.kind() == State::Kind::downloading) out.push_back(s.fraction());
    return out;
}

}  // namespace

TEST(Downloader, ResumesFromThePartialFileAndReportsOncePerWrittenChunk) {
    const std::string big = hubtest::body(size_t(kChunk) * 5 / 2);
    const std::string small = hubtest::body(8'000'000, 2);
    struct Case {
        const char* name;
        std::string served;
        size_t prefix;  // bytes already in the partial file
        std::optional<int64_t> expected;
        std::string range;
        std::vector<double> fractions;
    };
    const double c = double(kChunk) / double(big.size());
    const std::vector<Case> cases = {
        {"fresh, two and a half chunks", big, 0, int64_t(big.size()), "", {0, c, 2 * c}},
        {"half there", small, 4'000'000, 8'000'000, "bytes=4000000-", {0.5}},
        {"size unknown", big, 0, std::nullopt, "", {0}},
        {"empty file", "", 0, 0, "", {0}},
    };
    for (const auto& tc : cases) {
        Fixture f(tc.served.substr(0, tc.prefix));
        f.server.set("/f", LocalHttpServer::Reply::ok(tc.served));
        const auto states = f.run(tc.expected);
        ASSERT_FALSE(states.empty()) << tc.name;
        EXPECT_EQ(states.front().kind(), State::Kind::downloading) << tc.name;
        EXPECT_EQ(states.back().kind(), State::Kind::completed) << tc.name;
        EXPECT_EQ(states.back().url(), f.destination) << tc.name;
        const auto got = fractions(states);
        ASSERT_EQ(got.size(), tc.fractions.size()) << tc.name;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], tc.fractions[i], 1e-9) << tc.name;
        EXPECT_EQ(f.ranges(), std::vector<std::string>{tc.range}) << tc.name;
        EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)), hubtest::sha256(tc.served))
            << tc.name;
        EXPECT_FALSE(fs::exists(f.partial)) << tc.name;
    }
}

TEST(Downloader, ADroppedConnectionResumesWithRangeFromTheBytesWritten) {
    const std::string served = hubtest::body(size_t(kChunk) * 3 + 12345, 3);
    Fixture f;
    // Named by its etag: the bytes written can be continued.
    auto reply = LocalHttpServer::Reply::ok(served).header("ETag", "\"e3\"");
    reply.dropAfter = size_t(kChunk) * 3 + 100;  // after three written chunks and a bit
    reply.dropTimes = 1;
    f.server.set("/f", reply);
    const auto states = f.run(int64_t(served.size()));
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    // The bytes past the last whole chunk are kept too.
    EXPECT_EQ(f.ranges(),
              (std::vector<std::string>{"", "bytes=" + std::to_string(3 * kChunk + 100) + "-"}));
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)), hubtest::sha256(served));
}

TEST(Downloader, RetriesRunOutUnlessAChunkIsWrittenInBetween) {
    const std::string served = hubtest::body(size_t(kChunk) + 5000, 4);
    struct Case {
        const char* name;
        int retries;
        size_t dropAfter;
        int dropTimes;
        bool completes;
        size_t requests;
    };
    const std::vector<Case> cases = {
        {"no retries", 0, 1000, 1, false, 1},
        {"more drops than retries before any chunk", 2, 1000, 3, false, 3},
        {"as many drops as retries", 2, 1000, 2, true, 3},
        // Nothing names the file, so each retry starts over: the first chunk
        // restores the retries once, the same chunk written again never.
        {"drops past a chunk each time, no etag", 2, size_t(kChunk) + 100, 100, false,
         size_t(1 + Downloader::kRetriesAfterProgress)},
    };
    for (const auto& tc : cases) {
        Fixture f;
        auto reply = LocalHttpServer::Reply::ok(served);
        reply.dropAfter = tc.dropAfter;
        reply.dropTimes = tc.dropTimes;
        f.server.set("/f", reply);
        const auto states = f.run(int64_t(served.size()), tc.retries);
        ASSERT_FALSE(states.empty()) << tc.name;
        if (tc.completes) {
            EXPECT_EQ(states.back().kind(), State::Kind::completed) << tc.name;
        } else {
            const auto error = hubtest::errorAs<platform::HttpError>(states.back());
            ASSERT_TRUE(error) << tc.name;
            EXPECT_FALSE(error->cancelled()) << tc.name;
        }
        EXPECT_EQ(f.server.recorded().size(), tc.requests) << tc.name;
    }
}

TEST(Downloader, BadAnswersFailWithoutRetryAndKeepOrCleanThePartialFile) {
    const std::string served = hubtest::body(3'000'000, 5);
    struct Case {
        const char* name;
        LocalHttpServer::Reply reply;
        std::string prefix;
        int64_t expected;
        bool completes;
        std::string partialAfter;  // what stays in the partial file on failure
        std::optional<long> httpStatus = {};
    };
    auto ignoring = LocalHttpServer::Reply::ok(served);
    ignoring.ignoreRange = true;
    const std::vector<Case> cases = {
        {"not found", LocalHttpServer::Reply::answer(404, "nope"), "abc", int64_t(served.size()),
         false, "abc", 404},
        {"server error", LocalHttpServer::Reply::answer(500, "down"), "", int64_t(served.size()),
         false, "", 500},
        {"server ignores Range", ignoring, served.substr(0, 1000), int64_t(served.size()), true,
         ""},
        {"longer than announced", LocalHttpServer::Reply::ok(served), "",
         int64_t(served.size()) - 10, false, ""},
        {"shorter than announced", LocalHttpServer::Reply::ok(served), "",
         int64_t(served.size()) + 10, false, served},
    };
    for (const auto& tc : cases) {
        Fixture f(tc.prefix);
        f.server.set("/f", tc.reply);
        const auto states = f.run(tc.expected);
        ASSERT_FALSE(states.empty()) << tc.name;
        EXPECT_EQ(f.server.recorded().size(), 1u) << tc.name;
        if (tc.completes) {
            ASSERT_EQ(states.back().kind(), State::Kind::completed) << tc.name;
            EXPECT_EQ(testsupport::readFile(f.destination), served) << tc.name;
            continue;
        }
        const auto error = hubtest::errorAs<Downloader::DownloadError>(states.back());
        ASSERT_TRUE(error) << tc.name;
        EXPECT_EQ(error->code(), Downloader::DownloadError::Code::unexpectedError) << tc.name;
        EXPECT_EQ(error->httpStatus(), tc.httpStatus) << tc.name;
        EXPECT_STREQ(error->what(), "The download failed unexpectedly.") << tc.name;
        EXPECT_FALSE(fs::exists(f.destination)) << tc.name;
        EXPECT_EQ(testsupport::readFile(f.partial), tc.partialAfter) << tc.name;
    }
}

TEST(Downloader, ACompletePartialFileIsMovedIntoPlaceWithoutARequest) {
    const std::string served = hubtest::body(5000, 6);
    Fixture f(served);
    f.server.set("/f", LocalHttpServer::Reply::answer(416));
    const auto states = f.run(int64_t(served.size()));
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_TRUE(f.server.recorded().empty());
    EXPECT_EQ(testsupport::readFile(f.destination), served);
}

TEST(Downloader, CancelDuringTheRetryWaitEndsTheTransfer) {
    const std::string served = hubtest::body(100'000, 7);
    Fixture f;
    auto reply = LocalHttpServer::Reply::ok(served);
    reply.dropAfter = 500;
    reply.dropTimes = 10;
    f.server.set("/f", reply);
    auto d = f.downloader();
    d->setRetryDelay(std::chrono::seconds(30));
    auto stream = d->download(f.server.url("/f"), std::nullopt, std::nullopt,
                              int64_t(served.size()), 10.0, 5);
    while (f.server.recorded().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the drop lands, the wait begins
    const auto started = std::chrono::steady_clock::now();
    d->cancel();
    std::vector<State> finals;
    while (finals.size() < 2) {
        auto s = stream->next(std::chrono::seconds(10));
        ASSERT_TRUE(s);
        if (s->isFinal()) finals.push_back(*s);
    }
    // Well below the 30 s retry wait it cut short.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    const auto cancelled = hubtest::errorAs<platform::HttpError>(finals[0]);
    ASSERT_TRUE(cancelled);
    EXPECT_TRUE(cancelled->cancelled());
    EXPECT_TRUE(hubtest::errorAs<platform::CancellationError>(finals[1]));
    EXPECT_EQ(f.server.recorded().size(), 1u);
}

TEST(Downloader, ASecondDownloadWaitsForTheFirstBeforeResuming) {
    const std::string served = hubtest::body(size_t(kChunk) * 2 + 777, 8);
    Fixture f;
    f.server.set("/f", LocalHttpServer::Reply::stalling(served, size_t(kChunk) + 4096));
    auto d = f.downloader();
    auto first = d->download(f.server.url("/f"), std::nullopt, std::nullopt, int64_t(served.size()),
                             10.0, 5);
    // Wait until the first transfer has written its first chunk and stalls.
    while (Downloader::incompleteFileSize(f.partial) < kChunk)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Started while the first still stalls: released before, the first could
    // finish its file before the second's start cancels it.
    auto second = d->download(f.server.url("/f"), std::nullopt, std::nullopt,
                              int64_t(served.size()), 10.0, 5);
    f.server.release();
    const auto firstStates = hubtest::untilFinal(*first);
    ASSERT_FALSE(firstStates.empty());
    EXPECT_EQ(firstStates.back().kind(), State::Kind::failed);
    const auto secondStates = hubtest::untilFinal(*second);
    ASSERT_FALSE(secondStates.empty());
    EXPECT_EQ(secondStates.back().kind(), State::Kind::completed);
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)), hubtest::sha256(served));
    // The second resumed after everything the first had written.
    const std::string range = f.ranges().back();
    ASSERT_TRUE(range.starts_with("bytes=")) << range;
    const int64_t resumedAt = std::stoll(range.substr(6));
    EXPECT_GE(resumedAt, kChunk);
    EXPECT_LT(resumedAt, int64_t(served.size()));
}

TEST(Downloader, ResumedRequestsNameTheirContentAndNeverSpliceAnother) {
    const std::string v1 = hubtest::body(5'000'000, 40);
    const std::string v2 = hubtest::body(5'000'000, 41);  // same size: only the bytes tell
    const auto version = [](const std::string& content, const std::string& etag) {
        return LocalHttpServer::Reply::ok(content).header("ETag", "\"" + etag + "\"");
    };
    // A server without etags that says when the file last changed and when it answered.
    const std::string t1 = "Tue, 05 Mar 2024 10:00:00 GMT";
    const auto modified = [](const std::string& content, const std::string& at,
                             const std::string& answeredAt = "Thu, 07 Mar 2024 10:00:00 GMT") {
        return LocalHttpServer::Reply::ok(content)
            .header("Last-Modified", at)
            .header("Date", answeredAt);
    };
    struct Case {
        const char* name;
        std::string prefix;  // in the partial file before the transfer
        LocalHttpServer::Reply reply;
        std::optional<std::string> etag;  // what the caller says the content is
        bool completes;
        std::vector<std::string> ranges;
        std::optional<std::string> ifRange = "\"e1\"";  // sent with every ranged request
        std::optional<std::string> lastModified = {};   // what the caller says, without an etag
        bool endsWithV2 = false;                        // else with v1, when it completes
    };
    auto dropThenChange = version(v1, "e1");
    dropThenChange.dropAfter = 3'000'000;
    dropThenChange.dropTimes = 1;
    dropThenChange.thenServe(version(v2, "e2"));
    auto dropOnly = version(v1, "e1");
    dropOnly.dropAfter = 3'000'000;
    dropOnly.dropTimes = 1;
    auto dropTimed = modified(v1, t1), dropWeak = modified(v1, t1, t1);
    // A time is strong from a minute before the answer on.
    auto dropMinute = modified(v1, t1, "Tue, 05 Mar 2024 10:01:00 GMT"),
         dropUnderMinute = modified(v1, t1, "Tue, 05 Mar 2024 10:00:59 GMT");
    // The file changes while the connection is down, at the same time as far
    // as a time under a minute before the answer can say.
    auto dropUnderMinuteThenChange = dropUnderMinute;
    dropUnderMinuteThenChange.thenServe(modified(v2, t1, "Tue, 05 Mar 2024 10:00:59 GMT"));
    for (auto* r :
         {&dropTimed, &dropWeak, &dropMinute, &dropUnderMinute, &dropUnderMinuteThenChange})
        r->dropAfter = 3'000'000, r->dropTimes = 1;
    const std::string part = v1.substr(0, 1000), t2 = "Wed, 06 Mar 2024 10:00:00 GMT";
    const std::vector<Case> cases = {
        {"changed during the transfer", "", dropThenChange, "e1", false, {"", "bytes=3000000-"}},
        {"changed, etag learnt from the first answer",
         "",
         dropThenChange,
         std::nullopt,
         false,
         {"", "bytes=3000000-"}},
        {"changed since an earlier run",
         v1.substr(0, 1000),
         version(v2, "e2"),
         "e1",
         false,
         {"bytes=1000-"}},
        {"unchanged", "", dropOnly, "e1", true, {"", "bytes=3000000-"}},
        {"no etag: earlier time", part, modified(v1, t1), {}, true, {"bytes=1000-"}, t1, t1},
        {"no etag: time from the answer", "", dropTimed, {}, true, {"", "bytes=3000000-"}, t1},
        {"no etag: another time", part, modified(v2, t2), {}, false, {"bytes=1000-"}, t1, t1},
        // Nothing to send as If-Range: a dropped connection starts over.
        {"no etag: a weak time", "", dropWeak, {}, true, {"", ""}, {}},
        {"no etag: a time 60 s old", "", dropMinute, {}, true, {"", "bytes=3000000-"}, t1},
        {"no etag: a time 59 s old", "", dropUnderMinute, {}, true, {"", ""}, {}},
        {"no etag: a time 59 s old, another file once dropped",
         "",
         dropUnderMinuteThenChange,
         {},
         true,
         {"", ""},
         {},
         {},
         true},
    };
    for (const auto& c : cases) {
        Fixture f(c.prefix);
        f.server.set("/f", c.reply);
        auto d = f.downloader();
        auto stream = d->download(f.server.url("/f"), std::nullopt, std::nullopt,
                                  int64_t(v1.size()), 10.0, 5, c.etag, c.lastModified);
        const auto states = hubtest::untilFinal(*stream);
        ASSERT_FALSE(states.empty()) << c.name;
        EXPECT_EQ(f.ranges(), c.ranges) << c.name;
        const auto recorded = f.server.recorded();
        for (const auto& r : recorded) {
            // Every ranged request says which content it continues.
            if (r.header("Range")) {
                EXPECT_EQ(r.header("If-Range"), c.ifRange) << c.name;
            } else {
                EXPECT_FALSE(r.header("If-Range")) << c.name;
            }
        }
        if (c.completes) {
            ASSERT_EQ(states.back().kind(), State::Kind::completed) << c.name;
            EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)),
                      hubtest::sha256(c.endsWithV2 ? v2 : v1))
                << c.name;
            continue;
        }
        const auto error = hubtest::errorAs<Downloader::DownloadError>(states.back());
        ASSERT_TRUE(error) << c.name;
        EXPECT_EQ(error->code(), Downloader::DownloadError::Code::contentChanged) << c.name;
        EXPECT_FALSE(fs::exists(f.destination)) << c.name;
        // Nothing of either version stays to be continued with the other.
        EXPECT_EQ(Downloader::incompleteFileSize(f.partial), 0) << c.name;
    }
}

TEST(Downloader, ALinkThatDropsBeforeEveryChunkStillFinishes) {
    // 8,000,000 bytes per connection, less than one progress chunk.
    const std::string served = hubtest::body(size_t(kChunk) * 3 + 12345, 42);
    Fixture f;
    auto reply = LocalHttpServer::Reply::ok(served).header("ETag", "\"e42\"");
    reply.dropAfter = 8'000'000;
    reply.dropTimes = 100;
    f.server.set("/f", reply);
    // One retry only: the chunks written in between must restore it.
    const auto states = f.run(int64_t(served.size()), 1);
    ASSERT_FALSE(states.empty());
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)), hubtest::sha256(served));
    EXPECT_EQ(f.ranges(), (std::vector<std::string>{"", "bytes=8000000-", "bytes=16000000-",
                                                    "bytes=24000000-"}));
    // Progress still comes once per whole chunk written, wherever the drops fall.
    const double c = double(kChunk) / double(served.size());
    const auto got = fractions(states);
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], double(i) * c, 1e-9) << i;
}

// A partial answer whose piece does not start where the file on disk ends (a
// proxy or a server that cuts ranges its own way) is never appended: the bytes
// would land at the wrong place. The transfer starts over or fails; what it
// leaves is the served file or nothing.
TEST(Downloader, APartialAnswerStartingElsewhereIsNeverSpliced) {
    const std::string served = hubtest::body(3'000'000, 52);
    const size_t kept = 1'000'000;  // on disk before the transfer
    struct Case {
        const char* name;
        std::optional<size_t> start;  // where the 206 says its piece starts; none: no header
    } cases[] = {
        {"from the start of the file", 0},
        {"before the end of what is kept", kept - 4096},
        {"after it", kept + 4096},
        {"without a Content-Range", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(served.substr(0, kept));
        f.server.setHandler("/f", [&](const httplib::Request& req, httplib::Response& res) {
            res.set_header("ETag", "\"e1\"");
            if (!req.has_header("Range")) {
                res.set_content(served, "application/octet-stream");
                return;
            }
            // The piece is cut here; the server library must not cut it again.
            const_cast<httplib::Request&>(req).ranges.clear();
            const size_t from = c.start.value_or(0);
            res.status = 206;
            if (c.start)
                res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                    std::to_string(served.size() - 1) + "/" +
                                                    std::to_string(served.size()));
            res.set_content(served.substr(from), "application/octet-stream");
        });
        auto d = f.downloader();
        auto stream = d->download(f.server.url("/f"), std::nullopt, std::nullopt,
                                  int64_t(served.size()), 10.0, 5, std::string("e1"));
        const auto states = hubtest::untilFinal(*stream);
        ASSERT_FALSE(states.empty());
        if (states.back().kind() == State::Kind::completed) {
            EXPECT_EQ(hubtest::sha256(testsupport::readFile(f.destination)),
                      hubtest::sha256(served));
        } else {
            EXPECT_FALSE(fs::exists(f.destination));
            EXPECT_EQ(Downloader::incompleteFileSize(f.partial), 0);
        }
    }
}
