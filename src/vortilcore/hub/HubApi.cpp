#include "vortilcore/hub/HubApi.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "platform/system/JsonNesting.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/Text.hpp"
#include "platform/system/Url.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/hub/Etag.hpp"
#include "vortilcore/hub/HubDefaults.hpp"

namespace vortil {
namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(60);

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// A token file's content without surrounding white space; nothing when the
// file is missing, unreadable or not UTF-8.
std::optional<std::string> tokenFromFile(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad() || !unicode::isValidUtf8(content)) return std::nullopt;
    return std::string(platform::text::trimmed(content));
}

bool safeInHeader(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isPathChar(unsigned char c) {
    return std::isalnum(c) || std::strchr("-._~!$&'()*+,;=:@", c) != nullptr;
}

std::string encodedSegment(std::string_view segment) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : segment) {
        if (c != 0 && isPathChar(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

platform::HttpClient& sharedSession() {
    static platform::HttpClient client;
    return client;
}

[[noreturn]] void throwForStatus(long status, const std::string& url) {
    if (status == 401 || status == 403) throw HubClientError::authorizationRequired();
    if (status == 404) throw HubClientError::fileNotFound(lastPathComponent(url));
    throw HubClientError::httpStatusCode(status);
}

}  // namespace

void HubApi::Logger::warning(std::string_view message) const {
    platform::writeLog("", "", platform::LogType::defaultType, message);
}

void HubApi::Logger::error(std::string_view message) const {
    platform::writeLog("", "", platform::LogType::error, message);
}

HubApi::HubApi(std::optional<std::filesystem::path> downloadBase,
               std::optional<std::string> hfToken, std::optional<std::string> endpoint,
               bool useBackgroundSession)
    : networkMonitor(NetworkMonitor::create()) {
    this->hfToken = hfToken ? std::move(hfToken) : hfTokenFromEnv();
    if (environment("CI_DISABLE_NETWORK_MONITOR") == "1") {
        const char* line = this->hfToken ? "\u2705 got token\n" : "\U0001F534 NO TOKEN **\n";
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    this->downloadBase =
        downloadBase ? std::move(*downloadBase) : platform::documentsDirectory() / "huggingface";
    this->endpoint = endpoint ? std::move(*endpoint) : hfEndpointFromEnv();
    this->useBackgroundSession = useBackgroundSession;
    NetworkMonitor::shared()->startMonitoring();
}

std::optional<std::string> HubApi::hfTokenFromEnv() {
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN"}) {
        if (auto value = environment(name); value && !value->empty()) return value;
    }
    std::vector<std::filesystem::path> files;
    if (auto path = environment("HF_TOKEN_PATH")) files.emplace_back(resolveAbsolutePath(*path));
    if (auto home = environment("HF_HOME"))
        files.push_back(std::filesystem::path(resolveAbsolutePath(*home)) / "token");
    const std::filesystem::path home = platform::homeDirectory();
    files.push_back(home / ".cache" / "huggingface" / "token");
    files.push_back(home / ".huggingface" / "token");
    for (const auto& file : files) {
        if (auto token = tokenFromFile(file); token && !token->empty()) return token;
    }
    return std::nullopt;
}

std::string HubApi::hfEndpointFromEnv() {
    if (auto value = environment("HF_ENDPOINT")) return *value;
    return std::string(kDefaultHubEndpoint);
}

RedirectSessionActor& HubApi::redirectSession() {
    static RedirectSessionActor actor;
    return actor;
}

const HubApi::Logger& HubApi::logger() {
    static const Logger log;
    return log;
}

bool HubApi::shouldUseOfflineMode() const {
    if (useOfflineMode) return *useOfflineMode;
    return NetworkMonitor::shared()->state().shouldUseOfflineMode();
}

platform::HttpRequest HubApi::request(const std::string& url, const std::string& method) const {
    platform::HttpRequest request(url, method);
    request.timeout = kRequestTimeout;
    if (hfToken && !hfToken->empty()) {
        if (safeInHeader(*hfToken)) {
            request.setHeader("Authorization", "Bearer " + *hfToken);
        } else {
            logger().warning("The hub token holds a line break or NUL character and is not sent.");
        }
    }
    return request;
}

std::string HubApi::listingURL(const Repo& repo, const std::string& revision) const {
    std::vector<std::string> segments = {"api", std::string(rawValue(repo.type))};
    for (auto& part : pathSegments(repo.id)) segments.push_back(std::move(part));
    segments.emplace_back("revision");
    segments.push_back(revision);
    std::optional<std::string> url = appendingPathSegments(endpoint, segments);
    if (!url) throw HubClientError::downloadError("Invalid endpoint URL: " + endpoint);
    return *url;
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& matching) const {
    const auto [body, response] = httpGet(listingURL(repo, revision));
    const nlohmann::json listing = nlohmann::json::parse(body);
    std::vector<std::string> names;
    for (const nlohmann::json& sibling : listing.at("siblings")) {
        names.push_back(sibling.at("rfilename").get<std::string>());
    }
    if (matching.empty()) return names;

    std::unordered_set<std::string> selected;
    for (const std::string& pattern : matching) {
        for (std::string& name : vortil::matching(names, pattern)) selected.insert(std::move(name));
    }
    std::vector<std::string> result;
    for (std::string& name : orderedSet(names)) {
        if (selected.count(name)) result.push_back(std::move(name));
    }
    return result;
}

std::pair<std::string, platform::HttpResponse> HubApi::httpGet(const std::string& url) const {
    try {
        std::string body;
        platform::HttpResponse response =
            sharedSession().send(request(url), [&](std::string_view chunk) {
                if (chunk.size() > maxAnswerBytes - body.size())
                    throw HubClientError::downloadError(
                        "The answer of " + url + " is larger than " +
                        std::to_string(maxAnswerBytes >> 20) + " MiB");
                body.append(chunk);
            });
        const long status = response.status;
        if (status == 0) throw HubClientError::unexpectedError();
        if (status >= 200 && status <= 299) return {std::move(body), std::move(response)};
        throwForStatus(status, url);
    } catch (const HubClientError&) {
        throw;
    } catch (const std::exception& e) {
        throw HubClientError::downloadError(e.what());
    }
}

platform::HttpResponse HubApi::httpHead(const std::string& url) const {
    platform::HttpRequest head = request(url, "HEAD");
    head.setHeader("Accept-Encoding", "identity");
    platform::HttpResponse response = redirectSession().get()->send(head);
    const long status = response.status;
    if (status == 0) throw HubClientError::unexpectedError();
    if (status >= 200 && status <= 399) return response;
    throwForStatus(status, url);
}

std::optional<std::string> HubApi::normalizeEtag(const std::optional<std::string>& etag) {
    return vortil::normalizeEtag(etag);
}

Config HubApi::configuration(const std::filesystem::path& fileURL) {
    std::ifstream in(fileURL, std::ios::binary);
    if (!in) {
        throw std::filesystem::filesystem_error(
            "cannot read", fileURL,
            std::error_code(errno ? errno : ENOENT, std::generic_category()));
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    nlohmann::json parsed;
    try {
        parsed = bomPreservingJsonObject(bytes);
    } catch (const std::exception&) {
        // No token mends a file that nests too deep to be read safely.
        bool tooDeep = false;
        try {
            platform::checkJsonNesting(bytes);
        } catch (const nlohmann::json::parse_error&) {
            tooDeep = true;
        }
        throw HubClientError::jsonSerialization(
            fileURL, "JSON Serialization failed for file://" +
                         std::filesystem::absolute(fileURL).string() +
                         (tooDeep ? ": it nests arrays and objects deeper than " +
                                        std::to_string(platform::kMaxJsonNesting) + " levels."
                                  : ". Please verify that you have set the HF_TOKEN "
                                    "environment variable."));
    }
    if (!parsed.is_object()) throw HubClientError::parse();
    return Config::fromJson(parsed, Config::JsonSource::configurationFile);
}

std::string lastPathComponent(const std::string& url) {
    std::string text =
        platform::url::decodedPath(url).value_or(url.substr(0, url.find_first_of("?#")));
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (text == "/") return text;
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::optional<std::string> appendingPathSegments(const std::string& baseURL,
                                                 const std::vector<std::string>& segments) {
    // libcurl only judges the text: its own rendering would rewrite the
    // percent escapes (lower-case hex), which servers may compare verbatim.
    if (!platform::url::parses(baseURL, platform::url::Schemes::any)) return std::nullopt;
    const size_t authority = baseURL.find("://");
    if (authority == std::string::npos) return std::nullopt;
    const size_t pathEnd = std::min(baseURL.find_first_of("?#", authority + 3), baseURL.size());
    std::string url = baseURL.substr(0, pathEnd);
    while (url.size() > authority + 3 && url.back() == '/') url.pop_back();
    for (const std::string& segment : segments) url += "/" + encodedSegment(segment);
    return url + baseURL.substr(pathEnd);
}

std::vector<std::string> pathSegments(std::string_view path) {
    std::vector<std::string> segments;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        segments.emplace_back(path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return segments;
}

}  // namespace vortil
