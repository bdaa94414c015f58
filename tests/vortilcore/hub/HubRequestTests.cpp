#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>

#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "vortilcore/hub/HubApi.hpp"

using namespace vortil;
using testsupport::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

namespace {

const char* kListing =
    R"({"siblings":[{"rfilename":"config.json"},{"rfilename":"tokenizer.json"},)"
    R"({"rfilename":"tokenizer_config.json"},{"rfilename":"sub/dir/a.json"},{"rfilename":"model.bin"},)"
    R"({"rfilename":"config.json"}],"other":1})";

class HubRequestTest : public ::testing::Test {
  protected:
    HubApi client(std::optional<std::string> token = std::string()) const {
        HubApi api(env.home() / "cache", std::move(token),
                   server.root().substr(0, server.root().size() - 1));
        api.useOfflineMode = false;
        return api;
    }
    testsupport::HubTestEnvironment env;
    LocalHttpServer server;
    const HubApi::Repo repo{"owner/name", HubApi::RepoType::models};
};

}  // namespace

TEST_F(HubRequestTest, ListingAddressEncodesTheRevisionAsOneSegment) {
    struct Case {
        HubApi::Repo repo;
        std::string revision;
        std::string path;
    };
    const std::vector<Case> cases = {
        {repo, "main", "/api/models/owner/name/revision/main"},
        {repo, "refs/pr/1", "/api/models/owner/name/revision/refs%2Fpr%2F1"},
        {{"o/with space", HubApi::RepoType::datasets},
         "v 1",
         "/api/datasets/o/with%20space/revision/v%201"},
        {{"o/n", HubApi::RepoType::spaces}, "100%", "/api/spaces/o/n/revision/100%25"},
    };
    for (const Case& c : cases) {
        server.set(c.path, Reply::ok(R"({"siblings":[]})"));
        EXPECT_EQ(client().getFilenames(c.repo, c.revision, {}), std::vector<std::string>{})
            << c.path;
        ASSERT_FALSE(server.recorded().empty());
        EXPECT_EQ(server.recorded().back().rawPath, c.path);
        EXPECT_EQ(server.recorded().back().method, "GET");
    }
    // An endpoint with a path of its own keeps it.
    HubApi mirror = client();
    mirror.endpoint = server.url("/mirror/");
    server.set("/mirror/api/models/owner/name/revision/main", Reply::ok(R"({"siblings":[]})"));
    EXPECT_NO_THROW(mirror.getFilenames(repo, "main", {}));
}

TEST_F(HubRequestTest, PatternsSelectAUnionInListingOrder) {
    server.set("/api/models/owner/name/revision/main", Reply::ok(kListing));
    struct Case {
        std::vector<std::string> patterns;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {{},
         {"config.json", "tokenizer.json", "tokenizer_config.json", "sub/dir/a.json", "model.bin",
          "config.json"}},
        {{"*.json", "config.json"},
         {"config.json", "tokenizer.json", "tokenizer_config.json", "sub/dir/a.json"}},
        {{"model.bin", "config.json"}, {"config.json", "model.bin"}},
        {{"tokenizer*"}, {"tokenizer.json", "tokenizer_config.json"}},
        {{"*.safetensors"}, {}},
        {{"nothing", "*.txt"}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(client().getFilenames(repo, "main", c.patterns), c.names);
}

TEST_F(HubRequestTest, MalformedListingsFailWithTheDecoderError) {
    struct Case {
        std::string body;
        bool fails;
    };
    const std::vector<Case> cases = {
        {"not json", true},
        {R"({"siblings":[{"x":1}]})", true},
        {R"({"siblings":[{"rfilename":7}]})", true},
        {R"({"other":[]})", true},
        {R"({"siblings":[]})", false},
    };
    for (const Case& c : cases) {
        server.set("/api/models/owner/name/revision/main", Reply::ok(c.body));
        if (c.fails) {
            EXPECT_THROW(client().getFilenames(repo, "main", {}), nlohmann::json::exception)
                << c.body;
        } else {
            EXPECT_TRUE(client().getFilenames(repo, "main", {"*"}).empty());
        }
    }
}

TEST_F(HubRequestTest, ListingsLongerThanTheLimitAreRefusedWithoutBeingKept) {
    const std::string path = "/api/models/owner/name/revision/main";
    // No length announces it: a server that sends without end looks the same.
    server.set(path, Reply::chunkedBody(std::string(HubApi::maxAnswerBytes + 1, ' ')));
    try {
        client().getFilenames(repo, "main", {});
        ADD_FAILURE() << "a listing over the limit was taken";
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), HubClientError::Case::downloadError);
        EXPECT_NE(std::string(e.what()).find("is larger than 64 MiB"), std::string::npos)
            << e.what();
    }
    std::string atTheLimit = R"({"siblings":[{"rfilename":"a.json"}]})";
    atTheLimit.resize(HubApi::maxAnswerBytes, ' ');
    server.set(path, Reply::chunkedBody(std::move(atTheLimit)));
    EXPECT_EQ(client().getFilenames(repo, "main", {}), std::vector<std::string>{"a.json"});
}

