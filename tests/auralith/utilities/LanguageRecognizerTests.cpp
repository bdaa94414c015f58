// The script-based language guess that chooses how words are split.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "auralith/utilities/LanguageRecognizer.hpp"

namespace {

using auralith::LanguageRecognizer;

TEST(LanguageRecognizer, DominantScriptNamesTheLanguage) {
    struct Case {
        std::string text;
        std::optional<std::string> code;
    };
    const std::vector<Case> cases = {
        {"\u4f60\u597d\uff0c\u4e16\u754c", "zh"},
        // Kanji outnumber the kana, and the kana still make it Japanese.
        {"\u65e5\u672c\u8a9e\u306e\u6587\u7ae0", "ja"},
        {"\u30ab\u30bf\u30ab\u30ca", "ja"},
        {"\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35\u0e04\u0e23\u0e31\u0e1a", "th"},
        {"\u0eaa\u0eb0\u0e9a\u0eb2\u0e8d\u0e94\u0eb5", "lo"},
        {"\u1019\u1004\u103a\u1039\u1002\u101c\u102c\u1015\u102b", "my"},
        {"\uc548\ub155\ud558\uc138\uc694", "ko"},
        {"\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1", "el"},
        // A few foreign letters do not outvote the rest.
        {"Tokyo \u6771\u4eac is big", std::nullopt},
        {"\u6771\u4eac\u90fd\u306f big", "ja"},
        // Scripts that many languages share say nothing on their own.
        {"Hello, world.", std::nullopt},
        {"\u041f\u0440\u0438\u0432\u0435\u0442", std::nullopt},
        {"", std::nullopt},
        {" 123, ... !? ", std::nullopt},
        {"<|endoftext|>", std::nullopt},
        // Broken UTF-8 is skipped, not read past.
        {std::string("\xE4\xBD") + "\u4e16", "zh"},
        {"\xFF\xFE\xE3", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LanguageRecognizer::dominantLanguageCode(c.text), c.code);
    }
}

}  // namespace
