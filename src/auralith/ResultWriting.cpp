#include "auralith/ResultWriting.hpp"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

#include "auralith/utilities/NumberConversion.hpp"
#include "platform/system/AtomicWrite.hpp"

namespace auralith {

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours,
                                      const std::string& decimalMarker) const {
    return defaultFormatTime(seconds, alwaysIncludeHours, decimalMarker);
}

std::string ResultWriting::defaultFormatTime(float seconds, bool alwaysIncludeHours,
                                             const std::string& decimalMarker) {
    // Truncating NaN or a float beyond the integer range is undefined, and a
    // negative time would print a minus sign inside a field.
    if (std::isnan(seconds) || seconds < 0) seconds = 0;
    if (std::isinf(seconds)) seconds = std::numeric_limits<float>::max();

    // Every step in float, as the stored times are: 0.9 s gives 900 ms here
    // but 899 in double.
    const std::int64_t hours = truncatedToInt64(std::trunc(seconds / 3600.0f));
    const auto minutes = static_cast<int>(std::trunc(std::fmod(seconds, 3600.0f) / 60.0f));
    const auto secs = static_cast<int>(std::trunc(std::fmod(seconds, 60.0f)));
    const auto millis = static_cast<int>(std::trunc((seconds - std::floor(seconds)) * 1000.0f));

    char head[64];
    if (alwaysIncludeHours || hours >= 1) {
        std::snprintf(head, sizeof head, "%02" PRId64 ":%02d:%02d", hours, minutes, secs);
    } else {
        std::snprintf(head, sizeof head, "%02d:%02d", minutes, secs);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "%03d", millis);
    // The marker is joined as text, never as part of a format string.
    return head + decimalMarker + tail;
}

std::string ResultWriting::formatSegment(std::int64_t index, float start, float end,
                                         const std::string& text) const {
    return std::to_string(index) + "\n" +
           cue(formatTime(start, true, ","), formatTime(end, true, ","), text);
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
    return cue(formatTime(start, false, "."), formatTime(end, false, "."), text);
}

std::filesystem::path ResultWriting::location(const std::string& outputDir, const std::string& file,
                                              const std::string& extension) {
    return std::filesystem::absolute(std::filesystem::path(outputDir) / (file + extension));
}

std::string ResultWriting::fileURLString(const std::filesystem::path& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (const unsigned char c : path.string()) {
        const bool plain = std::isalnum(c) != 0 ||
                           std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
                               std::string_view::npos;
        if (plain && c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

ResultWriting::WriteResult ResultWriting::writeText(const std::filesystem::path& path,
                                                    const std::string& content) {
    try {
        platform::writeFileAtomically(path, content);
        return fileURLString(path);
    } catch (...) {
        return std::current_exception();
    }
}

}  // namespace auralith
