#include "vortilcore/hub/Etag.hpp"

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

}  // namespace vortil
