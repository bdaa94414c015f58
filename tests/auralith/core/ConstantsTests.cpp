#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "auralith/core/Constants.hpp"

using auralith::Constants;

namespace {

// The Unicode scalars of a UTF-8 text.
std::vector<char32_t> scalars(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k)
            value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out.push_back(value);
        i += length;
    }
    return out;
}

std::string_view trimmed(std::string_view text, std::string_view characters) {
    const auto first = text.find_first_not_of(characters);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(characters) - first + 1);
}

}  // namespace

TEST(Constants, LanguageTableMapsNamesToCodes) {
    const auto& languages = Constants::languages();
    EXPECT_EQ(languages.size(), 112u);
    EXPECT_EQ(Constants::languageCodes().size(), 100u);
    const std::pair<const char*, const char*> samples[] = {
        {"english", "en"},   {"mandarin", "zh"},  {"chinese", "zh"},        {"cantonese", "yue"},
        {"hawaiian", "haw"}, {"javanese", "jw"},  {"haitian creole", "ht"}, {"haitian", "ht"},
        {"moldovan", "ro"},  {"castilian", "es"}, {"burmese", "my"},
    };
    for (const auto& [name, code] : samples) {
        ASSERT_TRUE(languages.count(name)) << name;
        EXPECT_EQ(languages.at(name), code) << name;
    }
    for (const char* code : {"en", "yue", "haw", "jw", "my"})
        EXPECT_TRUE(Constants::languageCodes().count(code)) << code;
    EXPECT_FALSE(Constants::languageCodes().count("english"));
    for (const auto& [name, code] : languages) {
        EXPECT_TRUE(Constants::languageCodes().count(code)) << name;
        EXPECT_EQ(code.size(), code == "haw" || code == "yue" ? 3u : 2u) << name;
    }
}

TEST(Constants, PunctuationSetsAreTheExactCharacters) {
    EXPECT_EQ(scalars(Constants::defaultPrependPunctuations),
              (std::vector<char32_t>{0x22, 0x27, 0x201C, 0xA1, 0xBF, 0x28, 0x5B, 0x7B, 0x2D}));
    EXPECT_EQ(scalars(Constants::defaultAppendPunctuations),
              (std::vector<char32_t>{0x22, 0x27, 0x2E, 0x3002, 0x2C, 0xFF0C, 0x21, 0xFF01, 0x3F,
                                     0xFF1F, 0x3A, 0xFF1A, 0x201D, 0x29, 0x5D, 0x7D, 0x3001}));
}

TEST(Constants, SpecialTokenCharactersTrimToTheName) {
    EXPECT_EQ(trimmed("<|en|>", Constants::specialTokenCharacters), "en");
    const auto nospeech = trimmed("<|nospeech|>", Constants::specialTokenCharacters);
    EXPECT_EQ(nospeech, "nospeech");
    EXPECT_FALSE(Constants::languageCodes().count(std::string(nospeech)));
}

TEST(Constants, FallbackTableAndKnownModels) {
    const auto& table = Constants::fallbackModelSupportConfig();
    EXPECT_EQ(table.repoName, "auralith-coreml-fallback");
    EXPECT_EQ(table.repoVersion, "0.4");
    ASSERT_EQ(table.deviceSupports.size(), 6u);
    const std::vector<std::string> expected = {
        "openai_whisper-base",
        "openai_whisper-base.en",
        "openai_whisper-tiny",
        "openai_whisper-tiny.en",
        "openai_whisper-small",
        "openai_whisper-small.en",
        "openai_whisper-large-v2_949MB",
        "openai_whisper-large-v2_turbo_955MB",
        "openai_whisper-large-v3_947MB",
        "openai_whisper-large-v3_turbo_954MB",
        "distil-whisper_distil-large-v3_594MB",
        "distil-whisper_distil-large-v3_turbo_600MB",
        "openai_whisper-large-v3-v20240930_626MB",
        "openai_whisper-large-v3-v20240930_turbo_632MB",
        "openai_whisper-large-v2",
        "openai_whisper-large-v3",
        "distil-whisper_distil-large-v3",
        "openai_whisper-large-v2_turbo",
        "openai_whisper-large-v3_turbo",
        "distil-whisper_distil-large-v3_turbo",
        "openai_whisper-large-v3-v20240930",
        "openai_whisper-large-v3-v20240930_turbo",
    };
    EXPECT_EQ(Constants::knownModels(), expected);
    EXPECT_EQ(table.knownModels, expected);
    const std::size_t supportedCounts[] = {4, 14, 13, 22, 6, 14};
    for (std::size_t i = 0; i < 6; ++i) {
        const auto& models = table.deviceSupports[i].models;
        EXPECT_EQ(models.supported.size(), supportedCounts[i]) << "row " << i + 1;
        EXPECT_EQ(models.disabled.size(), 22 - supportedCounts[i]) << "row " << i + 1;
    }
    EXPECT_EQ(table.deviceSupports[2].identifiers.size(), 20u);
    EXPECT_EQ(table.deviceSupports[3].identifiers.size(), 13u);
}
