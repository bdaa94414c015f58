#include <gtest/gtest.h>

#include "vortilcore/hub/DownloadTestSupport.hpp"
#include "vortilcore/hub/FileMetadata.hpp"

using hubtest::FakeHub;
using testsupport::LocalHttpServer;
using vortil::HubApi;

TEST(RemoteFileMetadata, HeaderPrecedenceAndLocation) {
    LocalHttpServer cdn("127.0.0.1", "localhost");
    struct Case {
        const char* name;
        LocalHttpServer::Reply reply;
        std::optional<std::string> commit;
        std::optional<std::string> etag;
        std::optional<int64_t> size;
        std::string location;  // "" for the requested URL, "@" + path for this server's URL
    };
    auto linked = LocalHttpServer::Reply::ok("12345");
    linked.header("X-Repo-Commit", "c1")
        .header("X-Linked-Etag", "W/\"linked\"")
        .header("ETag", "\"plain\"")
        .header("X-Linked-Size", "+42");
    auto plain = LocalHttpServer::Reply::ok("1234567");
    plain.header("ETag", "\"quoted\"");
    auto badSize = LocalHttpServer::Reply::ok("x");
    badSize.header("X-Linked-Size", "12a");
    auto negative = LocalHttpServer::Reply::ok("x");
    negative.header("X-Linked-Size", "-5");
    auto absolute = LocalHttpServer::Reply::redirect(302, cdn.url("/cdn/f"));
    absolute.header("X-Linked-Size", "9");
    auto temporary = LocalHttpServer::Reply::redirect(307, cdn.url("/cdn/f"));
    auto noLocation = LocalHttpServer::Reply::answer(302);
    auto relative = LocalHttpServer::Reply::answer(307);
    relative.header("Location", "/final");
    const std::vector<Case> cases = {
        {"linked fields win", linked, "c1", "linked", 42, ""},
        {"plain fields", plain, std::nullopt, "quoted", 7, ""},
        {"size with a letter", badSize, std::nullopt, std::nullopt, std::nullopt, ""},
        {"negative size", negative, std::nullopt, std::nullopt, std::nullopt, ""},
        {"302 to another host", absolute, std::nullopt, std::nullopt, 9, cdn.url("/cdn/f")},
        {"307 to another host", temporary, std::nullopt, std::nullopt, 0, ""},
        {"302 without Location", noLocation, std::nullopt, std::nullopt, 0, ""},
        {"relative redirect followed", relative, "c2", "final-etag", 3, "@/final"},
    };
    for (const auto& c : cases) {
        FakeHub h;
        h.server.set("/f", c.reply);
        auto last = LocalHttpServer::Reply::ok("abc");
        last.header("X-Repo-Commit", "c2").header("ETag", "\"final-etag\"");
        h.server.set("/final", last);
        const std::string url = h.server.url("/f");
        const HubApi::FileMetadata m = h.hub().getFileMetadata(url);
        EXPECT_EQ(m.commitHash, c.commit) << c.name;
        EXPECT_EQ(m.etag, c.etag) << c.name;
        EXPECT_EQ(m.size, c.size) << c.name;
        const std::string location =
            c.location.empty()
                ? url
                : (c.location[0] == '@' ? h.server.url(c.location.substr(1)) : c.location);
        EXPECT_EQ(m.location, location) << c.name;
    }
    EXPECT_TRUE(cdn.recorded().empty()) << "a redirect to another host is never followed";
}

TEST(RemoteFileMetadata, SizeTextIsStrictlyDecimal) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
        {"12", 12},
        {"+12", 12},
        {"0", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"12a", std::nullopt},
        {" 12", std::nullopt},
        {"12 ", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"-1", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(HubApi::parseFileSize(text), expected) << "'" << text << "'";
}
