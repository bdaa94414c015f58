#pragma once
// Float-to-integer conversions for sample indices and counters computed in
// floating point. A plain cast of NaN or of a value outside the integer range
// is undefined behaviour; these truncate toward zero like the cast and clamp
// instead (NaN becomes 0).

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

}  // namespace auralith
