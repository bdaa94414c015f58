#include "platform/system/Date.hpp"

#include <cstdio>

namespace platform {
namespace {

using namespace std::chrono;

bool digits(std::string_view s, size_t pos, size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

std::string format(Date d, bool millis) {
    auto tp = floor<milliseconds>(d);
    auto day = floor<days>(tp);
    year_month_day ymd{day};
    hh_mm_ss hms{tp - day};
    char buf[40];
    if (millis) {
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(ymd.year()),
                      unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                      int(hms.minutes().count()), int(hms.seconds().count()),
                      int(hms.subseconds().count()));
    } else {
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                      unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                      int(hms.minutes().count()), int(hms.seconds().count()));
    }
    return buf;
}

}  // namespace

std::string formatISO8601(Date d) { return format(d, false); }
std::string formatISO8601Milliseconds(Date d) { return format(d, true); }

std::optional<Date> parseISO8601(std::string_view s) {
    int Y, M, D, h, m, sec;
    if (!digits(s, 0, 4, Y) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, M) || s[7] != '-' ||
        !digits(s, 8, 2, D) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, h) ||
        s[13] != ':' || !digits(s, 14, 2, m) || s[16] != ':' || !digits(s, 17, 2, sec))
        return std::nullopt;
    size_t pos = 19;
    nanoseconds frac{0};
    if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
        ++pos;
        size_t start = pos;
        long long scale = 100000000, ns = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            ns += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
        frac = nanoseconds(ns);
    }
    if (pos >= s.size()) return std::nullopt;  // a zone designator is required
    int offsetMinutes = 0;
    if (s[pos] == 'Z' || s[pos] == 'z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int sign = s[pos] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(s, pos + 1, 2, oh)) return std::nullopt;
        size_t p = pos + 3;
        if (p < s.size() && s[p] == ':') ++p;
        if (!digits(s, p, 2, om)) return std::nullopt;
        if (oh > 23 || om > 59) return std::nullopt;
        offsetMinutes = sign * (oh * 60 + om);
        pos = p + 2;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    if (M < 1 || M > 12 || h > 23 || m > 59 || sec > 60) return std::nullopt;
    year_month_day ymd{year{Y}, month{unsigned(M)}, day{unsigned(D)}};
    if (!ymd.ok()) return std::nullopt;
    // In whole seconds nothing overflows for years 0000-9999; a Date holds
    // far fewer years, and a time outside them is refused, not wrapped.
    const sys_seconds whole =
        sys_days{ymd} + hours{h} + minutes{m} + seconds{sec} - minutes{offsetMinutes};
    constexpr auto earliest = ceil<seconds>(Date::min().time_since_epoch());
    constexpr auto latest =
        floor<seconds>(Date::max().time_since_epoch()) - seconds{1};  // room for frac
    if (whole.time_since_epoch() < earliest || whole.time_since_epoch() > latest)
        return std::nullopt;
    return Date{duration_cast<Date::duration>(whole.time_since_epoch()) +
                duration_cast<Date::duration>(frac)};
}

}  // namespace platform
