#pragma once
// Guesses a text's language from the script most of its letters are written
// in (ICU's script property). Only scripts that belong to one language give an
// answer; Latin, Cyrillic, Arabic and the like, shared by many languages, give
// none. Word splitting only needs to know whether a text is written without
// spaces between words, which the script settles.
//
// Han text with any kana in it is Japanese; Han without kana is Chinese.

#include <optional>
#include <string>
#include <string_view>

namespace auralith {

class LanguageRecognizer {
  public:
    // The language code ("ja", "th", ...) of the dominant script of UTF-8
    // text, or nothing when the text has no letters or its script names no
    // single language. Invalid UTF-8 bytes are skipped.
    static std::optional<std::string> dominantLanguageCode(std::string_view utf8);
};

}  // namespace auralith
