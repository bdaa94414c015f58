#include <gtest/gtest.h>

#include <functional>

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
    for (const auto& c : cases)
        EXPECT_EQ(Regex(c.pattern).replacingMatches(std::string_view(c.text), c.templ), c.expected);
}

TEST(Regex, EscapedPatternMatchesTheLiteral) {
    for (const char* literal : {"<|endoftext|>", "a.b*c", "[x](y){z}^$\\/+?"}) {
        Regex re(Regex::escapedPattern(literal));
        auto text = std::u16string(u"pre ") +
                    std::u16string(literal, literal + std::char_traits<char>::length(literal));
        auto m = re.matchRanges(text);
        ASSERT_EQ(m.size(), 1u) << literal;
        EXPECT_EQ(m[0].first, 4u);
    }
    EXPECT_EQ(Regex::escapedPattern("<|a|>"), "<\\|a\\|>");
}

// The engine failing part-way must not read as "no more matches".
TEST(Regex, EngineFailuresThrowInsteadOfEndingTheSearchEarly) {
    const std::u16string longRun = u"a" + std::u16string(400000, u' ') + u"b";
    Regex spaces("\\s+(?!\\S)|\\S+");
    EXPECT_EQ(spaces.matchRanges(longRun).back(), (std::pair<size_t, size_t>{400001, 400002}));
    EXPECT_EQ(spaces.matches(longRun).size(), 3u);
    EXPECT_EQ(spaces.successiveMatches(longRun).size(), 3u);

    // Exponential backtracking under a time limit: every search reports it.
    Regex slow("(a|aa)+$", 50);
    const std::u16string hostile = std::u16string(40, u'a') + u"b";
    const std::pair<const char*, std::function<void()>> searches[] = {
        {"matches", [&] { slow.matches(hostile); }},
        {"matchRanges", [&] { slow.matchRanges(hostile); }},
        {"successiveMatches", [&] { slow.successiveMatches(hostile); }},
        {"replacingMatches", [&] { slow.replacingMatches(hostile, u"x"); }},
    };
    for (const auto& [name, search] : searches) {
        try {
            search();
            ADD_FAILURE() << name << " gave no error";
        } catch (const vortil::RegexError& e) {
            EXPECT_NE(std::string(e.what()).find("(a|aa)+$"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(slow.matchRanges(u"aaa").size(), 1u);  // ordinary text is unaffected
}
