#include "auralith/ResultWriting.hpp"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "auralith/utilities/NumberConversion.hpp"
#include "platform/system/AtomicWrite.hpp"
#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace auralith {

namespace {

constexpr float kLargestHours = 10000;

std::string largestTime(const std::string& decimalMarker) {
    return "9999:59:59" + decimalMarker + "999";
}

// Inside a line: the ASCII white space without the line breaks.
constexpr std::string_view kLineSpace = " \t\f\v";

bool isBlank(std::string_view line) { return platform::text::trimmed(line, kLineSpace).empty(); }

bool isNumberLine(std::string_view line) {
    const std::string_view digits = platform::text::trimmed(line, kLineSpace);
    if (digits.empty()) return false;
    for (const char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// "-->" becomes "->" until none is left ("--->" too).
void foldArrows(std::string& line) {
    size_t from = 0;
    for (size_t at; (at = line.find("-->", from)) != line.npos; from = at == 0 ? 0 : at - 1)
        line.erase(at, 1);
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        out.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    out.emplace_back(text.substr(start));
    return out;
}

}  // namespace

std::string ResultWriting::cueText(const std::string& text, CueFormat format) {
    std::string valid = vortil::unicode::isValidUtf8(text)
                            ? text
                            : vortil::unicode::toUtf8(vortil::unicode::toUtf16(text));
    const bool oneLine = valid.find_first_of("\r\n") == std::string::npos;
    if (oneLine && (format == CueFormat::srt || valid.find("-->") == std::string::npos))
        return valid;

    std::vector<std::string> kept;
    for (auto& line : lines(valid)) {
        if (!oneLine && isBlank(line)) continue;
        if (format == CueFormat::vtt || (!kept.empty() && isNumberLine(kept.back())))
            foldArrows(line);
        kept.push_back(std::move(line));
    }
    std::string out;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) out += '\n';
        out += kept[i];
    }
    return out;
}

void ResultWriting::requireFiniteTimes(float start, float end) {
    for (const float time : {start, end}) {
        if (!std::isfinite(time))
            throw std::domain_error("Unable to write the time " +
                                    std::string(std::isnan(time) ? "nan" : "inf") +
                                    " in a subtitle file");
    }
}

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours,
                                      const std::string& decimalMarker) const {
    return defaultFormatTime(seconds, alwaysIncludeHours, decimalMarker);
}

std::string ResultWriting::defaultFormatTime(float seconds, bool alwaysIncludeHours,
                                             const std::string& decimalMarker) {
    // Truncating NaN or a float beyond the integer range is undefined, and a
    // negative time would print a minus sign inside a field.
    if (std::isnan(seconds) || seconds < 0) seconds = 0;
    // Past 2^24 s (4660 hours) a float no longer holds whole seconds, so a
    // longer hour field would only show noise: four digits are the most the
    // format shows, and larger times read as the largest four-digit time.
    if (seconds >= kLargestHours * 3600.0f) return largestTime(decimalMarker);

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
           cue(formatTime(start, true, ","), formatTime(end, true, ","), text, CueFormat::srt);
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
    return cue(formatTime(start, false, "."), formatTime(end, false, "."), text, CueFormat::vtt);
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
