#include <curl/curl.h>
#include <gtest/gtest.h>

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

    for (const auto& [path, expected] :
         {std::pair{"/plain", int64_t(body.size())}, std::pair{"/chunked", int64_t(-1)}}) {
        std::vector<Call> calls;
        HttpClient http;
        HttpResponse r = http.getToFile(server.url(path), file, [&](int64_t w, int64_t e) {
            calls.push_back({w, e});
        });
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
    EXPECT_THROW(http.getToFile(server.url("/data"), file, [](int64_t, int64_t) { throw Stop{}; }),
                 Stop);
    EXPECT_THROW(http.getToFile(server.url("/data"), temp.path() / "no-such-folder" / "f"),
                 std::filesystem::filesystem_error);
}

TEST_F(HttpClientTest, SendsHeadersAndReadsResponseFieldsInAnyLetterCase) {
    server.set("/h", Reply::ok("body").header("X-Repo-Commit", "abc").header("ETag", "\"e1\""));
    HttpClient http;
    for (const char* method : {"GET", "HEAD"}) {
        HttpRequest request{server.url("/h"),
                            method,
                            {{"Authorization", "Bearer t"}, {"Accept-Encoding", "identity"}}};
        std::vector<std::string> events;
        HttpResponse r = http.send(
            request,
            [&](std::string_view chunk) { events.push_back("body:" + std::string(chunk)); },
            [&](const HttpResponse& head) {
                events.push_back("head:" + std::to_string(head.status));
            });
        EXPECT_EQ(r.status, 200) << method;
        EXPECT_EQ(r.headers.value("x-repo-commit"), "abc") << method;
        EXPECT_EQ(r.headers.value("etag"), "\"e1\"") << method;
        EXPECT_EQ(r.headers.value("content-length"), "4") << method;
        // The head comes first; a HEAD reads no body even though a length is announced.
        const std::vector<std::string> expected =
            std::string(method) == "GET" ? std::vector<std::string>{"head:200", "body:body"}
                                         : std::vector<std::string>{"head:200"};
        EXPECT_EQ(events, expected) << method;
        const auto seen = server.recorded().back();
        EXPECT_EQ(seen.method, method);
        EXPECT_EQ(seen.header("authorization"), "Bearer t");
        EXPECT_EQ(seen.header("Accept-Encoding"), "identity");
    }
}

TEST_F(HttpClientTest, RedirectsAreReturnedWhenNotFollowed) {
    server.set("/moved", Reply::redirect(302, "/final"));
    server.set("/final", Reply::ok("final body"));
    HttpClient http;
    HttpRequest request{server.url("/moved")};
    request.followRedirects = false;
    for (const char* method : {"GET", "HEAD"}) {
        request.method = method;
        HttpClient::BufferedResponse r = http.fetch(request);
        EXPECT_EQ(r.response.status, 302) << method;
        EXPECT_EQ(r.response.headers.value("Location"), server.url("/final")) << method;
        EXPECT_EQ(r.response.effectiveURL, server.url("/moved")) << method;
    }
    request.followRedirects = true;
    request.method = "GET";
    HttpClient::BufferedResponse followed = http.fetch(request);
    EXPECT_EQ(followed.response.status, 200);
    EXPECT_EQ(followed.body, "final body");
    EXPECT_EQ(followed.response.effectiveURL, server.url("/final"));
    // Fields of the redirect do not leak into the final response.
    EXPECT_FALSE(followed.response.headers.contains("Location"));
}

TEST_F(HttpClientTest, HeaderFieldsThatCouldSplitTheRequestAreRefused) {
    server.set("/h", Reply::ok("x"));
    HttpClient http;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"Authorization", "Bearer t\r\nX-Evil: 1"},
        {"Authorization", "Bearer t\n"},
        {"Authorization", std::string("Bearer t\0x", 10)},
        {"X-A\r\nB", "v"},
        {"X:Y", "v"},
        {"", "v"}};
    for (const auto& [name, value] : bad) {
        EXPECT_THROW(http.send(HttpRequest{server.url("/h"), "GET", {{name, value}}}),
                     std::invalid_argument)
            << name;
    }
    EXPECT_TRUE(server.recorded().empty());
    EXPECT_THROW(http.send(HttpRequest{server.url("/h"), "POST"}), std::invalid_argument);
}

