#include <gtest/gtest.h>

#include "vortilcore/core/Unicode.hpp"

namespace u = vortil::unicode;

TEST(Unicode, ConversionRepairsMalformedInput) {
    EXPECT_EQ(u::toUtf16("a\xC3\xA9"), u"a\u00E9");
    EXPECT_EQ(u::toUtf16("a\xFF"
                         "b"),
              u"a\uFFFDb");
    EXPECT_EQ(u::toUtf16("\xC3"), u"\uFFFD");  // cut-off sequence
    EXPECT_EQ(u::toUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy");
    EXPECT_EQ(u::toUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(u::toUtf8(u::toUtf16("")), "");
}

TEST(Unicode, GraphemeClusters) {
    struct Case {
        const char* text;
        std::vector<std::string> clusters;
    } cases[] = {
        {"", {}},
        {"ab", {"a", "b"}},
        {"a\r\nb", {"a", "\r\n", "b"}},
        {"e\xCC\x81x", {"e\xCC\x81", "x"}},
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD!",
         {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "!"}},  // emoji + skin tone
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"}},  // flag pair
        {"\x80\xC4\xA0"
         "a",
         {"\x80", "\xC4\xA0", "a"}},  // stray bytes are kept, not dropped
        {"\x80"
         "a\xFF",
         {"\x80", "a", "\xFF"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(u::graphemes(std::string_view(c.text)), c.clusters) << c.text;
        EXPECT_EQ(u::graphemeCount(u::toUtf16(c.text)), c.clusters.size()) << c.text;
    }
    std::u16string t = u"ae\u0301z";
    EXPECT_EQ(u::nextGraphemeBoundary(t, 1), 3u);
    EXPECT_EQ(u::nextGraphemeBoundary(t, 3), 4u);
    EXPECT_EQ(u::nextGraphemeBoundary(t, 4), 4u);
}

TEST(Unicode, NormalizationForms) {
    const std::string composed = "\xC3\xA9";      // U+00E9
    const std::string decomposed = "e\xCC\x81";   // e + U+0301
    const std::string ligature = "\xEF\xAC\x81";  // U+FB01
    EXPECT_EQ(u::normalized(decomposed, u::NormalizationForm::nfc), composed);
    EXPECT_EQ(u::normalized(composed, u::NormalizationForm::nfd), decomposed);
    EXPECT_EQ(u::normalized(ligature, u::NormalizationForm::nfc), ligature);
    EXPECT_EQ(u::normalized(ligature, u::NormalizationForm::nfkc), "fi");
    EXPECT_EQ(u::normalized(ligature, u::NormalizationForm::nfkd), "fi");
    EXPECT_EQ(u::nfc(decomposed), composed);
    EXPECT_EQ(u::nfc(composed), composed);
}

TEST(Unicode, LowercasingIsFullAndContextFree) {
    EXPECT_EQ(u::lowercased(std::string_view("HeLLo")), "hello");
    EXPECT_EQ(u::lowercased(std::string_view("\xC3\x80")), "\xC3\xA0");                  // À
    EXPECT_EQ(u::lowercased(std::string_view("\xC4\xB0")), "i\xCC\x87");                 // İ
    EXPECT_EQ(u::lowercased(std::string_view("\xCE\x9F\xCE\xA3")), "\xCE\xBF\xCF\x83");  // ΟΣ -> οσ
}
