#include "auralith/utilities/LanguageRecognizer.hpp"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <map>

#include "platform/system/Text.hpp"

namespace auralith {

namespace {

// Scripts used by exactly one of the recognizer's languages.
std::optional<std::string> languageOfScript(UScriptCode script) {
    switch (script) {
        case USCRIPT_HAN:
            return "zh";
        case USCRIPT_HIRAGANA:
        case USCRIPT_KATAKANA:
            return "ja";
        case USCRIPT_HANGUL:
            return "ko";
        case USCRIPT_THAI:
            return "th";
        case USCRIPT_LAO:
            return "lo";
        case USCRIPT_MYANMAR:
            return "my";
        case USCRIPT_KHMER:
            return "km";
        case USCRIPT_TIBETAN:
            return "bo";
        case USCRIPT_GREEK:
            return "el";
        case USCRIPT_HEBREW:
            return "he";
        case USCRIPT_ARMENIAN:
            return "hy";
        case USCRIPT_GEORGIAN:
            return "ka";
        case USCRIPT_SINHALA:
            return "si";
        case USCRIPT_BENGALI:
            return "bn";
        case USCRIPT_TAMIL:
            return "ta";
        case USCRIPT_TELUGU:
            return "te";
        case USCRIPT_KANNADA:
            return "kn";
        case USCRIPT_MALAYALAM:
            return "ml";
        case USCRIPT_GUJARATI:
            return "gu";
        case USCRIPT_GURMUKHI:
            return "pa";
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> LanguageRecognizer::dominantLanguageCode(std::string_view utf8) {
    std::map<UScriptCode, int> letters;
    bool kana = false;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = platform::text::decodeScalar(utf8, i);
        if (!c || !u_isalpha(UChar32(*c))) continue;
        UErrorCode status = U_ZERO_ERROR;
        const UScriptCode script = uscript_getScript(UChar32(*c), &status);
        if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED) continue;
        ++letters[script];
        kana = kana || script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA;
    }
    // The most frequent script wins; on a tie the lower script code, so the
    // answer never depends on anything but the text.
    const std::pair<const UScriptCode, int>* best = nullptr;
    for (const auto& entry : letters)
        if (!best || entry.second > best->second) best = &entry;
    if (!best) return std::nullopt;
    if (best->first == USCRIPT_HAN && kana) return "ja";
    return languageOfScript(best->first);
}

}  // namespace auralith
