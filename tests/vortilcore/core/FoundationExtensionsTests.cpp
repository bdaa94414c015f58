#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/ProcessInfo.hpp"

using namespace vortil;
using Strings = std::vector<std::string>;

TEST(Glob, FlagsZeroSemantics) {
    const Strings files = {"config.json", "sub/dir/a.json", ".hidden.json", "model.bin",
                           "a*b",         "tokenizer.json"};
    struct Case {
        const char* pattern;
        Strings expected;
    };
    const Case cases[] = {
        {"*.json", {"config.json", "sub/dir/a.json", ".hidden.json", "tokenizer.json"}},
        {"config.json", {"config.json"}},
        {"config.jso", {}},
        {"sub/*", {"sub/dir/a.json"}},
        {"?odel.bin", {"model.bin"}},
        {"a\\*b", {"a*b"}},
        {"*", files},
    };
    for (const auto& c : cases) EXPECT_EQ(matching(files, c.pattern), c.expected) << c.pattern;
    EXPECT_TRUE(matching({}, "*").empty());
}

TEST(OrderedSet, KeepsFirstOccurrencesInOrder) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(orderedSet(Strings{"b", "a", "b"}), (Strings{"b", "a"}));
    EXPECT_TRUE(orderedSet(std::vector<int>{}).empty());
}

TEST(Batched, SplitsWithARemainder) {
    const std::vector<int> five = {1, 2, 3, 4, 5};
    EXPECT_EQ(batched(five, 2), (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(five, 5), (std::vector<std::vector<int>>{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(five, 9), (std::vector<std::vector<int>>{{1, 2, 3, 4, 5}}));
    EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
    EXPECT_TRUE(batched(five, -1).empty());
}

TEST(BatchedDeathTest, ZeroSizeStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(batched(std::vector<int>{1}, 0), "non-zero batch size");
}

TEST(TrimmingFromEnd, RemovesAtMostTheGivenCount) {
    struct Case {
        const char* text;
        const char* character;
        int upto;
        const char* expected;
    };
    const Case cases[] = {
        {"x...", ".", 2, "x."},
        {"x...", ".", 5, "x"},
        {"xa", ".", 3, "xa"},
        {"x.a.", ".", 3, "x.a"},
        {"...", ".", 0, "..."},
        {"...", ".", -1, "..."},
        {"", ".", 2, ""},
        // One character is one grapheme cluster, compared canonically.
        {"cafe\u0301\u0301", "e\u0301", 3, "cafe\u0301\u0301"},
        {"caf\u00e9e\u0301", "\u00e9", 3, "caf"},
        {"ok\U0001F44D\U0001F3FD\U0001F44D", "\U0001F44D", 2, "ok\U0001F44D\U0001F3FD"},
        {"ab\r\n\r\n", "\r\n", 1, "ab\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trimmingFromEnd(c.text, c.character, c.upto), c.expected) << c.text;
    }
}

TEST(Rounded, HalvesAwayFromZeroInSinglePrecision) {
    EXPECT_EQ(rounded(1.005f, 2), 1.01f);
    EXPECT_EQ(rounded(0.125f, 2), 0.13f);
    EXPECT_EQ(rounded(-0.125f, 2), -0.13f);
    EXPECT_EQ(rounded(2.5f, 0), 3.0f);
    EXPECT_EQ(rounded(-2.5f, 0), -3.0f);
    EXPECT_EQ(rounded(1234.5678f, 1), 1234.6f);
    EXPECT_EQ(rounded(0.3333333f, 3), 0.333f);
}

TEST(ResolveAbsolutePath, TildeHomeAndCurrentDirectory) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    std::string h = home;
    if (h.size() > 1 && h.back() == '/') h.pop_back();
    EXPECT_EQ(resolveAbsolutePath("~/models/x"), h + "/models/x");
    EXPECT_EQ(resolveAbsolutePath("~"), h);
    EXPECT_EQ(resolveAbsolutePath("/etc/hosts"), "/etc/hosts");

    auto previous = std::filesystem::current_path();
    std::filesystem::current_path("/tmp");
    EXPECT_EQ(resolveAbsolutePath("a/b"), "/tmp/a/b");
    EXPECT_EQ(resolveAbsolutePath("a/b/"), "/tmp/a/b");
    // An unknown user's tilde stays as it is, so the path counts as relative.
    EXPECT_EQ(resolveAbsolutePath("~no-such-user-here/x"), "/tmp/~no-such-user-here/x");
    EXPECT_EQ(resolveAbsolutePath("~root/x"), "/root/x");
    std::filesystem::current_path("/");
    EXPECT_EQ(resolveAbsolutePath("rel"), "/rel");
    std::filesystem::current_path(previous);
}

namespace {

// One token per whitespace-separated word.
std::vector<int> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<int> tokens;
    std::string word;
    while (in >> word) tokens.push_back(static_cast<int>(tokens.size()));
    return tokens;
}

}  // namespace

TEST(LastNaturalBoundary, SentenceClauseWordThenNothing) {
    struct Case {
        const char* text;
        int minTokens;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        // An unfinished last sentence gives way to the previous sentence.
        {"One two three. Four five six. Seven eight", 2, "One two three. Four five six. "},
        {"One two three. Four five six. Seven eight", 6, "One two three. Four five six. "},
        // A finished last sentence counts, also behind a closing quote.
        {"He said \"stop.\" Then left.", 2, "He said \"stop.\" Then left."},
        {"Alpha beta. \"Gamma delta.\"", 3, "Alpha beta. \"Gamma delta.\""},
        {"Alpha beta. Gamma delta\n", 3, "Alpha beta. Gamma delta\n"},
        {"Wow! Really? Yes\u2026", 3, "Wow! Really? Yes\u2026"},
        // A qualifying sentence boundary wins over a later clause break.
        {"One two. Three, four five", 2, "One two. "},
        // Too few tokens for any sentence: clause breaks, last to first.
        {"One two. Three, four five", 3, "One two. Three,"},
        {"a, b; c - d: e", 5, "a, b; c - d:"},
        {"a, b; c -d", 2, "a, b;"},  // a dash before a letter is no break
        {"x \u2013 y z", 2, "x \u2013"},
        {"a,b c", 1, "a,b"},  // a comma inside a word is no break
        // Then the text before the last space.
        {"one two three four", 3, "one two three"},
        // Then nothing.
        {"one two three four", 4, std::nullopt},
        {"single", 1, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, words), c.expected)
            << c.text << " / " << c.minTokens;
    }
}

TEST(LastNaturalBoundary, EncodesTheTrimmedCandidate) {
    std::vector<std::string> seen;
    auto spy = [&](const std::string& text) {
        seen.push_back(text);
        return words(text);
    };
    auto result = lastNaturalBoundary("  First one.  Second", 2, spy);
    EXPECT_EQ(result, std::optional<std::string>("  First one.  "));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "First one.");
}