TEST_F(HubRequestTest, EndpointsThatAreNotUrlsFailWithoutCrashing) {
    for (const char* endpoint : {"", "not a url", "://", "http://[broken"}) {
        HubApi api = client();
        api.endpoint = endpoint;
        try {
            api.getFilenames(repo, "main", {});
            ADD_FAILURE() << endpoint;
        } catch (const HubClientError& e) {
            EXPECT_EQ(e.errorCase(), HubClientError::Case::downloadError) << endpoint;
            EXPECT_EQ(std::string(e.what()),
                      std::string("Download failed: Invalid endpoint URL: ") + endpoint);
        }
    }
}

TEST_F(HubRequestTest, AuthorizationHeaderOnlyForUsableTokens) {
    server.set("/f", Reply::ok("x"));
    struct Case {
        std::optional<std::string> token;
        std::optional<std::string> header;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"t", "Bearer t"},
        {"abc\r\nX-Injected: 1", std::nullopt},
        {"abc\n", std::nullopt},
        {std::string("ab\0c", 4), std::nullopt},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        HubApi api = client(c.token);
        api.httpGet(server.url("/f"));
        api.httpHead(server.url("/f"));
        const std::string log = testing::internal::GetCapturedStderr();
        for (const auto& seen :
             {server.recorded()[server.recorded().size() - 2], server.recorded().back()}) {
            EXPECT_EQ(seen.header("Authorization"), c.header) << seen.method;
            EXPECT_FALSE(seen.header("X-Injected").has_value());
        }
        // An unusable token is reported, not silently dropped.
        EXPECT_EQ(log.find("not sent") != std::string::npos,
                  c.token && !c.token->empty() && !c.header);
    }
}

TEST_F(HubRequestTest, StatusMappingForGetAndHead) {
    server.set("/r/ok", Reply::ok("body"));
    server.set("/r/file.bin", Reply::answer(404));
    server.set("/r/401", Reply::answer(401));
    server.set("/r/403", Reply::answer(403));
    server.set("/r/500", Reply::answer(500));
    server.set("/r/302", Reply::redirect(302, "http://localhost:1/cdn/file"));
    server.set("/r/304", Reply::answer(304));
    using C = HubClientError::Case;
    struct Case {
        std::string path;
        std::optional<C> get;  // nothing: success
        std::optional<C> head;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"/r/ok", std::nullopt, std::nullopt, ""},
        {"/r/file.bin", C::fileNotFound, C::fileNotFound, "file.bin"},
        {"/r/401", C::authorizationRequired, C::authorizationRequired, ""},
        {"/r/403", C::authorizationRequired, C::authorizationRequired, ""},
        {"/r/500", C::httpStatusCode, C::httpStatusCode, ""},
        {"/r/302", C::httpStatusCode, std::nullopt, ""},
        {"/r/304", C::httpStatusCode, std::nullopt, ""},
    };
    const HubApi api = client();
    // The listing GET follows redirects; a 302 it cannot follow (a closed
    // port) is a download error rather than a status.
    for (const Case& c : cases) {
        auto check = [&](const char* method, std::optional<C> expected, auto call) {
            try {
                call();
                EXPECT_FALSE(expected.has_value()) << method << " " << c.path;
            } catch (const HubClientError& e) {
                ASSERT_TRUE(expected.has_value()) << method << " " << c.path << ": " << e.what();
                if (c.path == "/r/302" && std::string(method) == "GET") return;
                EXPECT_EQ(e.errorCase(), *expected) << method << " " << c.path;
                EXPECT_EQ(e.payload(), c.payload) << method << " " << c.path;
            }
        };
        check("GET", c.get, [&] { EXPECT_EQ(api.httpGet(server.url(c.path)).first, "body"); });
        check("HEAD", c.head, [&] { (void)api.httpHead(server.url(c.path)); });
    }
    try {
        api.httpGet(server.url("/r/403"));
    } catch (const HubClientError& e) {
        EXPECT_NE(std::string(e.what()).find("model hub token"), std::string::npos);
    }
    EXPECT_EQ(api.httpHead(server.url("/r/302")).status, 302);
    try {
        api.httpGet(server.url("/r/500"));
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.statusCode(), 500);
    }
}

TEST_F(HubRequestTest, TransportFailuresAreMappedForGetOnly) {
    const std::string closed = server.url("/gone");
    server.stop();
    const HubApi api = client();
    try {
        api.httpGet(closed);
        FAIL();
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), HubClientError::Case::downloadError);
        EXPECT_EQ(std::string(e.what()).rfind("Download failed: ", 0), 0u);
    }
    try {
        api.httpHead(closed);
        FAIL();
    } catch (const platform::HttpError& e) {
        EXPECT_EQ(e.code(), platform::UrlErrorCode::cannotConnectToHost);
    }
}

