#include <gtest/gtest.h>

#include "LogCapture.hpp"
#include "auralith/ModelUtilities.hpp"

using auralith::ModelUtilities;
using auralith::ModelVariant;

namespace {

struct VariantCase {
    std::int64_t logits;
    std::int64_t width;
    ModelVariant expected;
};

class DetectVariantTest : public auralith::testing::LogCaptureTest,
                          public ::testing::WithParamInterface<VariantCase> {};

TEST_P(DetectVariantTest, PicksTheSizeFromVocabularyAndEncoderWidth) {
    capture(vortil::Logging::LogLevel::debug);
    EXPECT_EQ(ModelUtilities::detectVariant(GetParam().logits, GetParam().width),
              GetParam().expected);
    EXPECT_TRUE(taken().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, DetectVariantTest,
                         ::testing::Values(VariantCase{51864, 384, ModelVariant::tinyEn},
                                           VariantCase{51864, 512, ModelVariant::baseEn},
                                           VariantCase{51864, 640, ModelVariant::baseEn},
                                           VariantCase{51864, 896, ModelVariant::baseEn},
                                           VariantCase{51864, 768, ModelVariant::smallEn},
                                           VariantCase{51864, 1024, ModelVariant::mediumEn},
                                           VariantCase{51864, 1280, ModelVariant::baseEn},
                                           VariantCase{51865, 384, ModelVariant::tiny},
                                           VariantCase{51865, 768, ModelVariant::small},
                                           VariantCase{51865, 1024, ModelVariant::medium},
                                           VariantCase{51865, 1280, ModelVariant::largev2},
                                           VariantCase{51865, 1152, ModelVariant::base},
                                           VariantCase{51866, 384, ModelVariant::largev3},
                                           VariantCase{51866, 1280, ModelVariant::largev3}));

class ModelUtilitiesLogTest : public auralith::testing::LogCaptureTest {};

TEST_F(ModelUtilitiesLogTest, AnUnknownVocabularyIsBaseWithOneErrorLine) {
    capture(vortil::Logging::LogLevel::error);
    EXPECT_EQ(ModelUtilities::detectVariant(51867, 384), ModelVariant::base);
    const auto lines = taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Unrecognized vocabulary size: 51867, defaulting to base variant"),
              std::string::npos);
}

struct FormatCase {
    std::vector<std::string> files;
    std::vector<std::string> expected;
};

class FormatModelFilesTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatModelFilesTest, KeepsSizedFoldersInSizeOrder) {
    EXPECT_EQ(ModelUtilities::formatModelFiles(GetParam().files), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatModelFilesTest,
    ::testing::Values(
        FormatCase{
            {"openai_whisper-large-v3/AudioEncoder.mlmodelc/model.json",
             "openai_whisper-base/config.json", "openai_whisper-base/TextDecoder.mlmodelc/x",
             "openai_whisper-tiny.en/config.json", "distil-whisper_distil-large-v3/config.json",
             "openai_whisper-small_216MB/config.json", "config.json"},
            {"openai_whisper-tiny.en", "openai_whisper-base", "distil-whisper_distil-large-v3",
             "openai_whisper-large-v3"}},
        // Both carry the key "tiny"; the shorter name is the smaller.
        FormatCase{{"openai_whisper-tiny.en", "openai_whisper-tiny"},
                   {"openai_whisper-tiny", "openai_whisper-tiny.en"}},
        FormatCase{{}, {}},
        // Anything holding "large" stays, wherever it holds it.
        FormatCase{
            {"my-large-model/config.json", "openai_whisper-medium/a", "openai_whisper-medium.en/b"},
            {"openai_whisper-medium", "openai_whisper-medium.en", "my-large-model"}}));

}  // namespace
