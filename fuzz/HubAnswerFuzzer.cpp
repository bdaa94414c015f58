// What a hub server answers, served from 127.0.0.1: a repository listing, the
// header fields of a file's HEAD answer, a redirect's Location, and a model
// support table, given as one input cut at fuzzing::kSeparator. The client
// must turn each into a value or one of its errors.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.hpp"
#include "auralith/ModelUtilities.hpp"
#include "auralith/core/ModelSupportConfig.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"
#include "platform/system/HttpClient.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace {

using Reply = testsupport::LocalHttpServer::Reply;

struct World {
    testsupport::HubTestEnvironment env;
    testsupport::LocalHttpServer server;
    vortil::HubApi hub{env.home() / "cache", std::string(),
                       server.root().substr(0, server.root().size() - 1)};
    World() { hub.useOfflineMode = false; }
};

World& world() {
    static World w;
    return w;
}

// "status\nName: value\n..." as a reply to a HEAD; a line without a colon is
// skipped. An informational status (1xx) makes the client wait for a final
// answer until its idle timeout, which says nothing about parsing and would
// only slow the fuzzer down; it is answered as 200.
Reply headReply(std::string_view text) {
    Reply reply;
    const std::size_t firstEnd = text.find('\n');
    const std::string status(text.substr(0, firstEnd));
    reply.status = 200;
    if (!status.empty() && status.size() <= 3 &&
        status.find_first_not_of("0123456789") == std::string::npos)
        reply.status = std::max(200, std::stoi(status));
    text = firstEnd == std::string_view::npos ? std::string_view() : text.substr(firstEnd + 1);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            reply.headers.emplace_back(std::string(line.substr(0, colon)),
                                       std::string(line.substr(colon + 1)));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzing::splitInput(data, size, 4);
    World& w = world();
    const vortil::HubApi::Repo repo{"owner/name", vortil::HubApi::RepoType::models};

    std::vector<std::string> names;
    w.server.set("/api/models/owner/name/revision/main", Reply::ok(std::string(parts[0])));
    try {
        names = w.hub.getFilenames(repo, "main", {});
        w.hub.getFilenames(repo, "main", {"*.json", "openai_whisper-*/*"});
    } catch (const vortil::HubClientError&) {
    } catch (const nlohmann::json::exception&) {
    }
    auralith::ModelUtilities::formatModelFiles(names);

    w.server.set("/owner/name/resolve/main/file.bin", headReply(parts[1]));
    try {
        w.hub.getFileMetadata(w.server.url("/owner/name/resolve/main/file.bin"));
    } catch (const vortil::HubClientError&) {
    } catch (const platform::HttpError&) {
    }

    platform::HttpResponse redirect;
    redirect.status = 302;
    redirect.headers.set("Location", std::string(parts[2]));
    vortil::RedirectDelegate::followUp(w.hub.request(w.server.url("/a/b?c=d")), redirect);

    const auto table = nlohmann::ordered_json::parse(parts[3], nullptr, false);
    if (!table.is_discarded()) {
        try {
            const auto config = auralith::ModelSupportConfig::fromJSON(table);
            config.modelSupport("cpu");
            config.modelSupport("");
        } catch (const auralith::DecodingError&) {
        }
    }
    return 0;
}
