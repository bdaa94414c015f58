#pragma once
// Reading and writing the scalar members of the pipeline's JSON forms, with
// the rules every record follows:
// - a required key must be present and not null; an optional one may be
//   missing or null, which both mean absent;
// - numbers must be JSON numbers, booleans JSON booleans, no conversions;
// - 32-bit floats are written as their shortest decimal text (0.2f as 0.2,
//   not as the nearest double 0.20000000298023224), and a non-finite float
//   cannot be encoded at all.
// Key order of written objects is the order of insertion (ordered_json).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auralith/utilities/CodingError.hpp"

namespace auralith::json_values {

using Json = nlohmann::ordered_json;

// Throws EncodingError (naming `path`) for NaN and infinities.
Json floatNumber(float value, std::string_view path);
Json floatArray(const std::vector<float>& values, std::string_view path);

// Throws DecodingError::typeMismatch unless `value` is an object.
void requireObject(const Json& value, std::string_view path);

// The member under key: keyNotFound when missing, valueNotFound when null.
const Json& required(const Json& object, std::string_view key);
// The member under key, or nullptr when it is missing or null.
const Json* optional(const Json& object, std::string_view key);

bool readBool(const Json& value, std::string_view path);
std::string readString(const Json& value, std::string_view path);
// Any JSON number whose value a float can hold; dataCorrupted when too large.
float readFloat(const Json& value, std::string_view path);
// A JSON number with an integral value in range; dataCorrupted otherwise.
std::int64_t readInt64(const Json& value, std::string_view path);

std::vector<float> readFloatArray(const Json& value, std::string_view path);
std::vector<std::int64_t> readInt64Array(const Json& value, std::string_view path);
std::vector<std::string> readStringArray(const Json& value, std::string_view path);

// Shorthands for required and optional members of an object.
template <class Read>
auto requiredMember(const Json& object, std::string_view key, Read read) {
    return read(required(object, key), key);
}
template <class Read>
auto optionalMember(const Json& object, std::string_view key, Read read)
    -> std::optional<decltype(read(object, key))> {
    const Json* member = optional(object, key);
    if (member == nullptr) return std::nullopt;
    return read(*member, key);
}

}  // namespace auralith::json_values
