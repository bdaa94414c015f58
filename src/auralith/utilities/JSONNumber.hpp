#pragma once
// Floating-point values in the data model's JSON forms. A 32-bit float is
// written as the shortest decimal that reads back to the same float (0.2f as
// 0.2, not as its widened double), and a non-finite value is refused with an
// exception instead of being written as null, which could not be read back.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace auralith::json {

// The double to put into the JSON value. Throws std::domain_error for NaN and
// infinities.
double number(float value);
double number(double value);

// Strict readers: the JSON library's own conversions would take true as 1,
// truncate 1.5 to an integer and turn 1e300 into an infinite float. Each
// throws std::invalid_argument for a value of the wrong type or range.
template <class Json>
double readDouble(const Json& value) {
    if (!value.is_number()) throw std::invalid_argument("Expected a number, found " + value.dump());
    return value.template get<double>();
}

template <class Json>
float readFloat(const Json& value) {
    const double d = readDouble(value);
    if (std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
        throw std::invalid_argument("Number " + value.dump() + " does not fit in a 32-bit float");
    return static_cast<float>(d);
}

template <class Json>
std::int64_t readInt64(const Json& value) {
    if (value.is_number_unsigned()) {
        if (value.template get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw std::invalid_argument("Number " + value.dump() + " does not fit in a 64-bit integer");
        return value.template get<std::int64_t>();
    }
    if (!value.is_number_integer()) throw std::invalid_argument("Expected an integer, found " + value.dump());
    return value.template get<std::int64_t>();
}

template <class Json>
std::vector<std::int64_t> readInt64Array(const Json& value) {
    if (!value.is_array()) throw std::invalid_argument("Expected an array, found " + value.dump());
    std::vector<std::int64_t> out;
    out.reserve(value.size());
    for (const auto& element : value) out.push_back(readInt64(element));
    return out;
}

}  // namespace auralith::json
