#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/PostProcessor.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;

namespace {

using Tokens = std::vector<std::string>;

Config json(const std::string& text) {
    return Config::fromJson(nlohmann::json::parse(text), Config::JsonSource::configurationFile);
}

Config readConfig(const std::string& name) {
    std::ifstream in(std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "llama-toy" / name,
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

const Config& llamaData() {
    static const Config data = readConfig("tokenizer.json");
    return data;
}

// The fixture's configuration with `legacy` replaced (or removed for nullptr).
Config configWithLegacy(const char* legacy) {
    Config config = readConfig("tokenizer_config.json");
    Config::Dictionary d = *config.dictionaryValue();
    d.erase(BinaryDistinctString("legacy"));
    if (legacy) d.insert_or_assign(BinaryDistinctString("legacy"), json(legacy));
    return Config(std::move(d));
}

std::string mismatchMessage(const std::string& config, const std::string& processor = "null") {
    try {
        maybeUpdatePostProcessor(json(config), json(processor));
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.errorCase(), TokenizerError::Case::mismatchedConfig);
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(LlamaPreTrainedTokenizer, LegacyReading) {
    struct Case {
        const char* legacy;
        bool expected;
    } cases[] = {{nullptr, true},      {"true", true},      {"false", false},
                 {"\"false\"", false}, {"\"maybe\"", true}, {"null", true}};
    for (const auto& c : cases) {
        LlamaPreTrainedTokenizer t(configWithLegacy(c.legacy), llamaData());
        EXPECT_EQ(t.isLegacy(), c.expected) << (c.legacy ? c.legacy : "absent");
    }
}

TEST(LlamaPreTrainedTokenizer, LegacyKeepsTheDataAndTheGeneralPath) {
    LlamaPreTrainedTokenizer t(configWithLegacy(nullptr), llamaData());
    EXPECT_TRUE(t.normalizer());
    EXPECT_FALSE(t.preTokenizer());
    // The byte-level post-processor is not a template, so one replaces it.
    EXPECT_TRUE(dynamic_cast<const TemplateProcessing*>(t.postProcessor().get()));
    EXPECT_EQ(t.tokenize("Hi there"), (Tokens{"\u2581Hi", "\u2581there"}));
    EXPECT_EQ(t.tokenize("Hi there"), t.PreTrainedTokenizer::tokenize("Hi there"));
    EXPECT_EQ(t.encode("Hi there"), (std::vector<int>{1, 11, 16}));
    EXPECT_EQ(t.encode("Hi there", false), (std::vector<int>{11, 16}));
}

TEST(LlamaPreTrainedTokenizer, NonLegacyRewritesTheDataAndMarksTheText) {
    LlamaPreTrainedTokenizer t(configWithLegacy("false"), llamaData());
    EXPECT_FALSE(t.normalizer());
    EXPECT_TRUE(dynamic_cast<const MetaspacePreTokenizer*>(t.preTokenizer().get()));
    struct Case {
        std::string text;
        Tokens expected;
    } cases[] = {
        {"Hi there", {"\u2581Hi", "\u2581there"}},
        // The marker in the text becomes a space: "▁Hi  there" on the general path.
        {"Hi \u2581there", {"\u2581Hi", "\u2581", "\u2581there"}},
        // A lone marker goes only in front of a special token.
        {"<s>Hi", {"<s>", "Hi"}},
        {" Hi", {"\u2581", "\u2581Hi"}},
    };
    for (const auto& c : cases) EXPECT_EQ(t.tokenize(c.text), c.expected) << c.text;
    EXPECT_EQ(t.tokenize("Hi \u2581there"), t.PreTrainedTokenizer::tokenize("\u2581Hi  there"));
    EXPECT_EQ(t.encode("<s>Hi"), (std::vector<int>{1, 1, 17}));
}

TEST(LlamaPreTrainedTokenizer, TemplateFromTheConfiguration) {
    struct Case {
        const char* config;
        const char* processor;
        const char* expected;  // nullptr: the data keeps its post-processor
    } cases[] = {
        {"{}", "null",
         R"({"type":"TemplateProcessing","single":[{"Sequence":{"id":"A","type_id":0}}],
             "pair":[{"Sequence":{"id":"A","type_id":0}},{"Sequence":{"id":"B","type_id":1}}]})"},
        {R"({"add_bos_token":true,"bos_token":{"content":"<s>","special":true},
             "add_eos_token":true,"eos_token":"</s>"})",
         R"({"type":"ByteLevel"})",
         R"({"type":"TemplateProcessing",
             "single":[{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}},
                       {"SpecialToken":{"id":"</s>","type_id":0}}],
             "pair":[{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}},
                     {"SpecialToken":{"id":"</s>","type_id":0}},{"SpecialToken":{"id":"<s>","type_id":1}},
                     {"Sequence":{"id":"B","type_id":1}},{"SpecialToken":{"id":"</s>","type_id":1}}]})"},
        {R"({"add_eos_token":true,"eos_token":"</s>","bos_token":"<s>"})", "null",
         R"({"type":"TemplateProcessing",
             "single":[{"Sequence":{"id":"A","type_id":0}},{"SpecialToken":{"id":"</s>","type_id":0}}],
             "pair":[{"Sequence":{"id":"A","type_id":0}},{"SpecialToken":{"id":"</s>","type_id":0}},
                     {"Sequence":{"id":"B","type_id":1}},{"SpecialToken":{"id":"</s>","type_id":1}}]})"},
        {R"({"add_bos_token":true,"bos_token":"<s>"})",
         R"({"type":"TemplateProcessing","single":[{"Sequence":{"id":"A"}}],"pair":[]})", nullptr},
    };
    for (const auto& c : cases) {
        auto got = maybeUpdatePostProcessor(json(c.config), json(c.processor));
        if (!c.expected) {
            EXPECT_FALSE(got) << c.config;
        } else {
            ASSERT_TRUE(got) << c.config;
            EXPECT_EQ(*got, json(c.expected)) << got->description();
        }
    }
}

TEST(LlamaPreTrainedTokenizer, MissingSpecialTokensAreAMismatch) {
    EXPECT_EQ(mismatchMessage(R"({"add_eos_token":true})"),
              "Tokenizer configuration mismatch: add_eos_token is True but eos_token is nil");
    EXPECT_EQ(mismatchMessage(R"({"add_bos_token":true,"bos_token":{"special":true}})"),
              "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil");
    EXPECT_EQ(mismatchMessage(R"({"add_bos_token":true,"bos_token":7,"add_eos_token":true})"),
              "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil");

    Config config = configWithLegacy(nullptr);
    config.set(BinaryDistinctString("add_eos_token"), Config(true));
    config.set(BinaryDistinctString("eos_token"), Config());
    try {
        LlamaPreTrainedTokenizer t(config, llamaData());
        ADD_FAILURE() << "built";
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.payload(), "add_eos_token is True but eos_token is nil");
    }
}
