#include "auralith/utilities/StringExtensions.hpp"

#include <unicode/uchar.h>

#include <vector>

#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace auralith {

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    const auto first = text.find_first_not_of(specialTokenCharacters);
    if (first == std::string_view::npos) return "";
    const auto last = text.find_last_not_of(specialTokenCharacters);
    return std::string(text.substr(first, last - first + 1));
}

std::string normalized(std::string_view text) {
    namespace unicode = vortil::unicode;
    // Malformed input is repaired first, so the scalar walk below is safe.
    const std::string lower = unicode::lowercased(unicode::toUtf8(unicode::toUtf16(text)));

    std::vector<char32_t> scalars;
    for (size_t i = 0; i < lower.size();) {
        char32_t c = unicode::nextScalar(lower, i);
        if (c == U'-') c = U' ';
        if (u_ispunct(static_cast<UChar32>(c))) continue;
        if (c == U' ' && !scalars.empty() && scalars.back() == U' ') continue;
        scalars.push_back(c);
    }
    size_t begin = 0;
    size_t end = scalars.size();
    while (begin < end && unicode::isWhiteSpace(scalars[begin])) ++begin;
    while (end > begin && unicode::isWhiteSpace(scalars[end - 1])) --end;

    std::string out;
    for (size_t i = begin; i < end; ++i) unicode::appendScalar(out, scalars[i]);
    return out;
}

std::string trimmingWhitespace(std::string_view text) {
    return std::string(platform::text::trimmedScalars(text, platform::text::isBlank));
}

}  // namespace auralith
