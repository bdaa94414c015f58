#pragma once
// Points in time. The transcript stores them as fractional seconds since
// 1970-01-01 UTC, so these conversions are exact to the microsecond range that
// a double holds for present-day dates.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using Date = std::chrono::system_clock::time_point;

inline double secondsSince1970(Date d) {
    return std::chrono::duration<double>(d.time_since_epoch()).count();
}

// Values read back from a file may be anything; converting one outside the
// clock's range (nanoseconds in 64 bits: about +-292 years) would be
// undefined, so they are clamped to +-285 years around 1970
// and a value that is not a number reads as 1970.
inline Date dateFromSecondsSince1970(double s) {
    constexpr double kLimit = 9.0e9;
    if (!(s == s)) s = 0;
    s = s < -kLimit ? -kLimit : (s > kLimit ? kLimit : s);
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(s)));
}

// Seconds from a to b (b - a), as a double. Dates read from files may lie
// at both ends of the clock, more than its 64-bit nanoseconds can count
// apart; their difference is then taken in doubles instead of overflowing.
inline double secondsBetween(Date a, Date b) {
    Date::rep nanoseconds;
    if (__builtin_sub_overflow(b.time_since_epoch().count(), a.time_since_epoch().count(),
                               &nanoseconds))
        return secondsSince1970(b) - secondsSince1970(a);
    return std::chrono::duration<double>(Date::duration(nanoseconds)).count();
}

// ISO 8601 date-time text in UTC without fractions, e.g. "2024-05-01T10:00:00Z".
std::string formatISO8601(Date d);

// Same, with milliseconds: "2024-05-01T10:00:00.250Z".
std::string formatISO8601Milliseconds(Date d);

// Parses an ISO 8601 date-time with a zone designator: "Z", "+02:00" or "+0200".
// Fractional seconds are accepted. Anything else (no zone, a bare number, a
// date without time, out-of-range fields) gives nullopt.
std::optional<Date> parseISO8601(std::string_view text);

}  // namespace platform
