#include "vortilcore/hub/Etag.hpp"

#include <chrono>
#include <string_view>

namespace vortil {

std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag) {
    if (!etag) return std::nullopt;
    std::string_view text = *etag;
    if (text.starts_with("W/")) text.remove_prefix(2);
    while (!text.empty() && text.front() == '"') text.remove_prefix(1);
    while (!text.empty() && text.back() == '"') text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::string> strongLastModified(const platform::HttpHeaders& headers) {
    const auto modified = headers.value("Last-Modified");
    const auto date = headers.value("Date");
    if (!modified || !date) return std::nullopt;
    const auto modifiedAt = platform::parseHttpDate(*modified);
    const auto answeredAt = platform::parseHttpDate(*date);
    if (!modifiedAt || !answeredAt || *answeredAt - *modifiedAt < std::chrono::seconds(60))
        return std::nullopt;
    return modified;
}

bool sameLastModified(const std::string& a, const std::string& b) {
    const auto first = platform::parseHttpDate(a);
    return first && first == platform::parseHttpDate(b);
}

}  // namespace vortil
