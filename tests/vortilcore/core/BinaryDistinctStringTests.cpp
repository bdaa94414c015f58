#include <gtest/gtest.h>

#include <unordered_map>
#include <unordered_set>

#include "vortilcore/core/BinaryDistinctString.hpp"

using vortil::BinaryDistinctCharacter;
using vortil::BinaryDistinctString;

namespace {
const BinaryDistinctString precomposed(u"\u00E9");
const BinaryDistinctString decomposed(u"e\u0301");
const BinaryDistinctString emoji("\xF0\x9F\x98\x80");  // U+1F600, one surrogate pair
}  // namespace

TEST(BinaryDistinctString, CanonicallyEquivalentSpellingsStayDistinctKeys) {
    EXPECT_NE(precomposed, decomposed);
    EXPECT_EQ(precomposed.count(), 1u);
    EXPECT_EQ(decomposed.count(), 1u);
    std::unordered_map<BinaryDistinctString, int> dict{{precomposed, 1}, {decomposed, 2}};
    EXPECT_EQ(dict.size(), 2u);
    EXPECT_EQ(dict.at(precomposed), 1);
    EXPECT_EQ(dict.at(decomposed), 2);
    EXPECT_EQ(BinaryDistinctString("é"), precomposed);  // UTF-8 input keeps its own spelling
}

TEST(BinaryDistinctString, KeepsUnpairedSurrogatesAsStored) {
    BinaryDistinctString lone(std::u16string(1, char16_t(0xD800)));
    EXPECT_EQ(lone.value().size(), 1u);
    EXPECT_EQ(lone.string(), "\xEF\xBF\xBD");
    EXPECT_NE(lone, BinaryDistinctString(u"\uFFFD"));
}

TEST(BinaryDistinctString, OrdersByUnitValue) {
    struct Case {
        const char* a;
        const char* b;
    } less[] = {{"ab", "abc"}, {"abc", "abd"}, {"Z", "a"}, {"", "a"}};
    for (auto c : less) {
        EXPECT_LT(BinaryDistinctString(c.a), BinaryDistinctString(c.b)) << c.a << " < " << c.b;
        EXPECT_FALSE(BinaryDistinctString(c.b) < BinaryDistinctString(c.a));
    }
    EXPECT_FALSE(BinaryDistinctString("abc") < BinaryDistinctString("abc"));
    // Units above the surrogate range sort after surrogates: plain unsigned order.
    EXPECT_LT(emoji, BinaryDistinctString(u"\uFF21"));
}

TEST(BinaryDistinctString, PrefixAndSuffix) {
    BinaryDistinctString s("hello");
    EXPECT_TRUE(s.hasPrefix("he"));
    EXPECT_TRUE(s.hasSuffix("llo"));
    EXPECT_FALSE(s.hasPrefix("hello!"));
    EXPECT_FALSE(s.hasSuffix("!hello"));
    EXPECT_FALSE(s.hasSuffix("he"));
    EXPECT_TRUE(s.hasPrefix(""));
    EXPECT_TRUE(s.hasSuffix(""));
    EXPECT_TRUE(BinaryDistinctString("").hasPrefix(""));
    EXPECT_EQ(BinaryDistinctString("ab") + BinaryDistinctString("cd"),
              BinaryDistinctString("abcd"));
}

TEST(BinaryDistinctString, CharactersAreGraphemeClusters) {
    EXPECT_EQ(emoji.value().size(), 2u);
    EXPECT_EQ(emoji.count(), 1u);
    auto chars = emoji.characters();
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(chars[0].bytes().size(), 2u);

    BinaryDistinctString mixed(u"ae\u0301\r\nz");
    auto parts = mixed.characters();
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1].bytes(), u"e\u0301");
    EXPECT_EQ(parts[2].bytes(), u"\r\n");
    EXPECT_EQ(BinaryDistinctString(parts), mixed);
    EXPECT_EQ(mixed.slice(1, 3), BinaryDistinctString(u"e\u0301\r\n"));
    EXPECT_EQ(mixed.slice(2), BinaryDistinctString(u"\r\nz"));
    EXPECT_EQ(mixed.slice(2, 2), BinaryDistinctString(""));
    EXPECT_EQ(mixed.endIndex(), 4u);
}

