#include "auralith/utilities/StringExtensions.hpp"

#include <unicode/uchar.h>

#include <vector>

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
    namespace unicode = vortil::unicode;
    auto isBlank = [](char32_t c) {
        return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
    };
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!isBlank(unicode::nextScalar(text, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the first byte of the last scalar.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::size_t next = start;
        if (!isBlank(unicode::nextScalar(text, next))) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

}  // namespace auralith
