#pragma once
// Nesting limits for JSON read from files. The parser itself copes with any
// depth, but everything that walks a document afterwards (copies, dumps,
// comparisons, our own converters) recurses once per level, and a few tens
// of kilobytes of "[[[[..." would overflow the stack. No file we read nests
// anywhere near the limit.

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxJsonNesting = 512;

// Throws nlohmann::json::parse_error when arrays and objects nest deeper
// than `limit`. Brackets inside strings do not count. Does not validate.
void checkJsonNesting(std::string_view text, std::size_t limit = kMaxJsonNesting);

// nlohmann::json::parse after checkJsonNesting(); every failure, a number
// out of a double's range included, is a parse_error.
nlohmann::json parseJson(std::string_view text);

}  // namespace platform
