#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"
#include "vortilcore/tokenizers/UnigramTokenizer.hpp"

using namespace vortil;
using Pieces = std::vector<std::string>;

namespace {

Config json(const std::string& text) {
    return Config::fromJson(nlohmann::json::parse(text), Config::JsonSource::configurationFile);
}

Config data(const std::string& vocab, const std::string& unkId = "0") {
    return json(R"({"model":{"type":"Unigram","unk_id":)" + unkId + R"(,"vocab":)" + vocab + "}}");
}

UnigramTokenizer model(const std::string& vocab, const std::string& config = "{}") {
    return UnigramTokenizer(json(config), data(vocab), {});
}

Config readFile(const std::string& name) {
    std::ifstream in(std::string(VERBOLIN_TEST_DATA_DIR) + "/unigram-toy/" + name,
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

TokenizerError::Case errorOf(const Config& config, const Config& tokenizerData) {
    try {
        UnigramTokenizer m(config, tokenizerData, {});
    } catch (const TokenizerError& e) {
        return e.errorCase();
    }
    ADD_FAILURE() << "no error";
    return TokenizerError::Case::unsupportedTokenizer;
}

}  // namespace

TEST(UnigramTokenizer, BestSegmentationOnScoredVocabulary) {
    struct Case {
        const char* vocab;
        std::string text;
        Pieces expected;
    } cases[] = {
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-1.5]])", "ab", {"ab"}},
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-2.5]])", "ab", {"a", "b"}},
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-2]])", "ab", {"ab"}},  // tie: the longer piece
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-1.5]])", "", {}},
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-1.5]])", "abab", {"ab", "ab"}},
        // abc: ab+c = -3, a+bc = -2.5, abc = -4
        {R"([["<unk>",0],["a",-1],["b",-1],["c",-1],["ab",-2],["bc",-1.5],["abc",-4]])",
         "abc",
         {"a", "bc"}},
        // The best start is not the best first piece: ab+c+d = -11, a+bcd = -6.
        {R"([["<unk>",0],["a",-5],["b",-5],["ab",-1],["bcd",-1],["c",-5],["d",-5]])",
         "abcd",
         {"a", "bcd"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(model(c.vocab).tokenize(c.text), c.expected) << c.vocab << " " << c.text;
}

TEST(UnigramTokenizer, UnknownCharactersComeBackAsThemselves) {
    const UnigramTokenizer m(json("{}"),
                             data(R"([["a",-1],["<unk>",0],["b",-1],["ab",-1.5]])", "1"), {});
    ASSERT_EQ(m.unknownTokenId(), 1);
    struct Case {
        std::string text;
        Pieces expected;
    } cases[] = {
        {"xab", {"x", "ab"}},
        {"xy", {"x", "y"}},  // not fused here
        {"a\u00E9", {"a", "\u00E9"}},
        {"e\u0301a", {"e\u0301", "a"}},  // one character of two scalars
        {"ax", {"a", "x"}},
    };
    for (const auto& c : cases) {
        Pieces got = m.tokenize(c.text);
        EXPECT_EQ(got, c.expected) << c.text;
        for (const auto& piece : got)
            if (piece != "a" && piece != "b" && piece != "ab") {
                EXPECT_EQ(m.convertTokenToId(piece), 1) << piece;
            }
    }
}

TEST(UnigramTokenizer, UnknownNodeOnlyWhereNoSingleCharacterPieceStarts) {
    // At offset 0 only the long piece starts, so "a" may still come back as
    // unknown; where "b" exists no unknown node competes with it.
    const auto m = model(R"([["<unk>",0],["ab",-50],["b",-100]])");
    EXPECT_FLOAT_EQ(m.unknownTokenScore(), -110);
    EXPECT_EQ(m.tokenize("ab"), (Pieces{"ab"}));
    EXPECT_EQ(m.tokenize("bb"), (Pieces{"b", "b"}));
    EXPECT_EQ(m.tokenize("abb"), (Pieces{"ab", "b"}));
}

TEST(UnigramTokenizer, ScoresAndUnknownPiece) {
    struct Case {
        const char* vocab;
        float minScore;
    } cases[] = {
        {R"([["<unk>",0],["a",-1],["b",-7.25]])", -7.25f},
        {R"([["<unk>",1000],["a",2000]])", 999},  // never above 999
        {R"([["<unk>",-3],["a",5]])", -3},        // integer scores
    };
    for (const auto& c : cases) {
        const auto m = model(c.vocab);
        EXPECT_FLOAT_EQ(m.minScore(), c.minScore) << c.vocab;
        EXPECT_FLOAT_EQ(m.unknownTokenScore(), c.minScore - 10) << c.vocab;
        EXPECT_EQ(m.unknownToken(), "<unk>");
    }
    const auto m = model(R"([["<unk>",0],["a",-4, 1]])");
    EXPECT_FLOAT_EQ(m.vocab()[1].score, 1);  // the last element is the score
}

TEST(UnigramTokenizer, SpecialTokens) {
    const auto plain = model(R"([["<unk>",0],["</s>",0],["a",-1]])", R"({"eos_token":"</s>"})");
    EXPECT_EQ(plain.bosToken(), " ");
    EXPECT_EQ(plain.bosTokenId(), std::nullopt);
    EXPECT_EQ(plain.eosToken(), "</s>");
    EXPECT_EQ(plain.eosTokenId(), 1);
    EXPECT_TRUE(plain.fuseUnknownTokens());

    const auto spaced = model(R"([["<unk>",0],["a",-1],[" ",-2]])", R"({"eos_token":"<eos>"})");
    EXPECT_EQ(spaced.bosTokenId(), 2);
    EXPECT_EQ(spaced.eosToken(), "<eos>");
    EXPECT_EQ(spaced.eosTokenId(), std::nullopt);

    const auto object =
        model(R"([["<unk>",0],["</s>",0]])", R"({"eos_token":{"content":"</s>","special":true}})");
    EXPECT_EQ(object.eosToken(), std::nullopt);
    EXPECT_EQ(object.eosTokenId(), std::nullopt);
}

TEST(UnigramTokenizer, Conversions) {
    const auto m = model(R"([["<unk>",0],["a",-1],["b",-1]])");
    EXPECT_EQ(m.convertTokenToId("b"), 2);
    EXPECT_EQ(m.convertTokenToId("zz"), 0);
    EXPECT_EQ(m.convertIdToToken(1), "a");
    EXPECT_EQ(m.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(m.convertIdToToken(3), std::nullopt);
    EXPECT_EQ(m.convertIdsToTokens({2, 9}),
              (std::vector<std::optional<std::string>>{"b", std::nullopt}));
}

TEST(UnigramTokenizer, BadDataIsRejected) {
    using C = TokenizerError::Case;
    const Config none = json("{}");
    struct Case {
        const char* name;
        Config tokenizerData;
        C expected;
    } cases[] = {
        {"no model", json("{}"), C::missingVocab},
        {"vocab not an array", json(R"({"model":{"unk_id":0,"vocab":{"a":1}}})"), C::missingVocab},
        {"no unk_id", json(R"({"model":{"vocab":[["a",-1]]}})"), C::malformedVocab},
        {"unk_id not an integer", data(R"([["a",-1]])", "\"0\""), C::malformedVocab},
        {"unk_id negative", data(R"([["a",-1]])", "-1"), C::malformedVocab},
        {"unk_id past the end", data(R"([["a",-1]])", "1"), C::malformedVocab},
        {"entry not an array", data(R"([["a",-1],"b"])"), C::malformedVocab},
        {"empty entry", data(R"([["a",-1],[]])"), C::malformedVocab},
        {"text not a string", data(R"([["a",-1],[2,-1]])"), C::malformedVocab},
        {"score not a number", data(R"([["a",-1],["b","x"]])"), C::malformedVocab},
        {"piece listed twice", data(R"([["a",-1],["b",-1],["a",-2]])"), C::malformedVocab},
    };
    for (const auto& c : cases) EXPECT_EQ(errorOf(none, c.tokenizerData), c.expected) << c.name;
}

TEST(UnigramTokenizer, DifferentSpellingsOfAPiece) {
    // Composed and decomposed é are different vocabulary keys but one character.
    const auto composedOnly = model(R"([["<unk>",0],["\u00e9",-1],["t\u00e9",-1]])");
    EXPECT_EQ(composedOnly.tokenize("te\u0301"), (Pieces{"t\u00e9"}));
    EXPECT_EQ(composedOnly.tokenize("e\u0301e\u0301"), (Pieces{"\u00e9", "\u00e9"}));
    EXPECT_EQ(composedOnly.convertTokenToId("t\u00e9"), 2);

    const auto both = model(R"([["<unk>",0],["\u00e9",-1],["e\u0301",-2]])");
    EXPECT_EQ(both.tokenize("e\u0301"), (Pieces{"e\u0301"}));
    EXPECT_EQ(both.convertTokenToId("e\u0301"), 2);
    EXPECT_EQ(both.convertTokenToId("\u00e9"), 1);
}

TEST(UnigramTokenizer, FixtureFileWithPreTokenizer) {
    const Config tokenizerData = readFile("tokenizer.json");
    const UnigramTokenizer m(readFile("tokenizer_config.json"), tokenizerData, {});
    auto pre = PreTokenizerFactory::fromConfig(tokenizerData.get("preTokenizer"));
    ASSERT_TRUE(pre);
    Pieces tokens;
    for (const auto& piece : (*pre)("the cats thé", PreTokenizerOptions{true}))
        for (auto& t : m.tokenize(piece)) tokens.push_back(std::move(t));
    EXPECT_EQ(tokens, (Pieces{"▁the", "▁c", "at", "s", "▁th", "é"}));
    EXPECT_EQ(m.eosTokenId(), 1);
    EXPECT_EQ(m.unknownToken(), "<unk>");
    EXPECT_EQ(m.tokenize("▁q"), (Pieces{"▁", "q"}));
    EXPECT_EQ(m.convertTokenToId("q"), 0);
}

TEST(UnigramTokenizer, VeryLongPieceIsTokenizedAndFreed) {
    const auto m = model(R"([["<unk>",0],["a",-1],["aa",-1.5]])");
    const std::string text(1'000'000, 'a');
    Pieces tokens = m.tokenize(text);
    ASSERT_EQ(tokens.size(), 500'000u);
    EXPECT_EQ(tokens.front(), "aa");
}

TEST(UnigramTokenizer, ConcurrentCallsAgree) {
    const auto m = model(R"([["<unk>",0],["a",-1],["b",-1],["ab",-1.5],["ba",-1.2]])");
    const std::string text = "abbabxab";
    const Pieces expected = m.tokenize(text);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                if (m.tokenize(text) != expected) ++mismatches[size_t(t)];
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, (std::vector<int>(4, 0)));
}
