#include <gtest/gtest.h>

#include <random>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/StringSplitting.hpp"

using namespace vortil;
using Pieces = std::vector<std::string>;

namespace {
const std::string bar = "\xE2\x96\x81";  // ▁
}

TEST(StringSplitting, DelimiterBehaviours) {
    struct Case {
        std::string text;
        StringSearch search;
        SplitDelimiterBehavior behavior;
        Pieces expected;
    } cases[] = {
        {bar + "a" + bar + "b",
         StringSearch::literal(bar),
         SplitDelimiterBehavior::mergedWithNext,
         {bar + "a", bar + "b"}},
        {"a" + bar + "b",
         StringSearch::literal(bar),
         SplitDelimiterBehavior::mergedWithPrevious,
         {"a" + bar, "b"}},
        {"a" + bar + "b" + bar,
         StringSearch::literal(bar),
         SplitDelimiterBehavior::mergedWithPrevious,
         {"a" + bar, "b" + bar}},
        {"a--b-", StringSearch::literal("-"), SplitDelimiterBehavior::removed, {"a", "b"}},
        {"a--b-",
         StringSearch::literal("-"),
         SplitDelimiterBehavior::isolated,
         {"a", "-", "-", "b", "-"}},
        {"a b  c",
         StringSearch::regularExpression(" +"),
         SplitDelimiterBehavior::mergedWithNext,
         {"a", " b", "  c"}},
        {"abc", StringSearch::literal("x"), SplitDelimiterBehavior::mergedWithNext, {"abc"}},
        {"", StringSearch::literal("x"), SplitDelimiterBehavior::isolated, {}},
        {"a(b",
         StringSearch::regularExpression("("),
         SplitDelimiterBehavior::isolated,
         {"a(b"}},  // no compile
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.text, c.search, c.behavior), c.expected) << c.text;
}

TEST(StringSplitting, SplitByCompiledRegexKeepsTheLastParticipatingGroup) {
    Regex addedTokens("\\s*(<x>)\\s*");
    EXPECT_EQ(split("a <x> b", addedTokens), (Pieces{"a", "<x>", "b"}));
    EXPECT_EQ(split("nothing here", addedTokens), (Pieces{"nothing here"}));
    EXPECT_EQ(split("<x><x>", addedTokens), (Pieces{"<x>", "<x>"}));
    Regex alternatives("(<a>)|(<bb>)");
    EXPECT_EQ(split("1<bb>2<a>", alternatives), (Pieces{"1", "<bb>", "2", "<a>"}));
    Regex noGroups("-");
    EXPECT_EQ(split("a-b", noGroups), (Pieces{"a", "-", "b"}));
}

TEST(StringSplitting, RangesAreUtf16AndAdvanceAfterEmptyHits) {
    auto r = StringSearch::regularExpression("x*").ranges(u"ab\U0001F600x");
    // Empty hits at 0, 1 and before the emoji; the emoji is skipped whole.
    std::vector<std::pair<size_t, size_t>> expected{{0, 0}, {1, 1}, {2, 2}, {4, 5}};
    EXPECT_EQ(r, expected);
    EXPECT_EQ(matchingPieces("a\xC3\xA9 b", StringSearch::regularExpression("\\S+")),
              (Pieces{"a\xC3\xA9", "b"}));
}

TEST(StringSplitting, PatternsMatchingTheEmptyStringAlwaysTerminate) {
    const char* patterns[] = {"", "x*", "\\b", "(?=a)", "a?", "$", "^", "\\s*", "(?!b)", "(|a)"};
    const std::string alphabet[] = {
        "a", "b", " ", "x", "\xC3\xA9", "e\xCC\x81", bar, "\xF0\x9F\x98\x80", "\r\n"};
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text;
        int n = int(rng() % 12);
        for (int i = 0; i < n; ++i) text += alphabet[rng() % std::size(alphabet)];
        for (const char* p : patterns) {
            auto search = StringSearch::regularExpression(p);
            auto ranges = search.ranges(unicode::toUtf16(text));
            EXPECT_LE(ranges.size(), text.size() + 1);
            for (auto behavior : {SplitDelimiterBehavior::removed, SplitDelimiterBehavior::isolated,
                                  SplitDelimiterBehavior::mergedWithPrevious,
                                  SplitDelimiterBehavior::mergedWithNext}) {
                auto pieces = split(text, search, behavior);
                std::string joined;
                for (const auto& piece : pieces) {
                    EXPECT_FALSE(piece.empty());
                    joined += piece;
                }
                // Merged and isolated splits lose nothing of the text.
                if (behavior != SplitDelimiterBehavior::removed) {
                    EXPECT_EQ(joined, text) << p;
                }
            }
            auto compiled = Regex::tryCompile(p);
            ASSERT_TRUE(compiled) << p;
            EXPECT_NO_THROW(split(text, *compiled));
        }
    }
}
