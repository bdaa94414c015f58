#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/tokenizers/AutoTokenizer.hpp"
#include "vortilcore/tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;

namespace {

Config json(const std::string& text) {
    return Config::fromJson(nlohmann::json::parse(text), Config::JsonSource::configurationFile);
}

Config llamaData() {
    std::ifstream in(std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "llama-toy/tokenizer.json",
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

}  // namespace

TEST(AutoTokenizer, ClassByName) {
    struct Case {
        const char* config;
        const char* expected;
    } cases[] = {
        {R"({"tokenizer_class":"LlamaTokenizerFast"})", "LlamaPreTrainedTokenizer"},
        {R"({"tokenizer_class":"LlamaTokenizer"})", "LlamaPreTrainedTokenizer"},
        {R"({"tokenizerClass":"LlamaFastTokenizerFast"})", "LlamaPreTrainedTokenizer"},
        {R"({"tokenizer_class":"GPT2TokenizerFast"})", "PreTrainedTokenizer"},
        {R"({"tokenizer_class":"CodeLlamaTokenizer"})", "PreTrainedTokenizer"},
        {R"({"tokenizer_class":"llamatokenizer"})", "PreTrainedTokenizer"},
        {R"({"tokenizer_class":"LlamaTokenizerFFastast"})", "PreTrainedTokenizer"},  // one pass
        {R"({"tokenizer_class":42})", "PreTrainedTokenizer"},
        {R"({})", "PreTrainedTokenizer"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AutoTokenizer::tokenizerClass(json(c.config)).name, c.expected) << c.config;
}

TEST(AutoTokenizer, ChosenClassBuildsItsTokenizer) {
    const Config config = json(R"({"tokenizer_class":"LlamaTokenizerFast","legacy":false})");
    auto tokenizer = AutoTokenizer::tokenizerClass(config).create(config, llamaData(), true);
    auto* llama = dynamic_cast<LlamaPreTrainedTokenizer*>(tokenizer.get());
    ASSERT_TRUE(llama);
    EXPECT_FALSE(llama->isLegacy());
    EXPECT_EQ(tokenizer->tokenize("<s>Hi"), (std::vector<std::string>{"<s>", "Hi"}));
}

TEST(AutoTokenizer, UnknownClassIsAnErrorOnlyWhenStrict) {
    const Config config = json(R"({"tokenizer_class":"NoSuchTokenizerFast"})");
    const PreTrainedTokenizerClass& general = AutoTokenizer::tokenizerClass(config);
    try {
        general.create(config, llamaData(), true);
        ADD_FAILURE() << "built";
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.errorCase(), TokenizerError::Case::unsupportedTokenizer);
        EXPECT_STREQ(e.what(), "The tokenizer type 'NoSuchTokenizer' is not supported.");
    }
    testing::internal::CaptureStdout();
    auto lenient = general.create(config, llamaData(), false);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("NoSuchTokenizer is not registered"), std::string::npos) << printed;
    EXPECT_FALSE(dynamic_cast<LlamaPreTrainedTokenizer*>(lenient.get()));
    EXPECT_EQ(lenient->tokenize("Hi"), (std::vector<std::string>{"\u2581Hi"}));

    const Config numeric = json(R"({"tokenizer_class":7})");
    try {
        AutoTokenizer::tokenizerClass(numeric).create(numeric, llamaData(), false);
        ADD_FAILURE() << "built";
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.errorCase(), TokenizerError::Case::missingTokenizerClassInConfig);
    }
}
