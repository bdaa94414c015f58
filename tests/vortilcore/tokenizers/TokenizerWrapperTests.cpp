#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerWrapper.hpp"

using namespace vortil;

namespace {

Config readConfig(const std::string& name) {
    std::ifstream in(std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer" / name,
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return Config::fromJson(bomPreservingJsonObject(ss.str()),
                            Config::JsonSource::configurationFile);
}

const TokenizerWrapper& whisper() {
    static const TokenizerWrapper wrapper{std::make_shared<PreTrainedTokenizer>(
        readConfig("tokenizer_config.json"), readConfig("tokenizer.json"))};
    return wrapper;
}

}  // namespace

TEST(TokenizerWrapper, ForwardsToTheWhisperTokenizer) {
    const TokenizerWrapper& w = whisper();
    EXPECT_EQ(w.encode(" Hello world"), (std::vector<int>{50257, 50362, 18435, 995, 50256}));
    EXPECT_EQ(w.encode(" Hello world", false), (std::vector<int>{18435, 995}));
    EXPECT_EQ(w.tokenize(" Hello world"),
              (std::vector<std::string>{"\xC4\xA0Hello", "\xC4\xA0world"}));
    // Special tokens stay unless asked otherwise.
    EXPECT_EQ(w.decode({50363, 18435, 995, 50256}), "<|0.00|> Hello world<|endoftext|>");
    EXPECT_EQ(w.decode({50363, 18435, 995, 50256}, true), " Hello world");
    EXPECT_EQ(w.decode({}), "");
    EXPECT_EQ(w.decode({-5, 18435, 51864, 995}), " Hello world");

    EXPECT_EQ(w.convertTokenToId("<|startoftranscript|>"), 50257);
    EXPECT_EQ(w.convertTokensToIds({"<|0.00|>", "<|30.00|>", "\xC4\xA0world"}),
              (std::vector<std::optional<int>>{50363, 51863, 995}));
    EXPECT_EQ(w.convertIdToToken(50363), "<|0.00|>");
    EXPECT_EQ(w.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(w.convertIdToToken(51864), std::nullopt);
    EXPECT_EQ(w.convertIdsToTokens({50256, 51864}),
              (std::vector<std::optional<std::string>>{"<|endoftext|>", std::nullopt}));
    EXPECT_EQ(w.bosToken(), "<|endoftext|>");
    EXPECT_EQ(w.eosToken(), "<|endoftext|>");
    EXPECT_EQ(w.unknownToken(), "<|endoftext|>");
    EXPECT_EQ(w.bosTokenId(), 50256);
    EXPECT_EQ(w.eosTokenId(), 50256);
    EXPECT_EQ(w.unknownTokenId(), 50256);
}

TEST(TokenizerWrapper, CopiesShareOneTokenizer) {
    TokenizerWrapper copy = whisper();
    EXPECT_EQ(copy.impl.get(), whisper().impl.get());
    const std::string text = "Copies agree <|1.00|> \xF0\x9F\x99\x82";
    EXPECT_EQ(copy.encode(text), whisper().encode(text));
    EXPECT_EQ(copy.decode(copy.encode(text)), whisper().decode(whisper().encode(text)));
}
