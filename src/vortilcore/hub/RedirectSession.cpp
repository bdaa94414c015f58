#include "vortilcore/hub/RedirectSession.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/system/Url.hpp"

namespace vortil {
namespace {

// Characters a URL may hold as they are; anything else makes the text
// unparseable, as the platform's URL parser has it.
bool parsesAsUrl(std::string_view text) {
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7f) return false;
        if (std::string_view("<>\"{}|\\^`").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
        if (c == '%' &&
            (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
             !std::isxdigit(static_cast<unsigned char>(text[i + 2])))) {
            return false;
        }
    }
    return true;
}

bool hasScheme(std::string_view text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (char c : text) {
        if (c == ':') return true;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

struct PathAndQuery {
    std::string path;
    std::optional<std::string> query;
};

// The path and query of a Location without a host; nothing when it names a
// host or does not parse.
std::optional<PathAndQuery> relativeParts(std::string_view location) {
    if (!parsesAsUrl(location)) return std::nullopt;
    if (location.starts_with("//")) return std::nullopt;
    if (hasScheme(location)) {
        const size_t colon = location.find(':');
        if (location.substr(colon + 1).starts_with("//"))
            return std::nullopt;  // an authority: a host
        location = location.substr(colon + 1);
    }
    location = location.substr(0, location.find('#'));
    PathAndQuery parts;
    const size_t q = location.find('?');
    parts.path = std::string(location.substr(0, q));
    if (q != std::string_view::npos) parts.query = std::string(location.substr(q + 1));
    return parts;
}

}  // namespace

std::optional<platform::HttpRequest> RedirectDelegate::followUp(
    const platform::HttpRequest& originalRequest, const platform::HttpResponse& response) {
    if (response.status < 300 || response.status > 399) return std::nullopt;
    const std::optional<std::string> location = response.headers.value("Location");
    if (!location) return std::nullopt;
    const std::optional<PathAndQuery> parts = relativeParts(*location);
    if (!parts) return std::nullopt;
    if (originalRequest.url.empty()) return std::nullopt;
    // With an authority, a path must be empty or start with a slash.
    if (!parts->path.empty() && parts->path.front() != '/') return std::nullopt;

    // The first URL's scheme, user, host and port stay; libcurl checks that
    // it is a URL, and the text is kept as written.
    if (!platform::url::parses(originalRequest.url, platform::url::Schemes::supported)) {
        return std::nullopt;
    }
    const size_t scheme = originalRequest.url.find("://");
    if (scheme == std::string::npos) return std::nullopt;
    const size_t originEnd =
        std::min(originalRequest.url.find_first_of("/?#", scheme + 3), originalRequest.url.size());
    std::string resolved =
        originalRequest.url.substr(0, originEnd) + (parts->path.empty() ? "/" : parts->path);
    if (parts->query) resolved += "?" + *parts->query;

    platform::HttpRequest next(resolved, originalRequest.method, originalRequest.headers);
    next.timeout = std::chrono::seconds(60);
    next.followRedirects = false;
    next.setHeader("Location", resolved);
    return next;
}

platform::HttpResponse RedirectSession::send(const platform::HttpRequest& request) {
    platform::HttpRequest current = request;
    current.followRedirects = false;
    for (int hop = 0;; ++hop) {
        platform::HttpResponse response = client_.send(current);
        std::optional<platform::HttpRequest> next = RedirectDelegate::followUp(request, response);
        if (!next) return response;
        if (hop + 1 > maxRedirects) {
            throw platform::HttpError(platform::UrlErrorCode::httpTooManyRedirects,
                                      "too many HTTP redirects");
        }
        current = std::move(*next);
    }
}

std::shared_ptr<RedirectSession> RedirectSessionActor::get() {
    std::lock_guard lock(mutex_);
    if (!urlSession_) urlSession_ = std::make_shared<RedirectSession>();
    return urlSession_;
}

}  // namespace vortil
