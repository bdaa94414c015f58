#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "vortilcore/tokenizers/PostProcessor.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;

namespace {

PostProcessorPtr build(const std::string& json) {
    return PostProcessorFactory::fromConfig(
        Config::fromJson(nlohmann::json::parse(json), Config::JsonSource::configurationFile));
}

const char* templateConfig = R"({"type":"TemplateProcessing",
    "single":[{"SpecialToken":{"id":"<|endoftext|>","type_id":0}},{"Sequence":{"id":"A","type_id":0}}],
    "pair":[{"SpecialToken":{"id":"<s>"}},{"Sequence":{"id":"A"}},{"SpecialToken":{"id":"</s>"}},
            {"Sequence":{"id":"B"}},{"Other":{"id":"C"}}]})";

const char* bertConfig = R"({"type":"BertProcessing","sep":["[SEP]",102],"cls":["[CLS]",101]})";
const char* robertaConfig = R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0]})";

}  // namespace

TEST(PostProcessor, ExamplesByType) {
    const TokenList ab{"a", "b"};
    const TokenList a{"a"};
    const TokenList b{"b"};
    struct Case {
        const char* config;
        TokenList tokens;
        std::optional<TokenList> pair;
        bool special;
        TokenList expected;
    } cases[] = {
        {templateConfig, ab, std::nullopt, true, {"<|endoftext|>", "a", "b"}},
        {templateConfig, ab, std::nullopt, false, {"a", "b"}},
        {templateConfig, a, b, true, {"<s>", "a", "</s>", "b"}},
        {templateConfig,
         a,
         TokenList{},
         true,
         {"<s>", "a", "</s>"}},  // an empty pair still picks "pair"
        {templateConfig, a, b, false, {"a", "b"}},
        // "B" in a template used without a pair adds nothing.
        {R"({"type":"TemplateProcessing","single":[{"Sequence":{"id":"B"}},{"Sequence":{"id":"A"}}],"pair":[]})",
         a,
         std::nullopt,
         true,
         {"a"}},
        {R"({"type":"TemplateProcessing","single":[],"pair":[]})", ab, std::nullopt, true, {}},
        {bertConfig, a, b, true, {"[CLS]", "a", "[SEP]", "b", "[SEP]"}},
        {bertConfig, a, TokenList{}, true, {"[CLS]", "a", "[SEP]"}},
        {bertConfig, a, std::nullopt, true, {"[CLS]", "a", "[SEP]"}},
        {bertConfig, a, b, false, {"a", "b"}},
        {robertaConfig, a, b, true, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {robertaConfig, a, b, false, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {robertaConfig, a, TokenList{}, false, {"<s>", "a", "</s>"}},
        {R"({"type":"ByteLevel"})", a, b, true, {"a"}},
        {R"({"type":"Sequence","processors":[{"type":"ByteLevel"},{"no":"type"},)"
         R"({"type":"BertProcessing","sep":["[SEP]",102],"cls":["[CLS]",101]}]})",
         a,
         b,
         true,
         {"[CLS]", "a", "[SEP]"}},
        {R"({"type":"Sequence","processors":[]})", a, b, true, {"a"}},
    };
    for (const auto& c : cases) {
        auto p = build(c.config);
        ASSERT_NE(p, nullptr) << c.config;
        EXPECT_EQ((*p)(c.tokens, c.pair, c.special), c.expected)
            << c.config << " special=" << c.special;
    }
}

TEST(PostProcessor, RobertaTrimsWhitespaceRuns) {
    struct Case {
        const char* config;
        std::string token;
        std::string expected;
    } cases[] = {
        {robertaConfig, "   hi  ", " hi "},
        {robertaConfig, "hi", "hi"},
        {robertaConfig, "\n\thi\u3000\u3000", "\thi\u3000"},
        {robertaConfig, " ", " "},  // whitespace only: one character stays
        {robertaConfig, "  ", ""},
        {robertaConfig, "    ", ""},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         "   hi  ", "hi"},
        // Without prefix spaces only spaces and tabs go; line breaks stay.
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         "\t\u00A0hi\n ", "hi\n"},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         "\u2003x\u202F\t", "x"},
        // Malformed bytes: a token that loses blanks reads them as U+FFFD, one
        // that loses none keeps its bytes.
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         "\xC3 hi ", "\xEF\xBF\xBD hi"},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         "\xC3hi\xE2\x82", "\xC3hi\xE2\x82"},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"trim_offset":false})",
         "   hi  ", "   hi  "},
    };
    for (const auto& c : cases) {
        auto p = build(c.config);
        ASSERT_NE(p, nullptr);
        TokenList expected{"<s>", c.expected, "</s>", "</s>", c.expected, "</s>"};
        EXPECT_EQ((*p)({c.token}, TokenList{c.token}, true), expected)
            << c.config << " on '" << c.token << "'";
    }
}

TEST(PostProcessor, MissingOrNonStringTypeGivesNone) {
    EXPECT_EQ(PostProcessorFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(build(R"({"type":5})"), nullptr);
    EXPECT_EQ(build(R"({"single":[]})"), nullptr);
}

TEST(PostProcessor, RejectionsCarryExactMessages) {
    struct Case {
        const char* config;
        const char* message;
    } cases[] = {
        {R"({"type":""})", "Unsupported PostProcessor type: "},
        {R"({"type":"Fancy"})", "Unsupported PostProcessor type: Fancy"},
        {R"({"type":"TemplateProcessing","pair":[]})", "Missing `single` processor configuration"},
        {R"({"type":"TemplateProcessing","single":[]})", "Missing `pair` processor configuration"},
        {R"({"type":"TemplateProcessing","single":{},"pair":[]})",
         "Missing `single` processor configuration"},
        {R"({"type":"BertProcessing"})", "Missing `sep` processor configuration"},
        {R"({"type":"BertProcessing","sep":["[SEP]",102]})",
         "Missing `cls` processor configuration"},
        {R"({"type":"BertProcessing","sep":[102,"[SEP]"],"cls":["[CLS]",101]})",
         "Missing `sep` processor configuration"},
        {R"({"type":"RobertaProcessing","cls":["<s>",0]})",
         "Missing `sep` processor configuration"},
        {R"({"type":"Sequence"})", "Missing `processors` configuration"},
        {R"({"type":"Sequence","processors":[{"type":"Nope"}]})",
         "Unsupported PostProcessor type: Nope"},
    };
    for (const auto& c : cases) {
        try {
            build(c.config);
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const TokenizerConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.config;
        }
    }
}
