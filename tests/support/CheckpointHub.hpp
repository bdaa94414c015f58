#pragma once
// A model hub on loopback that serves a Whisper checkpoint folder (the
// trained test model unless named) as one repository, "openai/whisper-base.en"
// at "main", the way the hub answers: a HEAD and a GET per file on its
// resolve address, with the commit, an etag that is the content's SHA-256,
// and ranges. Point the installer at it with endpoint() (or HF_ENDPOINT).
// Files can be replaced (tampered, stalled, cut) per test.

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/LocalHttpServer.hpp"
#include "support/Sha256Hex.hpp"
#include "support/TempDir.hpp"
#include "support/TrainedModel.hpp"

namespace testsupport {

class CheckpointHub {
  public:
    using Reply = LocalHttpServer::Reply;
    static constexpr const char* kCommit = "4f8e1bd3c1a2b2c9e6d0a7f35b9e2c4d1a0b3c5e";
    static constexpr const char* kStandardRepo = "openai/whisper-base.en";

    explicit CheckpointHub(const std::filesystem::path& folder = trainedModel(),
                           std::string repo = kStandardRepo)
        : repo_(std::move(repo)) {
        for (const char* name : {"config.json", "generation_config.json", "model.safetensors",
                                 "tokenizer.json", "tokenizer_config.json"}) {
            std::ifstream in(folder / name, std::ios::binary);
            serve(name, std::string{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()});
        }
    }

    // The hub's address, as HF_ENDPOINT takes it (no trailing slash).
    std::string endpoint() const {
        std::string root = server.root();
        root.pop_back();
        return root;
    }
    std::string resolvePath(const std::string& name) const {
        return "/" + repo_ + "/resolve/main/" + name;
    }

    // Serves `content` as the file `name`, under the etag of `etagOf` (the
    // content itself unless given: a tampered file keeps the true etag).
    void serve(const std::string& name, std::string content,
               const std::optional<std::string>& etagOf = std::nullopt) {
        Reply reply = Reply::ok(content);
        reply.header("X-Repo-Commit", kCommit)
            .header("ETag", "\"" + sha256(etagOf.value_or(content)) + "\"");
        server.set(resolvePath(name), reply);
        contents_[name] = std::move(content);
        replies_[name] = std::move(reply);
    }
    // Sets a reply made from the file's current one, for stalls and cuts.
    void change(const std::string& name, const std::function<void(Reply&)>& edit) {
        Reply& reply = replies_.at(name);
        edit(reply);
        server.set(resolvePath(name), reply);
    }
    const std::string& content(const std::string& name) const { return contents_.at(name); }

    // GET requests of one file, by the Range each asked for.
    std::vector<std::optional<std::string>> gets(const std::string& name) const {
        std::vector<std::optional<std::string>> ranges;
        for (const auto& r : server.recorded())
            if (r.method == "GET" && r.rawPath == resolvePath(name))
                ranges.push_back(r.header("Range"));
        return ranges;
    }
    // Requests of one file with `method` ("HEAD" asks for its metadata),
    // counting from the `from`-th request the hub was sent.
    size_t asked(const std::string& method, const std::string& name, size_t from = 0) const {
        const auto recorded = server.recorded();
        size_t count = 0;
        for (size_t i = from; i < recorded.size(); ++i)
            count += recorded[i].method == method && recorded[i].rawPath == resolvePath(name);
        return count;
    }
    // Every path asked for with GET, in order.
    std::vector<std::string> gotPaths() const {
        std::vector<std::string> paths;
        for (const auto& r : server.recorded())
            if (r.method == "GET") paths.push_back(r.rawPath);
        return paths;
    }

    static std::string sha256(const std::string& data) { return testsupport::sha256Hex(data); }

    LocalHttpServer server;

  private:
    std::string repo_;
    std::map<std::string, std::string> contents_;
    std::map<std::string, Reply> replies_;
};

// Every file below `folder`, by relative path, with its bytes.
inline std::map<std::string, std::string> filesUnder(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    if (!std::filesystem::is_directory(folder)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[std::filesystem::relative(entry.path(), folder).string()] =
                readFile(entry.path());
    return files;
}

// The pack the model tool makes of the trained model: what an install from
// the hub above must put in place, byte for byte.
inline const std::map<std::string, std::string>& toolPackOfTrainedModel() {
    static const auto files = [] {
        TempDir dir("verbolin-reference-pack");
        return filesUnder(convertTrainedModel(dir / "pack"));
    }();
    return files;
}

}  // namespace testsupport
