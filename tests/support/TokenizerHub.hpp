#pragma once
// Serves the English test tokenizer as a tokenizer repository on a loopback
// hub, the way the hub answers: the revision's file listing, and each file on
// its resolve address with a commit and an etag.

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "support/LocalHttpServer.hpp"

namespace testsupport {

// Serves the tokenizer files of `repo` at "main", each answering with
// `status` (the listing itself always answers 200).
inline void serveTokenizer(LocalHttpServer& hub, const std::string& repo, int status) {
    const std::filesystem::path good = VERBOLIN_TEST_DATA_DIR "/whisper-en-tokenizer";
    std::string listing = R"({"siblings":[)";
    for (const std::string name : {"tokenizer.json", "tokenizer_config.json"}) {
        std::ifstream in(good / name, std::ios::binary);
        const std::string content{std::istreambuf_iterator<char>(in), {}};
        listing +=
            std::string(listing.back() == '[' ? "" : ",") + R"({"rfilename":")" + name + R"("})";
        auto reply = LocalHttpServer::Reply::answer(status, content);
        reply.header("X-Repo-Commit", std::string(40, 'a'))
            .header("ETag", "\"" + std::to_string(std::hash<std::string>()(content)) + "\"");
        hub.set("/" + repo + "/resolve/main/" + name, reply);
    }
    hub.set("/api/models/" + repo + "/revision/main", LocalHttpServer::Reply::ok(listing + "]}"));
}

}  // namespace testsupport
