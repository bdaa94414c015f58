#include <gtest/gtest.h>

#include "vortilcore/tokenizers/Trie.hpp"

using namespace vortil;

namespace {

using Chars = std::vector<char>;

Chars chars(const std::string& s) { return Chars(s.begin(), s.end()); }

std::vector<std::string> prefixes(const Trie<char>& trie, const std::string& text) {
    Chars t = chars(text);
    auto it = trie.commonPrefixSearchIterator(t);
    std::vector<std::string> out;
    while (auto seq = it.next()) out.emplace_back(seq->begin(), seq->end());
    return out;
}

Trie<char> trieOf(std::initializer_list<const char*> words) {
    Trie<char> trie;
    std::vector<Chars> all;
    for (const char* w : words) all.push_back(chars(w));
    trie.append(all);
    return trie;
}

}  // namespace

TEST(Trie, CommonPrefixSearchYieldsStoredPrefixesShortestFirst) {
    const Trie<char> trie = trieOf({"carp", "car", "ca", "cat", "dog", "c"});
    struct Case {
        std::string text;
        std::vector<std::string> expected;
    } cases[] = {
        {"carpet", {"c", "ca", "car", "carp"}},
        {"cat", {"c", "ca", "cat"}},
        {"cab", {"c", "ca"}},  // leaves the trie at b
        {"ca", {"c", "ca"}},   // text ends inside the trie
        {"xcar", {}},          // only prefixes from the start count
        {"do", {}},            // "do" is a path, not a stored word
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(prefixes(trie, c.text), c.expected) << c.text;
}

TEST(Trie, ExhaustedSearchStaysExhausted) {
    const Trie<char> trie = trieOf({"a", "abc"});
    Chars text = chars("abx");
    auto it = trie.commonPrefixSearchIterator(text);
    ASSERT_TRUE(it.next());
    EXPECT_FALSE(it.next());  // fell off the trie at x
    EXPECT_FALSE(it.next());
}

TEST(Trie, LengthSearchMatchesSequenceSearch) {
    const Trie<char> trie = trieOf({"a", "ab", "abcd", "b"});
    Chars text = chars("abcde");
    auto lengths = trie.commonPrefixSearchIterator(text);
    std::vector<size_t> got;
    while (auto n = lengths.nextLength()) got.push_back(*n);
    EXPECT_EQ(got, (std::vector<size_t>{1, 2, 4}));
}

TEST(Trie, InsertingTwiceOrEmptyChangesNoSearch) {
    Trie<char> trie = trieOf({"ab", "ab"});
    trie.insert(Chars{});
    EXPECT_TRUE(trie.root().isLeaf);
    EXPECT_EQ(prefixes(trie, "abc"), (std::vector<std::string>{"ab"}));
    EXPECT_EQ(trie.root().children.size(), 1u);
}

TEST(Trie, StringElementsMatchWholeCharacters) {
    // The tokenizer stores characters as strings; a multi-byte element is one step.
    Trie<std::string> trie;
    std::vector<std::string> word{"é", "t", "é"};
    trie.insert(word);
    trie.insert(std::vector<std::string>{"é"});
    std::vector<std::string> text{"é", "t", "é", "s"};
    auto it = trie.commonPrefixSearchIterator(text);
    EXPECT_EQ(it.next(), (std::vector<std::string>{"é"}));
    EXPECT_EQ(it.next(), word);
    EXPECT_EQ(it.next(), std::nullopt);
}
