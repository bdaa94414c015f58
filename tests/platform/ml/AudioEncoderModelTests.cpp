#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "MLTestSupport.hpp"
#include "WhisperTestModels.hpp"
#include "platform/ml/AudioEncoderModel.hpp"
#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/ModelFactory.hpp"

using namespace platform::ml;

namespace {

const nlohmann::json kEncoderDims = {{"num_mel_bins", 8},     {"d_model", 32},
                                     {"encoder_layers", 2},   {"encoder_attention_heads", 4},
                                     {"encoder_ffn_dim", 64}, {"max_source_positions", 100}};

struct EncoderCase {
    std::string dtype;
    int threads;
    bool portable;
    bool packEveryWindow = false;  // as a model too large to keep its packed weights
};

// Short stable names for the test list (the default would print the bytes).
std::string caseName(const EncoderCase& c) {
    return c.dtype + "_" + std::to_string(c.threads) + "threads" + (c.portable ? "_portable" : "") +
           (c.packEveryWindow ? "_packedPerWindow" : "");
}
void PrintTo(const EncoderCase& c, std::ostream* os) { *os << caseName(c); }

class AudioEncoderModelTest : public ::testing::TestWithParam<EncoderCase> {
  protected:
    void TearDown() override {
        setOptimizedKernelsEnabled(true);
        AudioEncoderModel::setKeptPackedBytes(kDefaultKept);
    }
    static constexpr std::size_t kDefaultKept = std::size_t{128} << 20;
};

}  // namespace

// The runtime's encoder agrees with the plain reference for Float16 and Float32
// weights, one or several threads, and both kernel builds.
TEST_P(AudioEncoderModelTest, MatchesReferenceForwardPass) {
    const auto& param = GetParam();
    setOptimizedKernelsEnabled(!param.portable);
    if (param.packEveryWindow) AudioEncoderModel::setKeptPackedBytes(0);
    mltest::TempDir dir;
    const auto folder = dir.path() / "AudioEncoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kAudioEncoder, kEncoderDims, param.dtype,
                               11);
    MLModelConfiguration config;
    config.threadCount = param.threads;
    auto model = ModelFactory::load(folder, config);

    const int C = 8, T = 200, D = 32, W = 100;
    auto mel = MLMultiArray::make({1, C, 1, T}, MLMultiArrayDataType::float16);
    std::mt19937 rng(5);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    mltest::Matrix melRows(C, std::vector<float>(T));
    for (int c = 0; c < C; ++c)
        for (int t = 0; t < T; ++t) {
            const Float16 v(normal(rng));
            mel->span<Float16>()[c * T + t] = v;
            melRows[c][t] = v;
        }

    auto out = model->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", mel}}));
    auto embeds = out->featureValue("encoder_output_embeds")->multiArrayValue();
    ASSERT_EQ(embeds->shape(), (std::vector<std::int64_t>{1, D, 1, W}));
    ASSERT_EQ(embeds->dataType(), MLMultiArrayDataType::float16);

    const auto expected =
        mltest::referenceEncoder(mltest::ReferenceWeights(folder), kEncoderDims, melRows);
    double worst = 0;
    for (int d = 0; d < D; ++d)
        for (int t = 0; t < W; ++t) {
            const float got = embeds->span<Float16>()[d * W + t];
            const float want = expected[t][d];
            worst = std::max(worst, std::fabs(got - want) / (1.0 + std::fabs(want)));
        }
    EXPECT_LT(worst, 5e-3) << "largest relative difference";

    // A second prediction reuses scratch memory and must not depend on the first.
    auto again = model->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", mel}}));
    auto second = again->featureValue("encoder_output_embeds")->multiArrayValue();
    EXPECT_EQ(0, std::memcmp(second->dataPointer(), embeds->dataPointer(), embeds->byteCount()));
}

INSTANTIATE_TEST_SUITE_P(
    Weights, AudioEncoderModelTest,
    ::testing::Values(EncoderCase{"F16", 1, false}, EncoderCase{"F16", 3, false},
                      EncoderCase{"F32", 2, false}, EncoderCase{"F16", 2, true},
                      EncoderCase{"F32", 1, true}, EncoderCase{"BF16", 3, false},
                      EncoderCase{"F16", 3, false, true}, EncoderCase{"F32", 2, false, true},
                      EncoderCase{"F16", 2, true, true}),
    [](const auto& info) { return caseName(info.param); });

