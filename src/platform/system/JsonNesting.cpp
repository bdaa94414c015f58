#include "platform/system/JsonNesting.hpp"

#include <nlohmann/json.hpp>
#include <string>

namespace platform {

void checkJsonNesting(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case '"':  // to the closing quote; an escape hides the next byte
                for (++i; i < text.size() && text[i] != '"'; ++i)
                    if (text[i] == '\\') ++i;
                break;
            case '[':
            case '{':
                if (++depth > limit)
                    throw nlohmann::json::parse_error::create(
                        101, i + 1, "nesting deeper than " + std::to_string(limit) + " levels",
                        nullptr);
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
}

nlohmann::json parseJson(std::string_view text) {
    checkJsonNesting(text);
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::out_of_range& e) {
        // A number too large for a double (1e400) is malformed input like
        // any other, not a different kind of failure.
        throw nlohmann::json::parse_error::create(101, 0, e.what(), nullptr);
    }
}

}  // namespace platform
