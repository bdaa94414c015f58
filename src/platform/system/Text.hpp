#pragma once
// The text helpers every layer shares, on UTF-8 held in std::string: trimming,
// the character classes the trims and tokenizers ask about, literal
// replacement and case folding for "contains, ignoring case". The Unicode
// algorithms over whole texts (graphemes, normalisation, UTF-16) are
// vortil::unicode's, one layer up. Stateless; safe from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace platform::text {

// Space, tab, and the ASCII line and page breaks.
inline constexpr std::string_view asciiWhiteSpace = " \t\r\n\v\f";

// Without the leading and trailing bytes that `characters` lists.
std::string_view trimmed(std::string_view text, std::string_view characters = asciiWhiteSpace);

// Without the leading and trailing scalars for which `isTrimmed` holds. A
// malformed sequence is text, so trimming stops at it.
std::string_view trimmedScalars(std::string_view utf8, bool (*isTrimmed)(char32_t));

// The Unicode White_Space property: spaces, tabs and every line break.
bool isWhiteSpace(char32_t scalar);
// Tab or a space separator (category Zs); line breaks are not blank.
bool isBlank(char32_t scalar);
// The CJK ideograph blocks that BERT-style tokenizers split apart.
bool isChineseCharacter(char32_t scalar);

// The scalar starting at byte `i` (< the text's size) of UTF-8 that may be
// malformed, with `i` moved past it; nullopt for a malformed sequence, which
// is passed over as one piece (its longest start of a valid sequence, or one
// byte), never past the end.
std::optional<char32_t> decodeScalar(std::string_view utf8, size_t& i);
// The text's scalars, each malformed sequence read as one U+FFFD.
std::u32string scalars(std::string_view utf8);
// Whether the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::string_view bytes);

// Decodes one scalar starting at byte `i` of valid UTF-8 (as produced by a
// UTF-16 round trip) and advances `i`; malformed input gives some scalar and
// always advances, never past the end.
char32_t nextScalar(std::string_view utf8, size_t& i);
// The first scalar of the text, 0 for an empty one.
char32_t firstScalar(std::string_view utf8);

// Every occurrence of `pattern`, left to right and not overlapping, replaced;
// an empty pattern replaces nothing.
std::string replacingAll(std::string_view text, std::string_view pattern,
                         std::string_view replacement);

enum class CaseRules {
    standard,
    turkic,  // dotted and dotless i kept apart, as Turkish and Azerbaijani have them
};
// Case folded, in UTF-16, for comparisons that ignore letter case.
std::u16string caseFolded(std::string_view utf8, CaseRules rules = CaseRules::standard);
// Whether `text` holds `part` once both are case folded; an empty part is
// held by no text.
bool containsIgnoringCase(std::string_view text, std::string_view part);

}  // namespace platform::text
