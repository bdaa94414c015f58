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

#include "auralith/utilities/JSONCodingErrors.hpp"

namespace auralith::json_values {

using Json = nlohmann::ordered_json;

// Throws EncodingError (naming `path`) for NaN and infinities.
Json floatNumber(float value, std::string_view path);
Json doubleNumber(double value, std::string_view path);
Json floatArray(const std::vector<float>& values, std::string_view path);

// Throws DecodingError::typeMismatch unless `value` is an object.
void requireObject(const Json& value, std::string_view path);
[[noreturn]] void throwTypeMismatch(const Json& value, std::string_view path,
                                    std::string_view expected);

// The member under key: keyNotFound when missing, valueNotFound when null.
const Json& required(const Json& object, std::string_view key);
// The member under key, or nullptr when it is missing or null.
const Json* optional(const Json& object, std::string_view key);

bool readBool(const Json& value, std::string_view path);
std::string readString(const Json& value, std::string_view path);
// Any JSON number that rounds to a finite float (the text written for the
// largest float, 3.4028235e+38, is a little above it and still reads back);
// dataCorrupted for anything larger.
float readFloat(const Json& value, std::string_view path);
double readDouble(const Json& value, std::string_view path);
// A JSON number with an integral value in range, 3 and 3.0 alike;
// dataCorrupted otherwise.
std::int64_t readInt64(const Json& value, std::string_view path);

std::vector<float> readFloatArray(const Json& value, std::string_view path);
std::vector<std::int64_t> readInt64Array(const Json& value, std::string_view path);
std::vector<std::string> readStringArray(const Json& value, std::string_view path);

// Runs read(); a DecodingError it throws gets `path` put in front of its own.
template <class Read>
auto within(std::string_view path, Read read) -> decltype(read()) {
    try {
        return read();
    } catch (const DecodingError& error) {
        std::string full(path);
        if (!error.codingPath().empty())
            full += (error.codingPath().front() == '[' ? "" : ".") + error.codingPath();
        throw DecodingError(error.kind(), std::move(full), error.debugDescription());
    }
}

// The elements of an array, each read with read(element, "path[i]"); an
// element that is null is valueNotFound.
template <class Read>
auto readArray(const Json& value, std::string_view path, Read read)
    -> std::vector<decltype(read(value, path))> {
    if (!value.is_array()) throwTypeMismatch(value, path, "an array");
    std::vector<decltype(read(value, path))> out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string at = std::string(path) + "[" + std::to_string(i) + "]";
        if (value[i].is_null())
            throw DecodingError(DecodingError::Kind::valueNotFound, at,
                                "Expected a value but found null.");
        out.push_back(read(value[i], at));
    }
    return out;
}

// A record with its own from_json, with its errors placed under `path`.
template <class T>
T readRecord(const Json& value, std::string_view path) {
    return within(path, [&] { return value.template get<T>(); });
}

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
