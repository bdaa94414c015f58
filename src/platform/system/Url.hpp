#pragma once
// What libcurl's URL parser makes of a text, for the callers that must judge
// a URL without sending anything. Stateless; safe from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace platform::url {

enum class Schemes {
    supported,  // only the schemes this libcurl can fetch
    any,        // any scheme, "hf://" and the like included
};

// Whether the text parses as an absolute URL. The text is only judged; callers
// keep their own spelling of it.
bool parses(std::string_view text, Schemes schemes);

// The path of an absolute URL of any scheme, percent escapes decoded ("/a b"
// for "https://h/a%20b?q"); none when the text is no URL.
std::optional<std::string> decodedPath(std::string_view text);

}  // namespace platform::url
