#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "vortilcore/tokenizers/BPETokenizer.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;
using Pieces = std::vector<std::string>;

namespace {

Config json(const std::string& text) {
    return Config::fromJson(nlohmann::json::parse(text), Config::JsonSource::configurationFile);
}

Config data(const std::string& vocab, const std::string& merges) {
    return json(R"({"model":{"type":"BPE","vocab":)" + vocab + R"(,"merges":)" + merges + "}}");
}

// The data for `merges` with a vocabulary of exactly the symbols they name
// and make, numbered in order.
Config withVocabularyOf(const std::string& merges) {
    nlohmann::json vocab = nlohmann::json::object();
    auto add = [&](const std::string& token) {
        if (!vocab.contains(token)) vocab[token] = vocab.size();
    };
    const auto list = BPETokenizer::mergesFromConfig(json(merges)).value();
    for (const auto& m : list) {
        if (m.size() < 2) continue;
        add(m[0]);
        add(m[1]);
        add(m[0] + m[1]);
    }
    return data(vocab.dump(), merges);
}

Config readFile(const std::string& name) {
    std::ifstream in(std::string(VERBOLIN_TEST_DATA_DIR) + "/whisper-en-tokenizer/" + name,
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

// The Whisper files are large; build the model once for the whole suite.
struct Whisper {
    Config config = readFile("tokenizer_config.json");
    Config tokenizerData = readFile("tokenizer.json");
    BPETokenizer model{config, tokenizerData, {}};
    PreTokenizerPtr preTokenizer =
        PreTokenizerFactory::fromConfig(tokenizerData.get("preTokenizer"));

    std::vector<int> ids(const std::string& text) const {
        std::vector<int> out;
        for (const auto& piece : (*preTokenizer)(text, PreTokenizerOptions{true}))
            for (const auto& token : model(piece))
                out.push_back(model.convertTokenToId(token).value_or(-1));
        return out;
    }
};

const Whisper& whisper() {
    static const Whisper w;
    return w;
}

}  // namespace

TEST(BPETokenizer, MergeOrderFollowsRanks) {
    struct Case {
        const char* merges;
        std::string piece;
        std::string expected;
    } cases[] = {
        {R"(["a b", "ab c"])", "abc", "abc"},
        {R"(["b c", "a b"])", "abc", "a bc"},
        {R"(["a a"])", "aaaa", "aa aa"},  // both occurrences merge in one pass
        {R"(["a a"])", "aaa", "aa a"},
        {R"(["a a", "aa aa"])", "aaaa", "aaaa"},
        {R"([["x", "y"]])", "xy", "xy"},
        {R"(["x y"])", "xy", "xy"},
        {R"(["a b", "a b c"])", "ab", "ab"},  // symbols past the second are ignored
        {R"(["a b"])", "z", "z"},
        {R"(["a b"])", "", ""},
        {R"(["a b", "b a", "a b"])", "aba", "a ba"},     // a repeated pair takes its later rank
        {R"(["e\u0301 x"])", "\xC3\xA9x", "\xC3\xA9x"},  // ranks compare canonically
    };
    for (const auto& c : cases) {
        BPETokenizer model(Config(), withVocabularyOf(c.merges), {});
        EXPECT_EQ(model.bpe(c.piece), c.expected) << c.merges << " on " << c.piece;
    }
}

TEST(BPETokenizer, MergesFromConfig) {
    auto merges = BPETokenizer::mergesFromConfig(json(R"(["a  b", ["x", 1, "y"], 7, "c d"])"));
    ASSERT_TRUE(merges);
    std::vector<std::vector<std::string>> expected{{"a", "", "b"}, {"x", "y"}, {"c", "d"}};
    EXPECT_EQ(*merges, expected);
    EXPECT_EQ(BPETokenizer::mergesFromConfig(Config("a b")), std::nullopt);
    EXPECT_EQ(BPETokenizer::mergesFromConfig(Config()), std::nullopt);
}

TEST(BPETokenizer, TokenizeUsesVocabularyAndFallsBackToBytes) {
    Config vocab = data(R"({"a": 0, "b": 1, "ab": 2, "<unk>": 3, "\u00e9": 4})", R"(["a b"])");
    BPETokenizer noUnknown(Config(), vocab, {});
    EXPECT_EQ(noUnknown.tokenize("ab"), (Pieces{"ab"}));
    EXPECT_EQ(noUnknown.tokenize("e\xCC\x81"),
              (Pieces{"<0x65>", "<0xCC>", "<0x81>"}));  // not the precomposed key
    EXPECT_EQ(noUnknown.tokenize("\xC3\xA9"), (Pieces{"\xC3\xA9"}));
    EXPECT_EQ(noUnknown.tokenize("c"), (Pieces{"<0x63>"}));
    EXPECT_EQ(noUnknown.tokenize("\xE2\x82\xAC"), (Pieces{"<0xE2>", "<0x82>", "<0xAC>"}));
    EXPECT_EQ(noUnknown.convertTokenToId("zz"), std::nullopt);
    EXPECT_EQ(noUnknown.convertIdToToken(2), "ab");
    EXPECT_EQ(noUnknown.convertIdToToken(99), std::nullopt);
    EXPECT_EQ(noUnknown.vocabCount(), 5);

    BPETokenizer withUnknown(json(R"({"unk_token": {"content": "<unk>"}, "fuse_unk": true})"),
                             vocab, {});
    EXPECT_EQ(withUnknown.unknownToken(), "<unk>");
    EXPECT_EQ(withUnknown.unknownTokenId(), 3);
    EXPECT_TRUE(withUnknown.fuseUnknownTokens());
    EXPECT_EQ(withUnknown.convertTokenToId("zz"), 3);
    EXPECT_EQ(withUnknown.tokenize("<unk>"),
              (Pieces{"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}));
    EXPECT_EQ(withUnknown.hexaEncode(" \xC3\xA9"), (Pieces{"<0x20>", "<0xC3>", "<0xA9>"}));
}

TEST(BPETokenizer, AddedTokensAndSpecialTokenIds) {
    Config config = json(R"({"eos_token": {"content": "</s>"}, "bos_token": "<s>"})");
    BPETokenizer model(config, data(R"({"a": 0, "</s>": 1, "<s>": 2})", "[]"),
                       {{"</s>", 10}, {"<new>", 11}});
    EXPECT_EQ(model.convertTokenToId("</s>"), 10);
    EXPECT_EQ(model.convertTokenToId("<new>"), 11);
    EXPECT_EQ(model.eosToken(), "</s>");
    EXPECT_EQ(model.eosTokenId(), 10);
    EXPECT_EQ(model.bosToken(), "<s>");
    EXPECT_EQ(model.bosTokenId(), 2);
    EXPECT_FALSE(model.fuseUnknownTokens());
    EXPECT_EQ(model.unknownToken(), std::nullopt);
}

TEST(BPETokenizer, UnusableDataIsRejectedWithAnError) {
    auto expectConfigError = [](const Config& d, const std::string& message) {
        try {
            BPETokenizer model(Config(), d, {});
            ADD_FAILURE() << "accepted";
        } catch (const TokenizerConfigurationError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
        }
    };
    expectConfigError(json(R"({"model": {"vocab": {}}})"), "BPETokenizer requires merges");
    expectConfigError(json(R"({"model": {"vocab": {}, "merges": "a b"}})"),
                      "BPETokenizer requires merges");
    expectConfigError(data("{}", R"(["ab"])"), "BPETokenizer requires merges");
    expectConfigError(data("{}", R"([["a"]])"), "BPETokenizer requires merges");
    for (const char* vocab :
         {R"({"model": {"merges": []}})", R"({"model": {"merges": [], "vocab": ["a"]}})"}) {
        try {
            BPETokenizer model(Config(), json(vocab), {});
            ADD_FAILURE() << "accepted " << vocab;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.errorCase(), TokenizerError::Case::missingVocab);
        }
    }
    // Each of these used to load and then give the unknown id for everything.
    const struct {
        const char* vocab;
        const char* merges;
        const char* detail;
    } malformed[] = {
        {R"({"a": "0", "b": 1, "ab": 2})", R"(["a b"])", R"(the id of "a")"},
        {R"({"a": -1, "b": 1, "ab": 2})", R"(["a b"])", R"(the id of "a")"},
        {R"({"a": 0.5, "b": 1, "ab": 2})", "[]", R"(the id of "a")"},
        {R"({"a": 0, "b": 1})", R"(["a b"])", R"(needs "ab")"},
        {R"({"a": 0, "ab": 2})", R"(["a b"])", R"(needs "b")"},
        {R"({"a": 0, "b": 1, "ab": 2})", R"(["a b", "ab c"])", R"(needs "c")"},
    };
    for (const auto& m : malformed) {
        try {
            BPETokenizer model(Config(), data(m.vocab, m.merges), {});
            ADD_FAILURE() << "accepted " << m.vocab << " " << m.merges;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.errorCase(), TokenizerError::Case::malformedVocab);
            EXPECT_NE(e.payload().find(m.detail), std::string::npos) << e.what();
        }
    }
}

TEST(BPETokenizerWhisper, EncodesEnglishWithTheRealVocabulary) {
    const Whisper& w = whisper();
    EXPECT_EQ(w.ids(" Hello world"), (std::vector<int>{18435, 995}));
    EXPECT_EQ(w.ids("The quick brown fox jumps over the lazy dog."),
              (std::vector<int>{464, 2068, 7586, 21831, 18045, 625, 262, 16931, 3290, 13}));
    EXPECT_EQ(w.ids(" unbelievably antidisestablishmentarianism"),
              (std::vector<int>{48943, 1885, 29207, 44390, 3699, 1042}));
    EXPECT_EQ(w.ids(" caf\xC3\xA9"), (std::vector<int>{40304}));
    EXPECT_EQ(w.model.tokenize("\xC4\xA0"
                               "Hello"),
              (Pieces{"\xC4\xA0"
                      "Hello"}));
    EXPECT_EQ(w.model.unknownTokenId(), 50256);
    EXPECT_EQ(w.model.eosTokenId(), 50256);
    EXPECT_EQ(w.model.convertIdToToken(995), "\xC4\xA0world");
}

TEST(BPETokenizerWhisper, ConcurrentUseGivesTheSameTokens) {
    const Whisper& w = whisper();
    const std::string text =
        "Several threads share one model and its cache of merged words, words, words.";
    const std::vector<int> expected = w.ids(text);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                if (w.ids(text) != expected) ++mismatches[size_t(t)];
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// A long run of spaces used to overflow the regex engine's backtrack stack,
// and everything after the run was silently dropped.
TEST(BPETokenizerWhisper, ALongWhitespaceRunKeepsTheTextAfterIt) {
    const Whisper& w = whisper();
    std::vector<int> expected{31373};
    expected.insert(expected.end(), 399997, 220);
    expected.push_back(995);
    EXPECT_TRUE(w.ids("hello" + std::string(399998, ' ') + "world") == expected);
}

namespace {

// The merge rule spelled out plainly: find the lowest-ranked adjacent pair,
// merge all its occurrences left to right, repeat.
std::string referenceBpe(const std::vector<std::vector<std::string>>& merges,
                         const std::string& piece) {
    std::map<std::pair<std::string, std::string>, size_t> ranks;
    for (size_t i = 0; i < merges.size(); ++i) ranks[{merges[i][0], merges[i][1]}] = i;
    std::vector<std::string> word;
    for (char c : piece) word.emplace_back(1, c);
    for (;;) {
        size_t best = SIZE_MAX;
        std::pair<std::string, std::string> pair;
        for (size_t i = 0; i + 1 < word.size(); ++i) {
            auto it = ranks.find({word[i], word[i + 1]});
            if (it != ranks.end() && it->second < best) best = it->second, pair = it->first;
        }
        if (best == SIZE_MAX) break;
        std::vector<std::string> next;
        for (size_t i = 0; i < word.size();) {
            if (i + 1 < word.size() && word[i] == pair.first && word[i + 1] == pair.second) {
                next.push_back(word[i] + word[i + 1]);
                i += 2;
            } else {
                next.push_back(word[i++]);
            }
        }
        word.swap(next);
    }
    std::string out;
    for (const auto& s : word) out += (out.empty() ? "" : " ") + s;
    return out;
}

}  // namespace

// Random merge lists over a small alphabet, in learned order and shuffled
// (so a merge's result may outrank the merge), against the reference.
TEST(BPETokenizer, MergesAgreeWithTheReferenceOnRandomRules) {
    std::mt19937 rng(29);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<std::string> tokens{"a", "b", "c", "d"};
        std::vector<std::vector<std::string>> merges;
        const int count = 1 + int(rng() % 30);
        for (int m = 0; m < count; ++m) {
            auto x = tokens[rng() % tokens.size()], y = tokens[rng() % tokens.size()];
            merges.push_back({x, y});
            tokens.push_back(x + y);
        }
        if (trial % 2) std::shuffle(merges.begin(), merges.end(), rng);
        nlohmann::json list = nlohmann::json::array();
        for (const auto& m : merges) list.push_back(m[0] + " " + m[1]);
        BPETokenizer model(Config(), withVocabularyOf(list.dump()), {});
        for (int w = 0; w < 10; ++w) {
            std::string piece;
            // Short and long words: they take different roads through the merge loop.
            for (size_t len = 2 + rng() % (w % 2 ? 40 : 400); piece.size() < len;)
                piece += "abcd"[rng() % 4];
            ASSERT_EQ(model.bpe(piece), referenceBpe(merges, piece))
                << list.dump() << " on " << piece;
        }
    }
}

// Merging grows about as n log n with the piece's length; it used to be
// quadratic (some 100 s for a one-megabyte word). Counted in merge steps, not
// timed, so that a busy machine cannot move it (the time is in
// bench/BPETokenizerBench). The steps are the same on every run: about 2.6 a
// letter, and ten times the letters take 10 times the steps. A pass over the
// whole word per merge rule took over 1,600 a letter, and 18 times the steps.
TEST(BPETokenizerWhisper, AWordTenTimesLongerTakesAtMostTwelveTimesTheMergeSteps) {
    const Whisper& w = whisper();
    std::mt19937 rng(8);
    // A new word each time: a word met before would come from the cache.
    auto encodeRandomWord = [&](size_t length) {
        std::string word;
        word.reserve(length);
        while (word.size() < length) word += char('a' + rng() % 26);
        const std::uint64_t before = w.model.mergeSteps();
        const Pieces tokens = w.model.tokenize(word);
        const std::uint64_t steps = w.model.mergeSteps() - before;
        std::string joined;
        for (const auto& t : tokens) joined += t;
        EXPECT_TRUE(joined == word);  // every letter is in exactly one token
        EXPECT_LT(tokens.size(), word.size());
        EXPECT_GT(steps, length);  // every letter is looked at
        EXPECT_LT(steps, 8 * length);
        return double(steps);
    };
    const double short_ = encodeRandomWord(100 << 10);
    const double long_ = encodeRandomWord(1000 << 10);
    std::cout << "[ INFO     ] merge steps: 100 kB " << short_ << ", 1000 kB " << long_ << "\n";
    EXPECT_LT(long_, 12 * short_);
}