TEST_F(HubRequestTest, HeadFollowsOnlyRelativeRedirectsAndStaysAHead) {
    server.set("/owner/name/resolve/main/a.bin",
               Reply::answer(307)
                   .header("Location", "/owner/renamed/resolve/main/a.bin?x=1")
                   .header("X-Repo-Commit", "c1"));
    server.set("/owner/renamed/resolve/main/a.bin",
               Reply::ok("0123456789").header("ETag", "\"e\""));
    server.set(
        "/owner/name/resolve/main/lfs.bin",
        Reply::redirect(302, "http://localhost:1/cdn/lfs.bin").header("X-Linked-Size", "12"));
    server.set("/owner/name/resolve/main/empty.bin",
               Reply::redirect(302, "").header("X-Linked-Size", "1"));
    server.set("/loop", Reply::answer(302).header("Location", "/loop"));

    const HubApi api = client("tok");
    const platform::HttpResponse followed =
        api.httpHead(server.url("/owner/name/resolve/main/a.bin"));
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.headers.value("etag"), "\"e\"");
    EXPECT_EQ(followed.effectiveURL, server.url("/owner/renamed/resolve/main/a.bin?x=1"));
    const auto requests = server.recorded();
    ASSERT_EQ(requests.size(), 2u);
    const auto& second = requests[1];
    EXPECT_EQ(second.method, "HEAD");
    EXPECT_EQ(second.rawPath, "/owner/renamed/resolve/main/a.bin");
    EXPECT_EQ(second.query, "x=1");
    EXPECT_EQ(second.header("Authorization"), "Bearer tok");
    EXPECT_EQ(second.header("Accept-Encoding"), "identity");
    EXPECT_EQ(second.header("Location"), server.url("/owner/renamed/resolve/main/a.bin?x=1"));

    // Another host: the redirect itself is the answer, with its fields.
    const platform::HttpResponse lfs = api.httpHead(server.url("/owner/name/resolve/main/lfs.bin"));
    EXPECT_EQ(lfs.status, 302);
    EXPECT_EQ(lfs.headers.value("location"), "http://localhost:1/cdn/lfs.bin");
    EXPECT_EQ(lfs.headers.value("x-linked-size"), "12");
    EXPECT_EQ(server.recorded().size(), 3u);

    EXPECT_EQ(api.httpHead(server.url("/owner/name/resolve/main/empty.bin")).status, 302);
    EXPECT_THROW(api.httpHead(server.url("/loop")), platform::HttpError);
}

TEST(RedirectPolicy, FollowUpRequests) {
    const platform::HttpRequest first(
        "http://127.0.0.1:8080/o/n/resolve/main/f?old=1", "HEAD",
        {{"Authorization", "Bearer t"}, {"Accept-Encoding", "identity"}});
    auto responseWith = [](long status, std::optional<std::string> location) {
        platform::HttpResponse r;
        r.status = status;
        if (location) r.headers.set("Location", *location);
        return r;
    };
    struct Case {
        long status;
        std::optional<std::string> location;
        std::optional<std::string> url;  // nothing: refused
    };
    const std::vector<Case> cases = {
        {307, "/p?q=1", "http://127.0.0.1:8080/p?q=1"},
        {301, "/p", "http://127.0.0.1:8080/p"},
        {302, "http://other.example/p", std::nullopt},
        {302, "//other.example/p", std::nullopt},
        {302, std::nullopt, std::nullopt},
        {302, "", std::nullopt},
        {302, "/has space", std::nullopt},
        {302, "/bad%zz", std::nullopt},
        {200, "/p", std::nullopt},
        {400, "/p", std::nullopt},
        {399, "/a/b#frag", "http://127.0.0.1:8080/a/b"},
    };
    for (const Case& c : cases) {
        const auto next = RedirectDelegate::followUp(first, responseWith(c.status, c.location));
        ASSERT_EQ(next.has_value(), c.url.has_value())
            << c.status << " " << c.location.value_or("(none)");
        if (!next) continue;
        EXPECT_EQ(next->url, *c.url);
        EXPECT_EQ(next->method, "HEAD");
        EXPECT_EQ(next->header("Authorization"), "Bearer t");
        EXPECT_EQ(next->header("Accept-Encoding"), "identity");
        EXPECT_EQ(next->header("Location"), *c.url);
        EXPECT_EQ(next->timeout, std::chrono::milliseconds(60000));
    }
}

TEST(RedirectSessionActorTests, OneSessionHoweverManyAskAtOnce) {
    RedirectSessionActor actor;
    std::vector<std::future<std::shared_ptr<RedirectSession>>> sessions;
    for (int i = 0; i < 16; ++i)
        sessions.push_back(std::async(std::launch::async, [&] { return actor.get(); }));
    const auto first = sessions.front().get();
    ASSERT_NE(first, nullptr);
    for (size_t i = 1; i < sessions.size(); ++i) EXPECT_EQ(sessions[i].get(), first);
    EXPECT_EQ(HubApi::redirectSession().get(), HubApi::redirectSession().get());
}