TEST(LastNaturalBoundary, AnEncoderThatWalksCharactersItselfDoesNotDisturbTheSearch) {
    // The encoder is the caller's code; it may use the same character helpers.
    // Token counts need not grow with the text: here "b," is worth many tokens.
    auto encoder = [](const std::string& text) {
        std::string trimmed = trimmingFromEnd(text, ",", 1);
        std::vector<int> tokens = words(trimmed);
        if (trimmed.size() >= 1 && trimmed.back() == 'b') tokens.resize(10);
        return tokens;
    };
    EXPECT_EQ(lastNaturalBoundary("aa, b, cc, ddd", 4, encoder),
              std::optional<std::string>("aa, b,"));
}

TEST(ProcessInfo, MachineFactsAreReadOnceAndAgree) {
    const std::string& model = ProcessInfo::hwModel();
    EXPECT_FALSE(model.empty());
    EXPECT_EQ(&model, &ProcessInfo::hwModel());
    EXPECT_EQ(model, ProcessInfo::stringFromSysctl("hw.model"));
    EXPECT_EQ(ProcessInfo::processor(), ProcessInfo::stringFromSysctl("machdep.cpu.brand_string"));
    EXPECT_EQ(ProcessInfo::threads(), std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_FALSE(ProcessInfo::cores().empty());
    EXPECT_LE(std::stoi(ProcessInfo::cores()), std::stoi(ProcessInfo::threads()));
    EXPECT_EQ(ProcessInfo::stringFromSysctl("kern.no.such.value"), "");
}
