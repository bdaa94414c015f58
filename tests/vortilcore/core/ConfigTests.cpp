#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/core/Config.hpp"

using vortil::BinaryDistinctString;
using vortil::Config;
using Kind = vortil::Config::Kind;

namespace {

Config parse(std::string_view text) {
    return Config::fromJson(vortil::bomPreservingJsonObject(text),
                            Config::JsonSource::configurationFile);
}

}  // namespace

TEST(Config, MemberLookupFallsBackToSnakeCase) {
    Config c{{"add_prefix_space", true}, {"both", 1}, {"both_x", 2}, {"bothX", 3}};
    EXPECT_EQ(c.get("addPrefixSpace"), Config(true));
    EXPECT_EQ(c["add_prefix_space"], Config(true));
    EXPECT_EQ(c.get("bothX").integerValue(), 3);  // the spelling asked for wins
    EXPECT_EQ(c.get("both_x").integerValue(), 2);
    EXPECT_TRUE(c.get("missing").isNull());
    ASSERT_NE(c.getIfDictionary("missing"), nullptr);
    EXPECT_TRUE(c.getIfDictionary("missing")->isNull());

    Config array = Config::array({1, 2});
    EXPECT_TRUE(array.get("missing").isNull());
    EXPECT_EQ(array.getIfDictionary("missing"), nullptr);
    EXPECT_TRUE(Config("text")["x"].isNull());

    Config nested = parse(R"({"model": {"vocab": {"a": 0}, "fuse_unk": null}})");
    EXPECT_EQ(nested.get("model").get("vocab").get("a").integerValue(), 0);
    EXPECT_TRUE(nested.get("model").get("fuseUnk").isNull());
}

TEST(Config, UncamelCase) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"addPrefixSpace", "add_prefix_space"},
                 {"eosTokenID", "eos_token_id"},
                 {"Type", "type"},
                 {"already_snake", "already_snake"},
                 {"ÉtatÀ", "état_à"},
                 {"", ""}};
    for (auto c : cases) EXPECT_EQ(Config::uncamelCase(c.in).string(), c.out) << c.in;
}