TEST_F(HttpClientTest, TransportFailuresCarryUrlErrorCodes) {
    server.set("/drop", [] {
        Reply r = Reply::ok(std::string(100000, 'd'));
        r.dropAfter = 1000;
        r.dropTimes = 1;
        return r;
    }());
    HttpClient http;
    try {
        http.fetch(HttpRequest{server.url("/drop")});
        FAIL() << "expected a lost connection";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.code(), UrlErrorCode::networkConnectionLost) << e.what();
    }
    // Only the first request was dropped.
    EXPECT_EQ(http.fetch(HttpRequest{server.url("/drop")}).body.size(), 100000u);

    const std::string refused = server.url("/x");
    server.stop();
    try {
        http.fetch(HttpRequest{refused});
        FAIL() << "expected a refused connection";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.code(), UrlErrorCode::cannotConnectToHost);
    }
    try {
        http.fetch(HttpRequest{"file:///etc/passwd"});
        FAIL() << "expected an unsupported scheme";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.code(), UrlErrorCode::unsupportedURL);
    }
}

// Only a well-formed range is trusted: a caller appends its bytes at `first`.
TEST(HttpRanges, ContentRangeIsReadStrictly) {
    const struct {
        const char* value;
        std::optional<ContentRange> expected;
    } cases[] = {
        {"bytes 100-199/200", ContentRange{100, 199, 200}},
        {"bytes 0-0/1", ContentRange{0, 0, 1}},
        {"Bytes 5-9/*", ContentRange{5, 9, std::nullopt}},
        {"bytes 100-199/100", std::nullopt},  // past the end
        {"bytes 200-100/300", std::nullopt},  // backwards
        {"bytes */200", std::nullopt},        // a 416's form
        {"bytes -5-9/20", std::nullopt},
        {"bytes +5-9/20", std::nullopt},
        {"bytes 5 -9/20", std::nullopt},
        {"bytes 5-9/2x", std::nullopt},
        {"bytes 5-9", std::nullopt},
        {"bytes 5/9-20", std::nullopt},
        {"items 5-9/20", std::nullopt},
        {"bytes 99999999999999999999-1/2", std::nullopt},  // overflow
        {"", std::nullopt},
        {"bytes ", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = parseContentRange(c.value);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.value;
        if (!got) continue;
        EXPECT_EQ(got->first, c.expected->first) << c.value;
        EXPECT_EQ(got->last, c.expected->last) << c.value;
        EXPECT_EQ(got->total, c.expected->total) << c.value;
    }
    EXPECT_EQ(rangeFrom(1500000), "bytes=1500000-");

    const struct {
        const char* value;
        std::optional<int64_t> length;
    } unsatisfied[] = {
        {"bytes */200", 200},
        {"Bytes */0", 0},
        {"bytes */", std::nullopt},
        {"bytes */-1", std::nullopt},
        {"bytes */2 ", std::nullopt},
        {"bytes 0-1/2", std::nullopt},
        {"bytes */99999999999999999999", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : unsatisfied)
        EXPECT_EQ(parseUnsatisfiedRange(c.value), c.length) << c.value;
}

TEST(HttpRanges, ContentLengthIsAPlainNumberOrNothing) {
    const struct {
        const char* value;
        std::optional<int64_t> expected;
    } cases[] = {
        {"0", 0},
        {"2600123", 2600123},
        {"-1", std::nullopt},
        {"12abc", std::nullopt},
        {"", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        HttpHeaders headers;
        headers.set("content-length", c.value);
        EXPECT_EQ(contentLength(headers), c.expected) << c.value;
    }
    EXPECT_EQ(contentLength(HttpHeaders()), std::nullopt);
}
