#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;
using Pieces = std::vector<std::string>;

namespace {

const std::string bar = "\xE2\x96\x81";  // ▁
const std::string gdot = "\xC4\xA0";     // Ġ, the byte-level space

PreTokenizerPtr build(const std::string& json) {
    return PreTokenizerFactory::fromConfig(
        Config::fromJson(nlohmann::json::parse(json), Config::JsonSource::configurationFile));
}

}  // namespace

TEST(PreTokenizer, ExamplesByType) {
    struct Case {
        const char* config;
        std::string input;
        bool firstSection;
        Pieces expected;
    } cases[] = {
        {R"({"type":"Whitespace"})", "  hello   world ", true, {"hello", "world"}},
        {R"({"type":"WhitespaceSplit"})", "  hello   world ", true, {"hello", "world"}},
        {R"({"type":"BertPreTokenizer"})", "Hi, you!!", true, {"Hi", ",", "you", "!", "!"}},
        {R"({"type":"Punctuation"})", "Hi, you!!", true, {"Hi", ",", " you", "!!"}},
        {R"({"type":"Digits"})", "abc123", true, {"abc", "123"}},
        {R"({"type":"Digits","individual_digits":true})", "abc123", true, {"abc", "1", "2", "3"}},
        {R"({"type":"ByteLevel"})", "Hello world", true, {"Hello", gdot + "world"}},
        {R"({"type":"ByteLevel","add_prefix_space":true})",
         "Hello world",
         false,
         {gdot + "Hello", gdot + "world"}},
        {R"({"type":"ByteLevel","add_prefix_space":true})",
         "a!b",
         true,
         {gdot + "a", gdot + "!", gdot + "b"}},
        {R"({"type":"ByteLevel","use_regex":false})",
         "Hi you\n",
         true,
         {"Hi" + gdot + "you\xC4\x8A"}},
        {R"({"type":"ByteLevel"})",
         "I'm  2 caf\xC3\xA9s",
         true,
         {"I", "'m", gdot, gdot + "2", gdot + "caf\xC3\x83\xC2\xA9s"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true,"prepend_scheme":"first"})",
         "Hey friend",
         true,
         {bar + "Hey", bar + "friend"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true,"prepend_scheme":"first"})",
         "Hey friend",
         false,
         {"Hey", bar + "friend"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true,"prepend_scheme":"never"})",
         "Hey friend",
         true,
         {"Hey", bar + "friend"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true})",
         "Hey",
         false,
         {bar + "Hey"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true,"prepend_scheme":"odd"})",
         "Hey",
         false,
         {bar + "Hey"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true})",
         "\u2581"
         "Hey",
         true,
         {bar + "Hey"}},
        {R"({"type":"Metaspace"})", "a b", true, {"a", " b"}},
        {R"({"type":"Split","pattern":{"String":"-"},"behavior":"Removed"})",
         "a-b",
         true,
         {"a", "-", "b"}},
        {R"({"type":"Split","pattern":{"String":"-"},"invert":true})", "a-b", true, {"a", "b"}},
        {R"({"type":"Split","pattern":{"Regex":"-"},"invert":true})", "a-b", true, {"a", "-", "b"}},
        {R"({"type":"Split","pattern":{"Regex":"\\d+"}})", "a12b3", true, {"a", "12", "b", "3"}},
        {R"({"type":"Split"})", "a-b", true, {"a-b"}},
        {R"({"type":"Sequence","pretokenizers":[]})", "as is", true, {"as is"}},
        {R"({"type":"Sequence","pretokenizers":[{"type":"WhitespaceSplit"},{"x":1},{"type":"Digits"}]})",
         "ab12 c3",
         true,
         {"ab", "12", "c", "3"}},
    };
    for (const auto& c : cases) {
        auto p = build(c.config);
        ASSERT_NE(p, nullptr) << c.config;
        EXPECT_EQ((*p)(c.input, PreTokenizerOptions{c.firstSection}), c.expected)
            << c.config << " on " << c.input;
    }
}

TEST(PreTokenizer, ListFormAppliesToEachTextInOrder) {
    auto p = build(R"({"type":"Digits","individual_digits":true})");
    EXPECT_EQ((*p)(Pieces{"a1", "22"}, {}), (Pieces{"a", "1", "2", "2"}));
}

TEST(PreTokenizer, MissingOrNonStringTypeGivesNone) {
    EXPECT_EQ(PreTokenizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(build(R"({"type":1})"), nullptr);
    EXPECT_EQ(build(R"({"add_prefix_space":true})"), nullptr);
}

TEST(PreTokenizer, RejectionsCarryExactMessages) {
    struct Case {
        const char* config;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported PreTokenizer type: "},
        {R"({"type":"Fancy"})", "Unsupported PreTokenizer type: Fancy"},
        {R"({"type":"Sequence","pretokenizers":"x"})", "No pretokenizers in Sequence"},
        {R"({"type":"Sequence","pretokenizers":[{"type":"Bad"}]})",
         "Unsupported PreTokenizer type: Bad"},
    };
    for (const auto& c : cases) {
        try {
            build(c.config);
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const TokenizerConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// A pattern from a tokenizer file that backtracks for ever (each added "a"
// multiplies the work) must fail with its name instead of hanging.
TEST(PreTokenizer, ACatastrophicSplitPatternFailsNamingThePattern) {
    auto split = build(R"({"type":"Split","pattern":{"Regex":"(a|aa)+$"},"behavior":"Isolated"})");
    EXPECT_EQ((*split)("aab", PreTokenizerOptions{}), (Pieces{"aab"}));
    try {
        (*split)(std::string(64, 'a') + "b", PreTokenizerOptions{});
        ADD_FAILURE() << "no error";
    } catch (const RegexError& e) {
        EXPECT_NE(std::string(e.what()).find("(a|aa)+$"), std::string::npos) << e.what();
    }
}
