#pragma once
// Unicode text services over ICU, shared by the configuration value, the
// tokenizers and the text utilities. Text travels as UTF-8 std::string or as
// UTF-16 std::u16string; conversions repair malformed input with U+FFFD so
// nothing downstream ever sees broken encodings.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/Text.hpp"

namespace vortil::unicode {

std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);

// Offsets (in code units of the given text) where extended grapheme clusters
// begin, followed by the text's length. An empty text gives {0}.
std::vector<size_t> graphemeBoundaries(std::u16string_view text);
std::vector<size_t> graphemeBoundaries(std::string_view utf8);

// The text cut into its extended grapheme clusters.
std::vector<std::string> graphemes(std::string_view utf8);
std::vector<std::u16string> graphemes(std::u16string_view text);

size_t graphemeCount(std::u16string_view text);
size_t graphemeCount(std::string_view utf8);

// The offset of the grapheme boundary following `offset`, or the text's length.
size_t nextGraphemeBoundary(std::u16string_view text, size_t offset);

enum class NormalizationForm { nfc, nfd, nfkc, nfkd };

std::string normalized(std::string_view utf8, NormalizationForm form);
std::u16string normalized(std::u16string_view text, NormalizationForm form);

// Canonical composition, returning the input unchanged (no copy work beyond the
// check) when it is already composed; used for canonical-equivalence keys.
std::string nfc(std::string_view utf8);

// Full lower-case mapping, scalar by scalar (default Unicode rules, no
// locale tailoring and no context-dependent forms).
std::string lowercased(std::string_view utf8);
std::u16string lowercased(std::u16string_view text);

// Decodes one scalar starting at byte `i` of valid UTF-8 (as produced by
// toUtf8) and advances `i`.
using platform::text::nextScalar;
void appendScalar(std::string& out, char32_t scalar);

using platform::text::isWhiteSpace;  // Unicode White_Space property

// Whether the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
using platform::text::isValidUtf8;

}  // namespace vortil::unicode
