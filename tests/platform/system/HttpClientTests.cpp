#include <gtest/gtest.h>

#include <curl/curl.h>

#include <thread>

#include "platform/system/HttpClient.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TempDir.hpp"
#include "support/ZipBuilder.hpp"

using namespace platform;
using testsupport::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

namespace {

struct Call {
    int64_t written;
    int64_t expected;
};

class HttpClientTest : public ::testing::Test {
protected:
    testsupport::TempDir temp;
    LocalHttpServer server;
    std::filesystem::path file = temp.path() / "body.bin";
};

}  // namespace

TEST_F(HttpClientTest, WritesBodyAndReportsProgressForKnownAndUnknownLengths) {
    const std::string body = testsupport::incompressibleBytes(300000);
    server.set("/plain", Reply::ok(body));
    server.set("/chunked", Reply::chunkedBody(body));

    for (const auto& [path, expected] : {std::pair{"/plain", int64_t(body.size())}, std::pair{"/chunked", int64_t(-1)}}) {
        std::vector<Call> calls;
        HttpClient http;
        HttpResponse r = http.getToFile(server.url(path), file,
                                        [&](int64_t w, int64_t e) { calls.push_back({w, e}); });
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_EQ(r.bytesWritten, int64_t(body.size())) << path;
        EXPECT_EQ(testsupport::readFile(file), body) << path;
        ASSERT_FALSE(calls.empty()) << path;
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].expected, expected) << path;
            if (i > 0) {
                EXPECT_GT(calls[i].written, calls[i - 1].written) << path;
            }
        }
        EXPECT_EQ(calls.back().written, int64_t(body.size())) << path;
    }
}

TEST_F(HttpClientTest, ReportsErrorStatusesWithoutThrowingAndFollowsRedirects) {
    server.set("/moved", Reply::redirect(302, "/again"));
    server.set("/again", Reply::redirect(301, "/final"));
    server.set("/final", Reply::ok("final body"));
    server.set("/broken", Reply::answer(500, "oops"));

    HttpClient http;
    HttpResponse r = http.getToFile(server.url("/moved"), file);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.effectiveURL, server.url("/final"));
    EXPECT_EQ(testsupport::readFile(file), "final body");

    EXPECT_EQ(http.getToFile(server.url("/missing"), file).status, 404);
    EXPECT_EQ(http.getToFile(server.url("/broken"), file).status, 500);
}

TEST_F(HttpClientTest, TransportFailuresThrowWithADescription) {
    const std::string refused = server.url("/x");
    server.stop();
    HttpClient http;
    try {
        http.getToFile(refused, file);
        FAIL() << "expected HttpError";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.curlCode(), CURLE_COULDNT_CONNECT);
        EXPECT_FALSE(e.cancelled());
        EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
    }
    // Only web addresses are fetched.
    EXPECT_THROW(http.getToFile("file:///etc/passwd", file), HttpError);
}

TEST_F(HttpClientTest, IdleTimeoutEndsAStalledTransfer) {
    server.set("/stall", Reply::stalling(std::string(100000, 'x'), 0));
    HttpClient::Options options;
    options.idleTimeout = std::chrono::seconds(1);
    HttpClient http(options);
    try {
        http.getToFile(server.url("/stall"), file);
        FAIL() << "expected HttpError";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.curlCode(), CURLE_OPERATION_TIMEDOUT);
    }
}

TEST_F(HttpClientTest, CancelFromAnotherThreadStopsAStalledTransferAndLaterOnes) {
    server.set("/stall", Reply::stalling(std::string(100000, 'x'), 1000));
    HttpClient http;
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!started.load()) std::this_thread::yield();
        http.cancel();
    });
    try {
        http.getToFile(server.url("/stall"), file, [&](int64_t, int64_t) { started = true; });
        ADD_FAILURE() << "expected HttpError";
    } catch (const HttpError& e) {
        EXPECT_TRUE(e.cancelled());
    }
    canceller.join();
    server.set("/ok", Reply::ok("fine"));
    try {
        http.getToFile(server.url("/ok"), file);
        ADD_FAILURE() << "a cancelled client must stay cancelled";
    } catch (const HttpError& e) {
        EXPECT_TRUE(e.cancelled());
    }
}

TEST_F(HttpClientTest, ProgressExceptionsAndUnwritableFilesReachTheCaller) {
    server.set("/data", Reply::ok(std::string(200000, 'y')));
    struct Stop {};
    HttpClient http;
    EXPECT_THROW(http.getToFile(server.url("/data"), file, [](int64_t, int64_t) { throw Stop{}; }), Stop);
    EXPECT_THROW(http.getToFile(server.url("/data"), temp.path() / "no-such-folder" / "f"),
                 std::filesystem::filesystem_error);
}
