#include "platform/system/Text.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>

namespace platform::text {

std::string_view trimmed(std::string_view text, std::string_view characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

std::string_view trimmedScalars(std::string_view utf8, bool (*isTrimmed)(char32_t)) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = int32_t(utf8.size());
    int32_t begin = 0;
    while (begin < length) {
        int32_t i = begin;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0 || !isTrimmed(char32_t(c))) break;
        begin = i;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(s, begin, i, c);
        if (c < 0 || !isTrimmed(char32_t(c))) break;
        end = i;
    }
    return utf8.substr(size_t(begin), size_t(end - begin));
}

bool isWhiteSpace(char32_t scalar) { return u_isUWhiteSpace(UChar32(scalar)); }

bool isBlank(char32_t scalar) {
    return scalar == U'\t' || u_charType(UChar32(scalar)) == U_SPACE_SEPARATOR;
}

bool isChineseCharacter(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0x2A700 && c <= 0x2CEAF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

std::optional<char32_t> decodeScalar(std::string_view utf8, size_t& i) {
    // A sequence is at most four bytes long, so a window of four from `i`
    // decodes as the whole text would, at any length of it.
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data() + i);
    const auto length = int32_t(std::min<size_t>(utf8.size() - i, 4));
    int32_t read = 0;
    UChar32 c;
    U8_NEXT(s, read, length, c);
    i += size_t(read);
    if (c < 0) return std::nullopt;
    return char32_t(c);
}

std::u32string scalars(std::string_view utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) out.push_back(decodeScalar(utf8, i).value_or(U'\uFFFD'));
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();)
        if (!decodeScalar(bytes, i)) return false;
    return true;
}

char32_t nextScalar(std::string_view s, size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t v = c & (extra == 3 ? 0x07 : extra == 2 ? 0x0F : 0x1F);
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i)
        v = (v << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    return v;
}

char32_t firstScalar(std::string_view utf8) {
    size_t i = 0;
    return utf8.empty() ? 0 : nextScalar(utf8, i);
}

std::string replacingAll(std::string_view text, std::string_view pattern,
                         std::string_view replacement) {
    if (pattern.empty()) return std::string(text);
    std::string out;
    size_t start = 0;
    for (size_t hit; (hit = text.find(pattern, start)) != std::string_view::npos;
         start = hit + pattern.size()) {
        out.append(text, start, hit - start);
        out += replacement;
    }
    out.append(text.substr(start));
    return out;
}

std::u16string caseFolded(std::string_view utf8, CaseRules rules) {
    icu::UnicodeString s =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())));
    s.foldCase(rules == CaseRules::turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
    return std::u16string(s.getBuffer(), size_t(s.length()));
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    // An empty part is in no text, as ICU's own search has it.
    const std::u16string folded = caseFolded(part);
    return !folded.empty() && caseFolded(text).find(folded) != std::u16string::npos;
}

}  // namespace platform::text
