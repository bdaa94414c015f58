#include <gtest/gtest.h>

#include "vortilcore/core/Regex.hpp"

using vortil::Regex;

TEST(Regex, MatchesInUtf16OffsetsWithParticipatingGroups) {
    Regex re("(a)|(\\p{L}+)");
    auto m = re.matches(u"\U0001F600a \u00E9t\u00E9");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].begin, 2u);  // after the surrogate pair
    EXPECT_TRUE(m[0].groups[1]);
    EXPECT_FALSE(m[0].groups[2]);
    EXPECT_EQ(m[1].begin, 4u);
    EXPECT_EQ(m[1].end, 7u);
    EXPECT_FALSE(m[1].groups[1]);
    EXPECT_EQ(re.matchRanges(u"1a"), (std::vector<std::pair<size_t, size_t>>{{1, 2}}));
}

TEST(Regex, CompileFailureIsReported) {
    EXPECT_THROW(Regex("(a"), vortil::RegexError);
    EXPECT_FALSE(Regex::tryCompile("[z-a]"));
    EXPECT_TRUE(Regex::tryCompile("\\s+(?!\\S)"));
}

TEST(Regex, TemplateReplacement) {
    struct Case {
        const char* pattern;
        const char* templ;
        const char* text;
        const char* expected;
    } cases[] = {
        {"(\\w)-(\\w)", "$2$1", "a-b c-d", "ba dc"},
        {" +", "_", "a  b c", "a_b_c"},
        {"x", "$", "axb", "a$b"},
        {"x", "\\$1", "axb", "a$1b"},
        {"x", "US$ 5", "x", "US$ 5"},
        {"(x)", "[$0]", "axb", "a[x]b"},
    };
    for (const auto& c : cases) EXPECT_EQ(Regex(c.pattern).replacingMatches(std::string_view(c.text), c.templ), c.expected);
}

TEST(Regex, EscapedPatternMatchesTheLiteral) {
    for (const char* literal : {"<|endoftext|>", "a.b*c", "[x](y){z}^$\\/+?"}) {
        Regex re(Regex::escapedPattern(literal));
        auto text = std::u16string(u"pre ") + std::u16string(literal, literal + std::char_traits<char>::length(literal));
        auto m = re.matchRanges(text);
        ASSERT_EQ(m.size(), 1u) << literal;
        EXPECT_EQ(m[0].first, 4u);
    }
    EXPECT_EQ(Regex::escapedPattern("<|a|>"), "<\\|a\\|>");
}