TEST(AudioEncoderModel, DescribesItsFeatures) {
    mltest::TempDir dir;
    const auto folder = dir.path() / "AudioEncoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kAudioEncoder, kEncoderDims, "F16", 3);
    auto model = ModelFactory::load(folder);
    EXPECT_EQ(dynamic_cast<const AudioEncoderModel&>(*model).threadCount(),
              ComputePool::physicalCores());
    MLModelConfiguration two;
    two.threadCount = 2;
    EXPECT_EQ(
        dynamic_cast<const AudioEncoderModel&>(*ModelFactory::load(folder, two)).threadCount(), 2);
    const auto& out =
        model->modelDescription().outputDescriptionsByName.at("encoder_output_embeds");
    EXPECT_EQ(out.multiArrayConstraint->shape, (std::vector<std::int64_t>{1, 32, 1, 100}));
    const auto& in =
        model->modelDescription().inputDescriptionsByName.at("melspectrogram_features");
    EXPECT_EQ(in.multiArrayConstraint->shape, (std::vector<std::int64_t>{1, 8, 1, 200}));
    // A mel array of the wrong shape is refused before anything runs.
    auto wrong = MLMultiArray::make({1, 8, 1, 199}, MLMultiArrayDataType::float16);
    EXPECT_THROW(
        model->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", wrong}})),
        MLModelError);
}

// Predictions may run on one encoder from several threads at once; each gets
// the result it would get alone.
TEST(AudioEncoderModel, ConcurrentPredictionsGiveTheSequentialResults) {
    mltest::TempDir dir;
    const auto folder = dir.path() / "AudioEncoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kAudioEncoder, kEncoderDims, "F16", 17);
    MLModelConfiguration config;
    config.threadCount = 3;
    auto model = ModelFactory::load(folder, config);

    std::vector<std::shared_ptr<MLMultiArray>> inputs;
    std::mt19937 rng(9);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int k = 0; k < 4; ++k) {
        auto mel = MLMultiArray::make({1, 8, 1, 200}, MLMultiArrayDataType::float16);
        for (auto& v : mel->span<Float16>()) v = normal(rng);
        inputs.push_back(mel);
    }
    auto run = [&](const std::shared_ptr<MLMultiArray>& mel) {
        auto out =
            model->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", mel}}));
        return out->featureValue("encoder_output_embeds")->multiArrayValue();
    };
    std::vector<std::shared_ptr<MLMultiArray>> sequential;
    for (const auto& mel : inputs) sequential.push_back(run(mel));
    // A fresh model whose first predictions (which pack and keep its weights)
    // all start at once; and one that packs every window. Both give exactly the
    // same results.
    auto fresh = ModelFactory::load(folder, config);
    const std::size_t kept = AudioEncoderModel::setKeptPackedBytes(0);
    auto perWindow = ModelFactory::load(folder, config);
    AudioEncoderModel::setKeptPackedBytes(kept);
    for (const auto* other : {&fresh, &perWindow}) {
        std::vector<std::shared_ptr<MLMultiArray>> results(inputs.size());
        {
            std::vector<std::jthread> threads;
            for (std::size_t k = 0; k < inputs.size(); ++k)
                threads.emplace_back([&, k] {
                    results[k] = (*other)
                                     ->prediction(MLDictionaryFeatureProvider(
                                         {{"melspectrogram_features", inputs[k]}}))
                                     ->featureValue("encoder_output_embeds")
                                     ->multiArrayValue();
                });
        }
        for (std::size_t k = 0; k < inputs.size(); ++k)
            EXPECT_EQ(0, std::memcmp(results[k]->dataPointer(), sequential[k]->dataPointer(),
                                     sequential[k]->byteCount()))
                << (other == &fresh ? "kept, " : "packed per window, ") << k;
    }

    std::vector<std::shared_ptr<MLMultiArray>> parallel(inputs.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t k = 0; k < inputs.size(); ++k)
            threads.emplace_back([&, k] {
                for (int rep = 0; rep < 3; ++rep) parallel[k] = run(inputs[k]);
            });
    }
    for (std::size_t k = 0; k < inputs.size(); ++k)
        EXPECT_EQ(0, std::memcmp(parallel[k]->dataPointer(), sequential[k]->dataPointer(),
                                 sequential[k]->byteCount()))
            << k;
}
