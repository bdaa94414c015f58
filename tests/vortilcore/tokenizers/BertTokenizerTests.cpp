#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/tokenizers/BertTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;
using Pieces = std::vector<std::string>;

namespace {

Config json(const std::string& text) {
    return Config::fromJson(nlohmann::json::parse(text), Config::JsonSource::configurationFile);
}

Config data(const std::string& vocab, const std::string& extra = "") {
    return json(R"({"model":{"type":"WordPiece","vocab":)" + vocab + "}" + extra + "}");
}

Config readFile(const std::string& name) {
    std::ifstream in(std::string(VERBOLIN_TEST_DATA_DIR) + "/wordpiece-toy/" + name,
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

std::shared_ptr<const CanonicalVocab> vocabOf(std::initializer_list<const char*> tokens) {
    auto v = std::make_shared<CanonicalVocab>();
    int id = 0;
    for (const char* t : tokens) v->emplace(t, id++);
    return v;
}

std::string repeated(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST(BasicTokenizer, SplitsAtWhitespaceAndPunctuation) {
    struct Case {
        bool lower;
        std::string text;
        Pieces expected;
    } cases[] = {
        {true, "Héllo, World!", {"hello", ",", "world", "!"}},
        {false, "Héllo, World!", {"Héllo", ",", "World", "!"}},
        {true, "[CLS] hi [SEP]", {"[CLS]", "hi", "[SEP]"}},
        {true, "[cls]", {"[", "cls", "]"}},
        {true, "x[CLS]", {"x", "[", "cls", "]"}},   // kept whole only as a piece of its own
        {true, "a\nb c\r\nd", {"a\nb", "c\r\nd"}},  // line breaks stay inside words
        {true, "a\tb\u00A0c\u3000d  e", {"a", "b", "c", "d", "e"}},
        {true,
         "$5+3=8 ^_^ a|b~",
         {"$", "5", "+", "3", "=", "8", "^", "_", "^", "a", "|", "b", "~"}},
        {true,
         "\u00ABhi\u00BB \u2014 ok\u3002",
         {"\u00AB", "hi", "\u00BB", "\u2014", "ok", "\u3002"}},
        {true, "ÅNGSTRÖM naïve", {"angstrom", "naive"}},
        {true, "e\u0301t\u00E9", {"ete"}},
        {true, "", {}},
        {true, "   ", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BasicTokenizer(c.lower).tokenize(c.text), c.expected) << c.text;
}

TEST(WordpieceTokenizer, GreedyLongestMatch) {
    const WordpieceTokenizer wp("[UNK]", 100,
                                vocabOf({"un", "##aff", "##able", "u", "##n", "##a", "a", "##ff"}));
    struct Case {
        std::string word;
        Pieces expected;
    } cases[] = {
        {"unaffable", {"un", "##aff", "##able"}},
        {"unaff", {"un", "##aff"}},
        {"una", {"un", "##a"}},
        {"unaffablex", {"[UNK]"}},  // pieces found before the dead end are dropped
        {"xun", {"[UNK]"}},
        {"aff", {"a", "##ff"}},  // "aff" alone is not a word start
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(wp.tokenize(c.word), c.expected) << c.word;
}

TEST(WordpieceTokenizer, LengthLimitCountsCharacters) {
    const WordpieceTokenizer wp("[UNK]", 100, vocabOf({"a", "##a", "\u00E9", "##\u00E9"}));
    EXPECT_EQ(wp.tokenize(repeated("a", 100)).size(), 100u);
    EXPECT_EQ(wp.tokenize(repeated("a", 101)), (Pieces{"[UNK]"}));
    // 100 characters of two scalars each: under the limit, and each matches
    // the composed vocabulary entry in its own spelling.
    Pieces pieces = wp.tokenize(repeated("e\u0301", 100));
    ASSERT_EQ(pieces.size(), 100u);
    EXPECT_EQ(pieces[0], "e\u0301");
    EXPECT_EQ(pieces[1], "##e\u0301");
    EXPECT_EQ(wp.tokenize(repeated("e\u0301", 101)), (Pieces{"[UNK]"}));
}

TEST(WordpieceTokenizer, EmptyVocabularyFindsNothing) {
    const WordpieceTokenizer wp("[UNK]", 100, std::make_shared<CanonicalVocab>());
    EXPECT_EQ(wp.tokenize("abc"), (Pieces{"[UNK]"}));
    EXPECT_EQ(wp.tokenize(""), Pieces{});
}

TEST(BertTokenizer, TokenizesThroughBothStages) {
    const BertTokenizer m(readFile("tokenizer_config.json"), readFile("tokenizer.json"), {});
    EXPECT_EQ(
        m.tokenize("Hello, wörld! Unaffable playings"),
        (Pieces{"hello", ",", "world", "!", "un", "##aff", "##able", "play", "##ing", "##s"}));
    EXPECT_EQ(m.tokenize("[CLS] the xyz [MASK]"), (Pieces{"[CLS]", "the", "[UNK]", "[MASK]"}));
    EXPECT_EQ(m.convertTokenToId("##aff"), 10);
    // The data's added token replaces the vocabulary's id for "[UNK]".
    EXPECT_EQ(m.unknownToken(), "[UNK]");
    EXPECT_EQ(m.unknownTokenId(), 100);
    EXPECT_EQ(m.convertTokenToId("xyz"), 100);
    EXPECT_EQ(m.convertIdToToken(100), "[UNK]");
    EXPECT_EQ(m.convertIdToToken(1), std::nullopt);
    EXPECT_EQ(m.convertIdToToken(999), std::nullopt);
    EXPECT_FALSE(m.fuseUnknownTokens());
    EXPECT_EQ(m.maxLen(), 512);
}

TEST(BertTokenizer, ChineseCharactersStandApartUnlessDisabled) {
    const Config tokenizerData = data(R"({"a":0,"b":1,"中":2,"##中":3,"##b":4})");
    struct Case {
        const char* config;
        Pieces expected;
    } cases[] = {
        {"{}", {"a", "中", "b"}},
        {R"({"handle_chinese_chars":true})", {"a", "中", "b"}},
        {R"({"handle_chinese_chars":false})", {"a", "##中", "##b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BertTokenizer(json(c.config), tokenizerData, {}).tokenize("a中b"), c.expected)
            << c.config;
}

TEST(BertTokenizer, VocabularyAndAddedTokens) {
    const Config tokenizerData =
        data(R"({"[UNK]":0,"x":1,"y":2,"bad":"3","z":2.5})",
             R"(,"added_tokens":[{"id":7,"content":"x"},{"id":8,"content":"y"},
                                          {"id":9,"content":"y"},{"content":"w"},{"id":4},"junk"])");
    const BertTokenizer m(json("{}"), tokenizerData, {{"y", 20}, {"new", 21}});
    EXPECT_EQ(m.convertTokenToId("x"), 7);   // the data's added token wins over the vocabulary
    EXPECT_EQ(m.convertTokenToId("y"), 20);  // the argument wins over both
    EXPECT_EQ(m.convertTokenToId("new"), 21);
    EXPECT_EQ(m.convertTokenToId("bad"), 0);  // skipped entries are unknown
    EXPECT_EQ(m.convertTokenToId("z"), 0);
    EXPECT_EQ(m.convertTokenToId("w"), 0);
    EXPECT_EQ(m.convertIdToToken(7), "x");
    EXPECT_EQ(m.convertIdToToken(1), std::nullopt);
    EXPECT_EQ(m.vocabCount(), 4u);

    const BertTokenizer noUnknown(json("{}"), data(R"({"a":0})"), {});
    EXPECT_EQ(noUnknown.convertTokenToId("b"), std::nullopt);
    EXPECT_EQ(noUnknown.tokenize("ab"), (Pieces{"[UNK]"}));
}

TEST(BertTokenizer, SpecialTokensAndFlags) {
    const Config tokenizerData = data(R"({"<s>":0,"</s>":1})");
    const BertTokenizer strings(json(R"({"bos_token":"<s>","eos_token":"</s>","fuse_unk":true})"),
                                tokenizerData, {});
    EXPECT_EQ(strings.bosToken(), "<s>");
    EXPECT_EQ(strings.bosTokenId(), 0);
    EXPECT_EQ(strings.eosTokenId(), 1);
    EXPECT_TRUE(strings.fuseUnknownTokens());

    const BertTokenizer objects(json(R"({"bos_token":{"content":"<s>"},"eos_token":"<eos>"})"),
                                tokenizerData, {});
    EXPECT_EQ(objects.bosToken(), std::nullopt);
    EXPECT_EQ(objects.bosTokenId(), std::nullopt);
    EXPECT_EQ(objects.eosToken(), "<eos>");
    EXPECT_EQ(objects.eosTokenId(), std::nullopt);

    const BertTokenizer cased(json(R"({"do_lower_case":false})"), data(R"({"Caf\u00e9":0})"), {});
    EXPECT_FALSE(cased.basicTokenizer().doLowerCase());
    // A decomposed spelling finds the composed entry and keeps its own spelling.
    EXPECT_EQ(cased.tokenize("Cafe\u0301"), (Pieces{"Cafe\u0301"}));
    EXPECT_EQ(cased.convertTokenToId("Cafe\u0301"), 0);
    EXPECT_EQ(cased.convertIdToToken(0), "Caf\u00e9");
}

TEST(BertTokenizer, MissingVocabularyIsRejected) {
    for (const char* text :
         {R"({})", R"({"model":{"vocab":[["a",1]]}})", R"({"model":{"vocab":"a"}})"}) {
        try {
            BertTokenizer m(json("{}"), json(text), {});
            ADD_FAILURE() << text;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.errorCase(), TokenizerError::Case::missingVocab) << text;
        }
    }
}
