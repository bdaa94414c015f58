#include "auralith/utilities/JSONValues.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "auralith/utilities/JSONNumber.hpp"

namespace auralith::json_values {

namespace {

using Kind = DecodingError::Kind;

std::string typeName(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::object:
            return "an object";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            return "a number";
        default:
            return "an unsupported value";
    }
}

std::string elementPath(std::string_view path, std::size_t index) {
    return std::string(path) + "[" + std::to_string(index) + "]";
}

// Halfway between the largest float and 2^128: every double below it rounds
// to a finite float, and the halfway value itself rounds to even, that is to
// infinity.
constexpr double kFloatOverflow = 0x1.ffffffp127;

}  // namespace

void throwTypeMismatch(const Json& value, std::string_view path, std::string_view expected) {
    throw DecodingError(
        Kind::typeMismatch, std::string(path),
        "Expected " + std::string(expected) + " but found " + typeName(value) + " instead.");
}

Json floatNumber(float value, std::string_view path) {
    try {
        return Json(json::number(value));
    } catch (const std::domain_error& error) {
        throw EncodingError(std::string(path), error.what());
    }
}

Json doubleNumber(double value, std::string_view path) {
    try {
        return Json(json::number(value));
    } catch (const std::domain_error& error) {
        throw EncodingError(std::string(path), error.what());
    }
}

Json floatArray(const std::vector<float>& values, std::string_view path) {
    Json out = Json::array();
    for (std::size_t i = 0; i < values.size(); ++i)
        out.push_back(floatNumber(values[i], elementPath(path, i)));
    return out;
}

void requireObject(const Json& value, std::string_view path) {
    if (!value.is_object()) throwTypeMismatch(value, path, "an object");
}

const Json& required(const Json& object, std::string_view key) {
    requireObject(object, "");
    auto it = object.find(key);
    if (it == object.end())
        throw DecodingError(Kind::keyNotFound, std::string(key),
                            "No value associated with key \"" + std::string(key) + "\".");
    if (it->is_null())
        throw DecodingError(Kind::valueNotFound, std::string(key),
                            "Expected a value but found null instead.");
    return *it;
}

const Json* optional(const Json& object, std::string_view key) {
    requireObject(object, "");
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

bool readBool(const Json& value, std::string_view path) {
    if (!value.is_boolean()) throwTypeMismatch(value, path, "a boolean");
    return value.get<bool>();
}

std::string readString(const Json& value, std::string_view path) {
    if (!value.is_string()) throwTypeMismatch(value, path, "a string");
    return value.get<std::string>();
}

float readFloat(const Json& value, std::string_view path) {
    const double d = readDouble(value, path);
    if (!(std::fabs(d) < kFloatOverflow))
        throw DecodingError(Kind::dataCorrupted, std::string(path),
                            "Parsed JSON number <" + value.dump() + "> does not fit in Float.");
    return static_cast<float>(d);
}

double readDouble(const Json& value, std::string_view path) {
    if (!value.is_number()) throwTypeMismatch(value, path, "a number");
    return value.get<double>();
}

std::int64_t readInt64(const Json& value, std::string_view path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    auto doesNotFit = [&] {
        return DecodingError(Kind::dataCorrupted, std::string(path),
                             "Parsed JSON number <" + value.dump() + "> does not fit in Int64.");
    };
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw doesNotFit();
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 is the first double past the range; -2^63 itself fits.
        if (d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            throw doesNotFit();
        return static_cast<std::int64_t>(d);
    }
    throwTypeMismatch(value, path, "a number");
}

std::vector<float> readFloatArray(const Json& value, std::string_view path) {
    return readArray(value, path, readFloat);
}

std::vector<std::int64_t> readInt64Array(const Json& value, std::string_view path) {
    return readArray(value, path, readInt64);
}

std::vector<std::string> readStringArray(const Json& value, std::string_view path) {
    return readArray(value, path, readString);
}

}  // namespace auralith::json_values
