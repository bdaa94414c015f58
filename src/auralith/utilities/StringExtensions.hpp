#pragma once
// Text clean-ups shared by the decoder and the pipeline's utilities.

#include <string>
#include <string_view>

namespace auralith {

// The characters around a special token's name ("<|en|>"): trimming them
// from both ends leaves the name.
inline constexpr std::string_view specialTokenCharacters = "<|>";

// Without leading and trailing "<", "|" and ">": "<|en|>" gives "en".
std::string trimmingSpecialTokenCharacters(std::string_view text);

// The form used to compare words: lower-cased, "-" replaced by " ", Unicode
// punctuation removed, runs of spaces collapsed to one, white space and line
// breaks trimmed from both ends.
std::string normalized(std::string_view text);

// Without the space separators (Unicode category Zs) and tabs at both ends;
// line breaks stay.
std::string trimmingWhitespace(std::string_view text);

}  // namespace auralith
