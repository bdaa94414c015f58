#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "auralith/core/AuralithConfig.hpp"
#include "auralith/core/ModelComputeOptions.hpp"
#include "auralith/core/TextDecoder.hpp"

using auralith::AudioInputOptions;
using auralith::AuralithConfig;
using auralith::MLComputeUnits;
using auralith::ModelComputeOptions;
using LogLevel = vortil::Logging::LogLevel;

namespace {

AuralithConfig everyOptionalAbsent() { return AuralithConfig({}); }

struct StubDecoder : auralith::TextDecoder {};
struct StubFilter : auralith::LogitsFiltering {
    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>&) const override {
        return logits;
    }
};
struct StubDetector : auralith::VoiceActivityDetector {
    StubDetector() : VoiceActivityDetector(16000, 1600) {}
    std::vector<bool> voiceActivity(const std::vector<float>&) const override { return {}; }
};

}  // namespace

TEST(AuralithConfig, AbsentArgumentsStayAbsent) {
    const AuralithConfig config = everyOptionalAbsent();
    EXPECT_FALSE(config.model);
    EXPECT_FALSE(config.downloadBase);
    EXPECT_FALSE(config.modelRepo);
    EXPECT_FALSE(config.modelToken);
    EXPECT_FALSE(config.modelEndpoint);
    EXPECT_FALSE(config.modelFolder);
    EXPECT_FALSE(config.tokenizerFolder);
    EXPECT_FALSE(config.computeOptions);
    EXPECT_FALSE(config.audioInputConfig());
    EXPECT_FALSE(config.audioProcessor || config.featureExtractor || config.audioEncoder ||
                 config.textDecoder || config.segmentSeeker || config.voiceActivityDetector);
    EXPECT_FALSE(config.logitsFilters);
    EXPECT_FALSE(config.prewarm);
    EXPECT_FALSE(config.load);
}

TEST(AuralithConfig, ApplicationConfigurationIsStoredUnchanged) {
    auto decoder = std::make_shared<StubDecoder>();
    auto filter = std::make_shared<StubFilter>();
    auto detector = std::make_shared<StubDetector>();
    const AuralithConfig config({
        .modelFolder = "/data/models/pack-v1",
        .tokenizerFolder = "/data/models/pack-v1/tokenizer",
        .computeOptions = ModelComputeOptions(MLComputeUnits::cpuOnly, MLComputeUnits::all,
                                              MLComputeUnits::cpuOnly),
        .textDecoder = decoder,
        .logitsFilters = std::vector<std::shared_ptr<auralith::LogitsFiltering>>{filter},
        .voiceActivityDetector = detector,
        .verbose = false,
        .logLevel = LogLevel::error,
        .prewarm = true,
        .load = true,
        .download = false,
    });
    EXPECT_EQ(config.modelFolder, "/data/models/pack-v1");
    EXPECT_EQ(config.tokenizerFolder, std::filesystem::path("/data/models/pack-v1/tokenizer"));
    EXPECT_EQ(config.computeOptions->audioEncoderCompute, MLComputeUnits::all);
    EXPECT_EQ(config.textDecoder, decoder);
    ASSERT_TRUE(config.logitsFilters);
    ASSERT_EQ(config.logitsFilters->size(), 1u);
    EXPECT_EQ(config.logitsFilters->front(), filter);
    EXPECT_EQ(config.voiceActivityDetector, detector);
    EXPECT_FALSE(config.verbose);
    EXPECT_EQ(config.logLevel, LogLevel::error);
    EXPECT_EQ(config.prewarm, true);
    EXPECT_EQ(config.load, true);
    EXPECT_FALSE(config.download);
    EXPECT_FALSE(config.useBackgroundDownloadSession);
}

TEST(AuralithConfig, AudioInputConfigReadsAndWritesItsStorage) {
    AuralithConfig config = everyOptionalAbsent();
    AudioInputOptions options{
        .channelMode = {AudioInputOptions::ChannelMode::SumChannels{
            std::vector<std::int64_t>{0, 2}}},
        .audioLoadingMode = {AudioInputOptions::AudioLoadingMode::Incremental{30.0, 3}}};
    config.setAudioInputConfig(options);
    ASSERT_TRUE(config.audioInputConfig());
    EXPECT_EQ(config.audioInputConfig()->channelMode, options.channelMode);
    const auto* incremental = std::get_if<AudioInputOptions::AudioLoadingMode::Incremental>(
        &config.audioInputConfigStorage->audioLoadingMode.value);
    ASSERT_NE(incremental, nullptr);
    EXPECT_EQ(incremental->chunkDurationSeconds, 30.0);
    EXPECT_EQ(incremental->maxBufferedChunks, 3);

    config.setAudioInputConfig(std::nullopt);
    EXPECT_FALSE(config.audioInputConfigStorage);
}

TEST(ModelComputeOptions, AbsentAudioEncoderChoiceBecomesNeuralEngine) {
    struct Row {
        MLComputeUnits mel;
        std::optional<MLComputeUnits> encoder;
        MLComputeUnits decoder;
        MLComputeUnits expectedEncoder;
    };
    const Row rows[] = {
        {MLComputeUnits::cpuOnly, std::nullopt, MLComputeUnits::all,
         MLComputeUnits::cpuAndNeuralEngine},
        {MLComputeUnits::cpuAndGPU, MLComputeUnits::cpuOnly, MLComputeUnits::cpuAndNeuralEngine,
         MLComputeUnits::cpuOnly},
    };
    for (const Row& row : rows) {
        const ModelComputeOptions options(row.mel, row.encoder, row.decoder);
        EXPECT_EQ(options.melCompute, row.mel);
        EXPECT_EQ(options.audioEncoderCompute, row.expectedEncoder);
        EXPECT_EQ(options.textDecoderCompute, row.decoder);
    }
}

TEST(ModelComputeOptions, PipelineDefaultsForAnAbsentChoice) {
    EXPECT_EQ(ModelComputeOptions::pipelineDefaults(),
              ModelComputeOptions(MLComputeUnits::cpuAndGPU, MLComputeUnits::cpuAndNeuralEngine,
                                  MLComputeUnits::cpuAndNeuralEngine));
}
