#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/system/Text.hpp"

namespace text = platform::text;

namespace {

using Steps = std::vector<std::pair<std::int32_t, size_t>>;  // scalar or -1, and where it ends

// ICU's own reading of the whole text at once, the reference.
Steps icuSteps(std::string_view t) {
    Steps steps;
    const auto* s = reinterpret_cast<const uint8_t*>(t.data());
    const auto length = int32_t(t.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        steps.emplace_back(c < 0 ? -1 : c, size_t(i));
    }
    return steps;
}

Steps ourSteps(std::string_view t) {
    Steps steps;
    for (size_t i = 0; i < t.size();) {
        const auto c = text::decodeScalar(t, i);
        steps.emplace_back(c ? std::int32_t(*c) : -1, i);
    }
    return steps;
}

}  // namespace

TEST(Text, TrimsScalarsByClassAndStopsAtMalformedBytes) {
    struct Case {
        std::string in;
        std::string white;  // trimmed of White_Space
        std::string blank;  // trimmed of tab and Zs only
    };
    const Case cases[] = {
        {"  a b  ", "a b", "a b"},
        {"\n\ta\r\n", "a", "\n\ta\r\n"},
        {"\u00A0\u3000x\u2009", "x", "x"},                 // no-break, ideographic, thin space
        {"\u2028line\u0085", "line", "\u2028line\u0085"},  // separators and NEL are not blank
        {"\t \u3000", "", ""},
        {"", "", ""},
        {"\xC2 a \xC2", "\xC2 a \xC2", "\xC2 a \xC2"},  // a cut sequence is text
        {" \xE3\x80 ", "\xE3\x80", "\xE3\x80"},
        {"\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},  // overlong space
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::trimmedScalars(c.in, text::isWhiteSpace), c.white) << c.in;
        EXPECT_EQ(text::trimmedScalars(c.in, text::isBlank), c.blank) << c.in;
    }
}

TEST(Text, TrimsTheListedBytes) {
    EXPECT_EQ(text::trimmed(" \t\v\fkey = value\r\n"), "key = value");
    EXPECT_EQ(text::trimmed("\v model \v", " "), "\v model \v");
    EXPECT_EQ(text::trimmed(" \n "), "");
    // The view stays inside the text it was given.
    const std::string padded = "  x  ";
    EXPECT_EQ(text::trimmed(padded).data(), padded.data() + 2);
}

TEST(Text, ReplacesEveryOccurrenceWithoutOverlapOrRescan) {
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"a_b_c", "_", " ", "a b c"},
        {"aaaa", "aa", "b", "bb"},
        {"aaa", "aa", "b", "ba"},
        {"xyx", "x", "xx", "xxyxx"},  // the replacement is not searched again
        {"abc", "", "-", "abc"},
        {"", "a", "b", ""},
        {"\u2581hello\u2581world", "\u2581", " ", " hello world"},
    };
    for (const auto& [in, pattern, with, out] : cases)
        EXPECT_EQ(text::replacingAll(in, pattern, with), out) << in << " / " << pattern;
}

TEST(Text, ScalarDecodingNeverReadsPastTheEnd) {
    EXPECT_EQ(text::firstScalar(""), U'\0');
    EXPECT_EQ(text::firstScalar("\u4E2D\u6587"), U'\u4E2D');
    EXPECT_EQ(text::firstScalar("\U0001F600"), U'\U0001F600');
    for (std::string_view cut : {"\xF0\x9F\x98", "\xE4\xB8", "\xC3", "\x80"}) {
        size_t i = 0;
        text::nextScalar(cut, i);
        EXPECT_GE(i, 1u);
        EXPECT_LE(i, cut.size());
    }
}

TEST(Text, MalformedUtf8DecodesAsIcuReadsTheWholeText) {
    std::vector<std::string> texts = {
        "",
        "a",
        "\xC3\xA9",
        "\xE2\x82\xAC",
        "\xF0\x9F\x98\x80",
        "\xF0\x9F\x98",          // cut at the end
        "\xED\xA0\x80x",         // a surrogate
        "\xC0\xAF\xE0\x80\xAF",  // overlong forms
        "\xF8\x88\x80\x80\x80",  // a five-byte lead
        "\xF4\x90\x80\x80",      // beyond U+10FFFF
        "\x80\x80\xBF",
        "a\xE2\x82",
        "\xE2\x82"
        "a\xF0\x9F\x98\x80\xF0",
    };
    // Random bytes, most of them leads and continuations, in texts longer
    // than one sequence so that a short reading window would show.
    std::mt19937 random(7);
    const unsigned char alphabet[] = {'a',  0x80, 0x8F, 0x90, 0xA0, 0xBF, 0xC2, 0xC0,
                                      0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int n = 0; n < 3000; ++n) {
        std::string t(random() % 14, '\0');
        for (char& c : t) c = char(alphabet[random() % sizeof alphabet]);
        texts.push_back(t);
    }
    for (const auto& t : texts) {
        const Steps reference = icuSteps(t);
        ASSERT_EQ(ourSteps(t), reference) << testing::PrintToString(t);
        std::u32string expected;
        bool valid = true;
        for (auto [c, end] : reference) {
            expected.push_back(c < 0 ? U'\uFFFD' : char32_t(c));
            valid = valid && c >= 0;
        }
        EXPECT_EQ(text::scalars(t), expected) << testing::PrintToString(t);
        EXPECT_EQ(text::isValidUtf8(t), valid) << testing::PrintToString(t);
    }
}

TEST(Text, ChineseCharacterBlocksAtTheirEdges) {
    const std::pair<char32_t, bool> cases[] = {
        {0x4E00, true},  {0x9FFF, true},  {0x4DFF, false},  {0x3400, true},  {0x33FF, false},
        {0x20000, true}, {0x2A6DF, true}, {0x2A6E0, false}, {0x2CEAF, true}, {0xF900, true},
        {0xFB00, false}, {0x2F800, true}, {0x2FA20, false}, {U'a', false},   {0x3042, false},
    };
    for (const auto& [c, expected] : cases)
        EXPECT_EQ(text::isChineseCharacter(c), expected) << std::hex << uint32_t(c);
}

TEST(Text, ContainsIgnoringCaseFoldsBothSides) {
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"USB MacBook Microphone", "macbook", true},
        {"Stra\u00DFe", "STRASSE", true},
        {"\u03A3\u0399\u03A3", "\u03C3\u03B9\u03C2", true},  // final sigma folds like sigma
        {"Built-in Audio", "usb", false},
        {"anything", "", false},
        {"", "", false},
    };
    for (const auto& [textIn, part, expected] : cases)
        EXPECT_EQ(text::containsIgnoringCase(textIn, part), expected) << textIn << " / " << part;
}

TEST(Text, TurkicFoldingKeepsDottedAndDotlessIApart) {
    EXPECT_EQ(text::caseFolded("I"), u"i");
    EXPECT_EQ(text::caseFolded("I", text::CaseRules::turkic), u"\u0131");
    EXPECT_EQ(text::caseFolded("\u0130", text::CaseRules::turkic), u"i");
    EXPECT_EQ(text::caseFolded("\xFF"), u"\uFFFD");  // malformed input is repaired, not dropped
}