TEST(BinaryDistinctString, IndexArithmetic) {
    BinaryDistinctString s("abcd");
    EXPECT_EQ(s.index(0, long(s.count())), s.count());
    EXPECT_EQ(s.index(3, -3), 0u);
    EXPECT_EQ(s.index(2, 3, 4), std::nullopt);
    EXPECT_EQ(s.index(2, 2, 4), 4);
}

TEST(BinaryDistinctStringDeathTest, OutOfRangePositionsStop) {
    BinaryDistinctString s("abcd");
    EXPECT_DEATH(s.index(0, long(s.count()) + 1), "Index out of bounds");
    EXPECT_DEATH(s.index(1, -2), "Index out of bounds");
    EXPECT_DEATH(s.slice(0, 5), "Index out of bounds");
    EXPECT_DEATH(s.slice(-1, 2), "Index out of bounds");
    EXPECT_DEATH(s.slice(5), "Index out of bounds");
}

TEST(BinaryDistinctString, LowercasedMayChangeLength) {
    EXPECT_EQ(BinaryDistinctString("ÀB").lowercased(), BinaryDistinctString("àb"));
    // U+0130 lower-cases to i + combining dot above: one unit becomes two.
    EXPECT_EQ(BinaryDistinctString(u"\u0130").lowercased().value(), u"i\u0307");
    // Capital sigma maps to the plain small sigma wherever it stands.
    EXPECT_EQ(BinaryDistinctString(u"\u039F\u03A3").lowercased().value(), u"\u03BF\u03C3");
}

TEST(BinaryDistinctString, ReplacingOccurrencesMatchesEquivalentSpellings) {
    EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"),
              BinaryDistinctString("a+b+c"));
    BinaryDistinctString text(u"caf\u00E9 cafe\u0301");
    EXPECT_EQ(text.replacingOccurrences(decomposed, "E"), BinaryDistinctString("cafE cafE"));
    // A plain e does not match the first half of an accented character.
    EXPECT_EQ(text.replacingOccurrences("e", "x"), text);
    EXPECT_EQ(BinaryDistinctString("abc").replacingOccurrences("", "x"),
              BinaryDistinctString("abc"));
}

TEST(BinaryDistinctCharacter, DescriptionListsUnitsInHex) {
    EXPECT_EQ(BinaryDistinctCharacter("a").description(),
              "BinaryDistinctCharacter('a', bytes: [\"0x61\"])");
    EXPECT_EQ(BinaryDistinctCharacter(std::u16string(u"\u00E9")).description(),
              "BinaryDistinctCharacter('é', bytes: [\"0xE9\"])");
    EXPECT_EQ(BinaryDistinctCharacter("\xF0\x9F\x98\x80").description(),
              "BinaryDistinctCharacter('\xF0\x9F\x98\x80', bytes: [\"0xD83D\", \"0xDE00\"])");
    std::unordered_set<BinaryDistinctCharacter> set{
        BinaryDistinctCharacter(std::u16string(u"\u00E9")),
        BinaryDistinctCharacter(std::u16string(u"e\u0301"))};
    EXPECT_EQ(set.size(), 2u);
}

TEST(BinaryDistinctDictionary, MergeAppliesTheStrategyOnCollisions) {
    auto keepPresent = [](int present, int) { return present; };
    auto keepIncoming = [](int, int incoming) { return incoming; };
    vortil::BinaryDistinctDictionary<int> base{{"a", 2}, {"b", 5}};
    std::unordered_map<std::string, int> incoming{{"a", 1}, {"c", 3}};

    auto kept = vortil::merging(base, incoming, keepPresent);
    EXPECT_EQ(kept.at("a"), 2);
    EXPECT_EQ(kept.at("c"), 3);
    EXPECT_EQ(base.size(), 2u);  // merging leaves the receiver alone

    vortil::merge(base, incoming, keepIncoming);
    EXPECT_EQ(base.at("a"), 1);
    EXPECT_EQ(base.at("b"), 5);
    EXPECT_EQ(base.at("c"), 3);

    vortil::BinaryDistinctDictionary<int> other{{BinaryDistinctString(u"e\u0301"), 9}};
    vortil::BinaryDistinctDictionary<int> target{{BinaryDistinctString(u"\u00E9"), 1}};
    vortil::merge(target, other, keepIncoming);
    EXPECT_EQ(target.size(), 2u);
}
