#pragma once
// Integer arithmetic on sample indices that come from model output. A plain
// cast of NaN or of a float outside the integer range, and a signed overflow,
// are undefined behaviour; these clamp to the range instead (NaN becomes 0).

#include <cmath>
#include <cstdint>
#include <limits>

namespace auralith {

inline std::int64_t truncatedToInt64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; every double below it converts safely.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// a + b, held at the ends of the range instead of overflowing.
inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

}  // namespace auralith