TEST(Config, BooleanReading) {
    struct Case {
        Config value;
        std::optional<bool> expected;
    } cases[] = {{Config(1), true},
                 {Config(2), false},
                 {Config(0), false},
                 {Config(-1), false},
                 {Config("TRUE"), true},
                 {Config("t"), true},
                 {Config("1"), true},
                 {Config("False"), false},
                 {Config("f"), false},
                 {Config("0"), false},
                 {Config("yes"), std::nullopt},
                 {Config(1.0f), std::nullopt},
                 {Config(), std::nullopt},
                 {Config(true), true},
                 {Config::array({1}), std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(c.value.boolean(), c.expected) << c.value.description();
}

TEST(Config, CrossKindEquality) {
    struct Case {
        Config a, b;
        bool equal;
    } cases[] = {
        {Config(1), Config(true), true},
        {Config(0), Config(false), true},
        {Config(2), Config(false), true},
        {Config(2), Config(true), false},
        {Config("1"), Config(true), true},
        {Config("yes"), Config(false), false},
        {Config("1"), Config(1), false},
        {Config(2), Config(2.0f), true},
        {Config(2), Config(2.5f), false},
        {Config(1.0f), Config(true), false},
        {Config("a"), Config("a"), true},
        {Config(u"\u00E9"), Config(u"e\u0301"), false},
        {Config(), Config(), true},
        {Config(), Config(0), false},
        {Config::array({1, "x"}), Config::array({1, "x"}), true},
        {Config::array({1, "x"}), Config::array({"x", 1}), false},
        {Config{{"k", 1}}, Config{{"k", true}}, true},
        {Config{{"k", 1}}, Config{{"k", 1}, {"j", 1}}, false},
        {Config(Config::Token{5, "x"}), Config(Config::Token{5, "x"}), true},
        {Config(Config::Token{5, "x"}), Config::array({"x", 5}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " vs " << c.a.description();
    }
}

TEST(Config, HashAgreesForEqualValuesOfOneKind) {
    EXPECT_EQ(parse(R"({"a":[1,"x"],"b":{"c":2.5}})").hash(),
              parse(R"({"b":{"c":2.5},"a":[1,"x"]})").hash());
    EXPECT_EQ(Config(0.0f).hash(), Config(-0.0f).hash());
    EXPECT_NE(Config(u"\u00E9").hash(), Config(u"e\u0301").hash());
}

TEST(Config, TypedReadings) {
    EXPECT_EQ(Config::array({"x", 5}).token(), std::make_pair(uint64_t(5), std::string("x")));
    EXPECT_EQ(Config::array({5, "x"}).token(), std::nullopt);
    EXPECT_EQ(Config::array({"x", 5, 6}).token(), std::nullopt);
    EXPECT_EQ(Config::array({"x", -5}).token(), std::nullopt);
    EXPECT_EQ(Config(Config::Token{7, "t"}).token(), std::make_pair(uint64_t(7), std::string("t")));

    EXPECT_EQ(Config::array({"a", 1, "b", Config()}).getStrings(),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config::array({1, 2}).getStrings(), std::vector<std::string>{});
    EXPECT_EQ(Config("a").getStrings(), std::nullopt);
}

TEST(Config, Descriptions) {
    struct Case {
        Config value;
        const char* text;
    } cases[] = {
        {Config("a\"b"), "\"a\"b\""},
        {Config(-12), "-12"},
        {Config(true), "true"},
        {Config(0.1f), "0.1"},
        {Config(2.0f), "2.0"},
        {Config(1e-5f), "1e-05"},
        {Config(1e-4f), "0.0001"},
        {Config(16777216.0f), "16777216.0"},
        {Config(1e8f), "1e+08"},
        // Fixed notation holds up to 2^25 for single precision, as in every other number text.
        {Config(16777218.0f), "16777218.0"},
        {Config(3e7f), "30000000.0"},
        {Config(33554436.0f), "3.3554436e+07"},
        {Config(-2.5f), "-2.5"},
        {Config(2.0f / 3), "0.6666667"},
        {Config(), "null"},
        {Config::array({1, "x"}), "[[1, \"x\"]]"},
        {Config(Config::Array{}), "[[]]"},
        {Config{{"k", Config::array({true})}}, "{[k: [[true]]]}"},
        {Config(Config::Dictionary{}), "{[:]}"},
        {Config(Config::Token{3, "abc"}), "(3, abc)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.text);
}

TEST(Config, JsonConversionMapsNumbersAndBooleans) {
    Config c = parse(R"({"t": true, "f": false, "i": 3, "w": 2.0, "x": 2.5, "big": 1e300, "n": null,
                         "neg": -7, "u": 18446744073709551615, "s": "v", "a": [1, "b", [true]]})");
    EXPECT_EQ(c.get("t").kind(), Kind::integer);
    EXPECT_EQ(c.get("t").integerValue(), 1);
    EXPECT_EQ(c.get("f").integerValue(), 0);
    EXPECT_EQ(c.get("t").boolean(), true);
    EXPECT_EQ(c.get("t"), Config(true));
    EXPECT_EQ(c.get("i").integerValue(), 3);
    EXPECT_EQ(c.get("w").kind(), Kind::integer);
    EXPECT_EQ(c.get("x").floatValue(), 2.5f);
    EXPECT_EQ(c.get("big").kind(), Kind::floating);
    EXPECT_EQ(c.get("neg").integerValue(), -7);
    EXPECT_EQ(c.get("u").kind(), Kind::floating);
    EXPECT_TRUE(c.get("n").isNull());
    EXPECT_EQ(c.get("s").stringValue(), "v");
    const auto* a = c.get("a").arrayValue();
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->size(), 3u);
    EXPECT_EQ((*a)[2].arrayValue()->at(0).kind(), Kind::integer);
}

TEST(Config, TypedDecodingAndEncodingRoundTrip) {
    auto j = nlohmann::json::parse(R"({"b": true, "i": 4, "f": 0.1, "s": "x", "tok": [5, "x"],
                                       "arr": [1, 2, 3], "n": null, "o": {"k": [1.5]}})");
    Config c = Config::fromJson(j, Config::JsonSource::encoded);
    EXPECT_EQ(c.get("b").kind(), Kind::boolean);
    EXPECT_EQ(c.get("f").kind(), Kind::floating);
    EXPECT_EQ(c.get("tok").kind(), Kind::token);
    EXPECT_EQ(c.get("arr").kind(), Kind::array);
    EXPECT_TRUE(c.get("n").isNull());
    EXPECT_EQ(Config::fromJson(c.encoded(), Config::JsonSource::encoded), c);
    EXPECT_EQ(c.get("f").encoded().dump(), "0.1");
    EXPECT_EQ(Config(Config::Token{5, "x"}).encoded().dump(), "[5,\"x\"]");
}

TEST(Config, JsonSourceDecidesOnlyBooleansAndTokensAtAnyDepth) {
    using Source = Config::JsonSource;
    struct Case {
        const char* json;
        Kind fromFile, fromEncoded;  // of the value under "v", two levels down
    };
    const Case cases[] = {
        {"true", Kind::integer, Kind::boolean},
        {"false", Kind::integer, Kind::boolean},
        {"[5, \"x\"]", Kind::array, Kind::token},
        {"[5.0, \"x\"]", Kind::array, Kind::token},
        {"[-1, \"x\"]", Kind::array, Kind::array},  // no token has a negative id
        {"[1.5, \"x\"]", Kind::array, Kind::array},
        {"[\"x\", 5]", Kind::array, Kind::array},
        {"[5, \"x\", 6]", Kind::array, Kind::array},
        {"2.0", Kind::integer, Kind::integer},
        {"18446744073709551615", Kind::floating, Kind::floating},
        {"null", Kind::null, Kind::null},
    };
    for (const auto& c : cases) {
        const auto j = nlohmann::json::parse(std::string(R"({"a": [{"v": )") + c.json + "}]}");
        const Config file = Config::fromJson(j, Source::configurationFile);
        const Config encoded = Config::fromJson(j, Source::encoded);
        EXPECT_EQ(file.get("a").arrayValue()->at(0).get("v").kind(), c.fromFile) << c.json;
        EXPECT_EQ(encoded.get("a").arrayValue()->at(0).get("v").kind(), c.fromEncoded) << c.json;
    }
    EXPECT_EQ(Config::fromJson(nlohmann::json(true), Source::configurationFile).integerValue(), 1);
}

TEST(Config, SetOneEntry) {
    Config original = parse(R"({"model_type": "whisper"})");
    Config copy = original;
    copy.set("tokenizer_class", Config("WhisperTokenizer"));
    EXPECT_EQ(copy.get("tokenizerClass").stringValue(), "WhisperTokenizer");
    EXPECT_EQ(copy.get("modelType").stringValue(), "whisper");
    EXPECT_TRUE(original.get("tokenizerClass").isNull());  // shared storage is not touched

    Config notDict;
    notDict.set("k", Config("v"));
    EXPECT_EQ(notDict, (Config{{"k", "v"}}));
}

TEST(ConfigJson, DuplicatesByteOrderMarksAfterQuotes) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"\x22\xEF\xBB\xBF\x61\x22", "\x22\xEF\xBB\xBF\xEF\xBB\xBF\x61\x22"},
        {"\x22\xEF\xBB", "\x22\xEF\xBB"},
        {"\x22\xEF\xBB\xBF", "\x22\xEF\xBB\xBF\xEF\xBB\xBF"},
        {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},
        {"plain", "plain"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(vortil::duplicatingBOMsAfterQuotes(c.in), c.out);
}

TEST(ConfigJson, KeepsExactlyTheLeadingMarkOfAStringValue) {
    Config c = parse(
        "\xEF\xBB\xBF{\"k\":\"\xEF\xBB\xBF"
        "a\",\"\xEF\xBB\xBFkey\":1}");
    EXPECT_EQ(c.get("k").binaryString()->value(), u"\uFEFFa");
    EXPECT_EQ(c[BinaryDistinctString(u"\uFEFFkey")].integerValue(), 1);
    EXPECT_THROW(vortil::bomPreservingJsonObject("{\"k\": "), nlohmann::json::parse_error);
}

TEST(ConfigJson, ReadsTheWhisperTokenizerFiles) {
    std::ifstream in(std::string(VERBOLIN_TEST_DATA_DIR) + "/whisper-en-tokenizer/tokenizer.json",
                     std::ios::binary);
    ASSERT_TRUE(in);
    std::stringstream ss;
    ss << in.rdbuf();
    Config data = parse(ss.str());
    EXPECT_EQ(data.get("model").get("type").stringValue(), "BPE");
    EXPECT_EQ(data.get("model").get("vocab")["Hello"].integerValue(), 15496);
    EXPECT_EQ(data.get("preTokenizer").get("addPrefixSpace").kind(), Kind::integer);  // JSON false
    EXPECT_EQ(data.get("preTokenizer").get("addPrefixSpace").boolean(), false);
}

// Readers recurse once per level, so nesting is refused up front; numbers
// out of a double's range are malformed input like any other.
TEST(ConfigJson, DeepNestingAndHugeNumbersAreParseErrors) {
    auto nested = [](size_t depth) {
        return "{\"a\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    const std::string fine[] = {
        nested(512), "{\"a\":\"" + std::string(10000, '[') + "\"}",  // brackets inside a string
        "{\"a\":\"\\\"" + std::string(10000, '{') + "\"}",           // after an escaped quote
    };
    for (const auto& text : fine) EXPECT_NO_THROW(parse(text)) << text.substr(0, 24);
    const std::string refused[] = {nested(513), nested(22800), "{\"x\": 1e400}", "[-1e400]"};
    for (const auto& text : refused)
        EXPECT_THROW(parse(text), nlohmann::json::parse_error) << text.substr(0, 24);
}
