#include <gtest/gtest.h>

#include "vortilcore/tokenizers/Tokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"
#include "vortilcore/tokenizers/TokenizerModel.hpp"
#include "vortilcore/tokenizers/Utils.hpp"

using namespace vortil;

TEST(TokenizerError, DescriptionsAreExact) {
    struct Case {
        TokenizerError error;
        TokenizerError::Case kind;
        const char* text;
    } cases[] = {
        {TokenizerError::unsupportedTokenizer("X"), TokenizerError::Case::unsupportedTokenizer,
         "The tokenizer type 'X' is not supported."},
        {TokenizerError::tooLong("512 > 448"), TokenizerError::Case::tooLong,
         "Input is too long: 512 > 448"},
        {TokenizerError::mismatchedConfig("why"), TokenizerError::Case::mismatchedConfig,
         "Tokenizer configuration mismatch: why"},
        {TokenizerError::missingConfig(), TokenizerError::Case::missingConfig,
         "Tokenizer configuration is missing."},
        {TokenizerError::missingTokenizerClassInConfig(),
         TokenizerError::Case::missingTokenizerClassInConfig,
         "The tokenizer class is not specified in the configuration."},
        {TokenizerError::missingVocab(), TokenizerError::Case::missingVocab,
         "Vocabulary file is missing from the tokenizer configuration."},
        {TokenizerError::malformedVocab(), TokenizerError::Case::malformedVocab,
         "The vocabulary file is malformed or corrupted."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorCase(), c.kind);
        EXPECT_STREQ(c.error.what(), c.text);
        EXPECT_EQ(c.error.localizedDescription(), c.text);
    }
    EXPECT_EQ(TokenizerError::unsupportedTokenizer("MyTokenizer").payload(), "MyTokenizer");
}

TEST(TokenizerHelpers, AddedTokenAsString) {
    Config special{{"content", "<s>"}, {"special", true}};
    Config noContent{{"special", true}};
    Config numericContent{{"content", 5}};
    EXPECT_EQ(addedTokenAsString(Config("<|endoftext|>")), "<|endoftext|>");
    EXPECT_EQ(addedTokenAsString(special), "<s>");
    EXPECT_EQ(addedTokenAsString(nullptr), std::nullopt);
    EXPECT_EQ(addedTokenAsString(Config()), std::nullopt);
    EXPECT_EQ(addedTokenAsString(Config(5)), std::nullopt);
    EXPECT_EQ(addedTokenAsString(noContent), std::nullopt);
    EXPECT_EQ(addedTokenAsString(numericContent), std::nullopt);
}

TEST(TokenizerHelpers, UnknownTokenPrefersObjectContent) {
    EXPECT_EQ(TokenizerModel::unknownToken(Config{{"unk_token", Config{{"content", "<unk>"}}}}),
              "<unk>");
    EXPECT_EQ(TokenizerModel::unknownToken(Config{{"unk_token", "[UNK]"}}), "[UNK]");
    EXPECT_EQ(TokenizerModel::unknownToken(Config{{"other", 1}}), std::nullopt);
    EXPECT_EQ(TokenizerModel::unknownToken(Config{{"unk_token", Config{{"special", true}}}}),
              std::nullopt);
}

TEST(TokenizerHelpers, InvertKeepsTheLastKeyMetForASharedValue) {
    std::unordered_map<std::string, int> map{{"a", 1}, {"b", 2}, {"c", 1}};
    std::string lastWithOne;
    for (const auto& [k, v] : map)
        if (v == 1) lastWithOne = k;
    auto inverted = Utils::invert(map);
    EXPECT_EQ(inverted.size(), 2u);
    EXPECT_EQ(inverted.at(2), "b");
    EXPECT_EQ(inverted.at(1), lastWithOne);
}
