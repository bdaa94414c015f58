#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "vortilcore/tokenizers/Normalizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;

namespace {

NormalizerPtr build(const std::string& json) {
    return NormalizerFactory::fromConfig(
        Config::fromJson(nlohmann::json::parse(json), Config::JsonSource::configurationFile));
}

std::string run(const std::string& json, const std::string& text) {
    auto n = build(json);
    if (!n) return "<none>";
    return (*n)(text);
}

}  // namespace

TEST(Normalizer, ExamplesByType) {
    struct Case {
        const char* config;
        std::string input;
        std::string expected;
    } cases[] = {
        {R"({"type":"Bert"})", "H\xC3\xA9llo\tW\xC3\xB6rld", "hello world"},
        {R"({"type":"BertNormalizer"})", "H\xC3\xA9llo\tW\xC3\xB6rld", "hello world"},
        {R"({"type":"BertNormalizer","lowercase":false})", "H\xC3\xA9llo", "H\xC3\xA9llo"},
        {R"({"type":"BertNormalizer","lowercase":false,"strip_accents":true})", "H\xC3\xA9llo",
         "Hello"},
        {R"({"type":"BertNormalizer"})", "\xE4\xB8\xAD\xE6\x96\x87",
         " \xE4\xB8\xAD  \xE6\x96\x87 "},
        {R"({"type":"BertNormalizer","handle_chinese_chars":false})", "\xE4\xB8\xAD",
         "\xE4\xB8\xAD"},
        {R"({"type":"BertNormalizer","clean_text":false})", "a\tb", "a\tb"},
        {R"({"type":"BertNormalizer"})", "a\r\nb\x01", "a b\x01"},  // CR LF is one character
        {R"({"type":"Prepend","prepend":"\u2581"})", "", "\xE2\x96\x81"},
        {R"({"type":"Prepend","prepend":"\u2581"})", "hi", "\xE2\x96\x81hi"},
        {R"({"type":"Prepend"})", "hi", "hi"},
        {R"({"type":"Replace","pattern":{"String":" "},"content":"\u2581"})", "a b  c",
         "a\xE2\x96\x81"
         "b\xE2\x96\x81\xE2\x96\x81"
         "c"},
        {R"({"type":"Replace","pattern":{"Regex":" +"},"content":"\u2581"})", "a b  c",
         "a\xE2\x96\x81"
         "b\xE2\x96\x81"
         "c"},
        {R"j({"type":"Replace","pattern":{"Regex":"(\\w)-(\\w)"},"content":"$2$1"})j", "a-b c-d",
         "ba dc"},
        {R"({"type":"Replace","pattern":{"String":"x"}})", "x", "x"},
        {R"({"type":"Replace","content":"y"})", "x", "x"},
        {R"({"type":"Lowercase"})",
         "\xC3\x80"
         "BC",
         "\xC3\xA0"
         "bc"},
        {R"({"type":"NFD"})", "\xC3\xA9", "e\xCC\x81"},
        {R"({"type":"NFC"})", "e\xCC\x81", "\xC3\xA9"},
        {R"({"type":"NFKD"})", "\xEF\xAC\x81", "fi"},
        {R"({"type":"NFKC"})", "\xEF\xAC\x81", "fi"},
        {R"({"type":"StripAccents"})", "\xC3\xA9\xEF\xAC\x81",
         "\xC3\xA9"
         "fi"},
        {R"({"type":"Strip"})", "  a b \n", "a b"},
        {R"({"type":"Strip","strip_left":false})", "  a b \n", "  a b"},
        {R"({"type":"Strip","stripRight":false})", "\xE3\x80\x80 a ",
         "a "},  // ideographic space is whitespace
        {R"({"type":"Precompiled","precompiled_charsmap":"ignored"})",
         "a\xE2\x80\x8B"
         "b",
         "a b"},
        {R"({"type":"Precompiled"})",
         "a\x07"
         "b",
         "ab"},
        {R"({"type":"Precompiled"})", "x\xEF\xBD\x9E\xEF\xBD\x9Ey", "x\xEF\xBD\x9Ey"},
        {R"({"type":"Precompiled"})", "\xEF\xBD\x9Ex", "x"},
        {R"({"type":"Precompiled"})", "\xEF\xAC\x81\t", "fi "},
        {R"({"type":"Sequence","normalizers":[]})", "As Is", "As Is"},
        {R"({"type":"Sequence","normalizers":[{"type":"NFD"},{"no":"type"},{"type":"Lowercase"},
            {"type":"Prepend","prepend":">"}]})",
         "\xC3\x89", ">e\xCC\x81"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.config, c.input), c.expected) << c.config;
}

TEST(Normalizer, MissingOrNonStringTypeGivesNone) {
    EXPECT_EQ(NormalizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(build(R"({"type":3})"), nullptr);
    EXPECT_EQ(build(R"({"type":null})"), nullptr);
    EXPECT_EQ(build(R"({"prepend":"x"})"), nullptr);
}

TEST(Normalizer, RejectionsCarryExactMessages) {
    struct Case {
        const char* config;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported Normalizer type: "},
        {R"({"type":"Fancy"})", "Unsupported Normalizer type: Fancy"},
        {R"({"type":"Sequence","normalizers":{"type":"NFC"}})", "No normalizers in Sequence"},
        {R"({"type":"Sequence"})", "No normalizers in Sequence"},
        {R"({"type":"Replace","pattern":{"Regex":"(a"},"content":"x"})",
         "Cannot build regexp from (a"},
        {R"({"type":"Sequence","normalizers":[{"type":"Nope"}]})",
         "Unsupported Normalizer type: Nope"},
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

TEST(Normalizer, ACatastrophicReplacePatternFailsNamingThePattern) {
    try {
        run(R"({"type":"Replace","pattern":{"Regex":"(a|aa)+$"},"content":"x"})",
            std::string(64, 'a') + "b");
        ADD_FAILURE() << "no error";
    } catch (const RegexError& e) {
        EXPECT_NE(std::string(e.what()).find("(a|aa)+$"), std::string::npos) << e.what();
    }
}
