#pragma once
// Shared pieces of the hub client tests: deterministic file bodies, their
// digests, and reading a download's states until it ends.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/LocalHttpServer.hpp"
#include "support/Sha256Hex.hpp"
#include "support/TempDir.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace hubtest {

using State = vortil::Downloader::DownloadState;

// Bytes that differ at every offset, so a misplaced or repeated block shows.
inline std::string body(size_t size, uint32_t seed = 1) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

inline std::string sha256(const std::string& data) { return testsupport::sha256Hex(data); }

inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

// What the call throws, as its what() text; "no error" when it returns.
template <class F>
std::string errorText(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

// The states of one stream up to and including the first final one; stops
// after `limit` without one.
inline std::vector<State> untilFinal(platform::AsyncStream<State>& stream,
                                     std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::vector<State> states;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto s = stream.next(std::chrono::milliseconds(200));
        if (!s) {
            if (stream.isFinished()) break;
            continue;
        }
        states.push_back(*s);
        if (s->isFinal()) break;
    }
    return states;
}

// The exception a failed state carries, as type E; nullopt for another type.
template <class E>
std::optional<E> errorAs(const State& s) {
    if (s.kind() != State::Kind::failed || !s.error()) return std::nullopt;
    try {
        std::rethrow_exception(s.error());
    } catch (const E& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

// A model hub on loopback serving one repository, "owner/name" at "main",
// and a client whose cache lies in a fresh folder.
struct FakeHub {
    static constexpr const char* kCommit = "0123456789abcdef0123456789abcdef01234567";

    testsupport::TempDir temp{"verbolin-hub"};
    testsupport::LocalHttpServer server;

    std::string endpoint() const {
        std::string root = server.root();
        root.pop_back();
        return root;
    }
    vortil::HubApi hub(std::optional<bool> offline = false) const {
        vortil::HubApi h(temp.path() / "cache", std::string("tok"), endpoint());
        h.useOfflineMode = offline;
        return h;
    }
    static std::string resolvePath(const std::string& name) {
        return "/owner/name/resolve/main/" + name;
    }

    void listing(const std::vector<std::string>& names) {
        std::string json = R"({"siblings":[)";
        for (size_t i = 0; i < names.size(); ++i)
            json += (i ? "," : "") + std::string(R"({"rfilename":")") + names[i] + "\"}";
        json += "]}";
        server.set("/api/models/owner/name/revision/main",
                   testsupport::LocalHttpServer::Reply::ok(json));
    }
    // A file's reply; its etag is its SHA-256 unless given.
    static testsupport::LocalHttpServer::Reply fileReply(
        const std::string& content, std::optional<std::string> etag = std::nullopt,
        const std::string& commit = kCommit) {
        auto reply = testsupport::LocalHttpServer::Reply::ok(content);
        reply.header("X-Repo-Commit", commit)
            .header("ETag", "\"" + etag.value_or(sha256(content)) + "\"");
        return reply;
    }
    void file(const std::string& name, const std::string& content,
              std::optional<std::string> etag = std::nullopt) {
        server.set(resolvePath(name), fileReply(content, std::move(etag)));
    }

    vortil::HubApi::HubFileDownloader downloader(const std::string& name) const {
        const auto h = hub();
        const auto folder = h.repoFolder({"owner/name", vortil::HubRepoType::models});
        return {h,
                {"owner/name", vortil::HubRepoType::models},
                "main",
                folder,
                vortil::HubApi::metadataFolder(folder),
                name,
                h.hfToken,
                endpoint(),
                false};
    }
    std::filesystem::path repo() const {
        return hub().repoFolder({"owner/name", vortil::HubRepoType::models});
    }
    std::filesystem::path meta() const { return vortil::HubApi::metadataFolder(repo()); }

    size_t count(const std::string& method, const std::string& rawPath) const {
        size_t n = 0;
        for (const auto& r : server.recorded()) n += r.method == method && r.rawPath == rawPath;
        return n;
    }
};

}  // namespace hubtest
