#include "platform/system/Url.hpp"

#include <curl/curl.h>

#include <memory>

namespace platform::url {
namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

UrlHandle parsed(std::string_view text, Schemes schemes) {
    UrlHandle handle(curl_url());
    const unsigned flags = schemes == Schemes::any ? CURLU_NON_SUPPORT_SCHEME : 0;
    // libcurl reads up to the first NUL, so a text holding one is cut there.
    const std::string copy(text);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), flags) != CURLUE_OK) {
        return nullptr;
    }
    return handle;
}

}  // namespace

bool parses(std::string_view text, Schemes schemes) { return parsed(text, schemes) != nullptr; }

std::optional<std::string> decodedPath(std::string_view text) {
    const UrlHandle handle = parsed(text, Schemes::any);
    if (!handle) return std::nullopt;
    char* path = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_PATH, &path, CURLU_URLDECODE) != CURLUE_OK || !path) {
        return std::nullopt;
    }
    std::string result(path);
    curl_free(path);
    return result;
}

}  // namespace platform::url
