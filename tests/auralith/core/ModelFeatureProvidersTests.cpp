// The models' input and output classes against the contract of the model
// files (WhisperModelLayout), and against a real prediction of our runtime.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoderInput.hpp"
#include "auralith/core/AudioEncoderOutput.hpp"
#include "auralith/core/MelSpectrogramInput.hpp"
#include "auralith/core/MelSpectrogramOutput.hpp"
#include "auralith/core/TextDecoderInput.hpp"
#include "auralith/core/TextDecoderOutput.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/WhisperModelLayout.hpp"
#include "platform/ml/WhisperTestModels.hpp"
#include "support/TempDir.hpp"

namespace {

using namespace auralith;
using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureProvider;
using platform::ml::MLModelError;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::MLShapedArray;
using platform::ml::WhisperModelLayout;
using Array = std::shared_ptr<MLMultiArray>;
using Names = std::set<std::string>;

Array f16(std::vector<std::int64_t> shape) {
    return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16);
}
Array f32(std::vector<std::int64_t> shape) {
    return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float32);
}
Array i32(std::vector<std::int64_t> shape) {
    return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::int32);
}

const nlohmann::json kMelDims = {
    {"n_mels", 80}, {"n_fft", 400}, {"hop_length", 160}, {"n_samples", 480000}};
const nlohmann::json kEncoderDims = {{"num_mel_bins", 80},      {"d_model", 384},
                                     {"encoder_layers", 4},     {"encoder_attention_heads", 6},
                                     {"encoder_ffn_dim", 1536}, {"max_source_positions", 1500}};
const nlohmann::json kDecoderDims = {{"vocab_size", 51864},
                                     {"d_model", 384},
                                     {"decoder_layers", 4},
                                     {"decoder_attention_heads", 6},
                                     {"decoder_ffn_dim", 1536},
                                     {"max_target_positions", 448},
                                     {"max_source_positions", 1500},
                                     {"kv_cache_length", 224},
                                     {"alignment_heads", {{2, 0}, {3, 1}}}};

Names keys(const std::map<std::string, platform::ml::MLFeatureDescription>& table,
           bool withOptional = true) {
    Names names;
    for (const auto& [name, d] : table)
        if (withOptional || !d.isOptional) names.insert(name);
    return names;
}

// Arrays of exactly the declared shapes and types, by feature name.
std::map<std::string, Array> arraysFor(
    const std::map<std::string, platform::ml::MLFeatureDescription>& table) {
    std::map<std::string, Array> out;
    for (const auto& [name, d] : table)
        out[name] =
            MLMultiArray::make(d.multiArrayConstraint->shape, d.multiArrayConstraint->dataType);
    return out;
}

struct InputCase {
    std::string kind;
    nlohmann::json dims;
    // Builds the class's object from the declared arrays.
    std::function<std::shared_ptr<MLFeatureProvider>(std::map<std::string, Array>&)> make;
};

std::vector<InputCase> inputCases() {
    return {
        {WhisperModelLayout::kMelSpectrogram, kMelDims,
         [](auto& a) { return std::make_shared<MelSpectrogramInput>(a.at("audio")); }},
        {WhisperModelLayout::kAudioEncoder, kEncoderDims,
         [](auto& a) {
             return std::make_shared<AudioEncoderInput>(a.at("melspectrogram_features"));
         }},
        {WhisperModelLayout::kTextDecoder, kDecoderDims,
         [](auto& a) {
             return std::make_shared<TextDecoderInput>(
                 a.at("input_ids"), a.at("cache_length"), a.at("key_cache"), a.at("value_cache"),
                 a.at("kv_cache_update_mask"), a.at("encoder_output_embeds"),
                 a.at("decoder_key_padding_mask"));
         }},
    };
}

TEST(ModelFeatureProviders, InputsServeExactlyTheDeclaredFeaturesWithoutCopies) {
    for (const auto& c : inputCases()) {
        SCOPED_TRACE(c.kind);
        const auto description = WhisperModelLayout::description(c.kind, c.dims);
        auto arrays = arraysFor(description.inputDescriptionsByName);
        auto input = c.make(arrays);
        EXPECT_EQ(input->featureNames(), keys(description.inputDescriptionsByName));
        for (const auto& [name, array] : arrays) {
            auto value = input->featureValue(name);
            ASSERT_TRUE(value) << name;
            EXPECT_EQ(value->multiArrayValue().get(), array.get()) << name;
        }
        for (const std::string wrong : {"audio ", "Audio", "", " input_ids", "logits",
                                        "melspectrogram_Features", "encoder_output_embeds "})
            EXPECT_FALSE(input->featureValue(wrong)) << '"' << wrong << '"';
    }
}

TEST(ModelFeatureProviders, ReplacedInputPropertyIsWhatTheProviderServes) {
    TextDecoderInput input(i32({1}), i32({1}), f16({1, 8, 1, 4}), f16({1, 8, 1, 4}), i32({1, 4}),
                           f16({1, 8, 1, 3}), f16({1, 4}));
    auto next = i32({1});
    input.input_ids = next;
    EXPECT_EQ(input.featureValue("input_ids")->multiArrayValue().get(), next.get());
    // In-place changes are visible too: the array is shared, not copied.
    input.cache_length->span<std::int32_t>()[0] = 7;
    EXPECT_EQ(input.featureValue("cache_length")->multiArrayValue()->span<std::int32_t>()[0], 7);

    MelSpectrogramInput mel(f32({4}));
    auto audio = f32({4});
    mel.audio = audio;
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue().get(), audio.get());
    AudioEncoderInput enc(f16({1, 2, 1, 4}));
    auto features = f16({1, 2, 1, 4});
    enc.melspectrogram_features = features;
    EXPECT_EQ(enc.featureValue("melspectrogram_features")->multiArrayValue().get(), features.get());
}

TEST(ModelFeatureProviders, ShapedArrayInputsAreCopiedWithShapeTypeAndValues) {
    MLShapedArray<float> samples({2, 3}, {1, 2, 3, 4, 5, 6});
    MelSpectrogramInput mel(samples);
    ASSERT_NE(mel.audio.get(), samples.multiArray().get());
    EXPECT_EQ(mel.audio->shape(), (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(mel.audio->dataType(), MLMultiArrayDataType::float32);
    samples.scalars()[0] = 100;
    EXPECT_EQ(mel.audio->span<float>()[0], 1.0f);
    EXPECT_EQ(mel.audio->span<float>()[5], 6.0f);

    AudioEncoderInput enc(MLShapedArray<float>({1, 2}, {0.5f, -0.5f}));
    EXPECT_EQ(enc.melspectrogram_features->span<float>()[1], -0.5f);

    MLShapedArray<std::int32_t> ids({1}, {50258});
    MLShapedArray<std::int32_t> length({1}, {3});
    MLShapedArray<float> cache({1, 2, 1, 2}, {1, 2, 3, 4});
    MLShapedArray<float> mask({1, 2}, {1, 0});
    TextDecoderInput dec(ids, length, cache, cache, mask, cache, mask);
    EXPECT_EQ(dec.input_ids->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(dec.input_ids->span<std::int32_t>()[0], 50258);
    EXPECT_EQ(dec.cache_length->span<std::int32_t>()[0], 3);
    EXPECT_EQ(dec.kv_cache_update_mask->dataType(), MLMultiArrayDataType::float32);
    // Each copy stands alone: the same source gives distinct arrays.
    EXPECT_NE(dec.key_cache.get(), dec.value_cache.get());
    EXPECT_EQ(dec.value_cache->span<float>()[3], 4.0f);
}

TEST(ModelFeatureProviders, OutputsBuiltFromArraysHoldTheDeclaredNames) {
    const auto mel = WhisperModelLayout::description(WhisperModelLayout::kMelSpectrogram, kMelDims);
    const auto enc =
        WhisperModelLayout::description(WhisperModelLayout::kAudioEncoder, kEncoderDims);
    const auto dec =
        WhisperModelLayout::description(WhisperModelLayout::kTextDecoder, kDecoderDims);
    auto features = f16({1, 80, 1, 3000});
    MelSpectrogramOutput melOut(features);
    EXPECT_EQ(melOut.featureNames(), keys(mel.outputDescriptionsByName));
    EXPECT_EQ(melOut.melspectrogramFeatures().get(), features.get());

    auto embeds = f16({1, 384, 1, 1500});
    AudioEncoderOutput encOut(embeds);
    EXPECT_EQ(encOut.featureNames(), keys(enc.outputDescriptionsByName));
    EXPECT_EQ(encOut.encoder_output_embeds().get(), embeds.get());

    auto logits = f16({1, 1, 51864}), k = f16({1, 1536, 1, 1}), v = f16({1, 1536, 1, 1});
    TextDecoderOutput decOut(logits, k, v, i32({1}));
    // The optional alignment weights are not among them, nor the arg-max.
    EXPECT_EQ(decOut.featureNames(), keys(dec.outputDescriptionsByName, false));
    EXPECT_EQ(decOut.featureNames().size(), 3u);
    EXPECT_EQ(decOut.logits().get(), logits.get());
    EXPECT_EQ(decOut.key_cache_updates().get(), k.get());
    EXPECT_EQ(decOut.value_cache_updates().get(), v.get());
    EXPECT_EQ(decOut.featureValue("value_cache_updates")->multiArrayValue().get(), v.get());
    EXPECT_FALSE(decOut.featureValue("logits_argmax"));
}

TEST(ModelFeatureProviders, DecoderOutputWithAndWithoutAlignmentWeights) {
    auto logits = f16({1, 1, 5}), k = f16({1, 4, 1, 1}), v = f16({1, 4, 1, 1});
    TextDecoderOutput without(
        std::make_shared<MLDictionaryFeatureProvider>(std::map<std::string, Array>{
            {"logits", logits}, {"key_cache_updates", k}, {"value_cache_updates", v}}));
    EXPECT_EQ(without.alignment_heads_weights(), nullptr);
    EXPECT_FALSE(without.alignment_heads_weightsShapedArray());
    EXPECT_EQ(without.logits().get(), logits.get());
    EXPECT_EQ(without.key_cache_updatesShapedArray().shape(), k->shape());
    EXPECT_EQ(without.value_cache_updates().get(), v.get());

    auto weights = f16({1, 6});
    TextDecoderOutput with(std::make_shared<MLDictionaryFeatureProvider>(
        std::map<std::string, Array>{{"logits", logits},
                                     {"key_cache_updates", k},
                                     {"value_cache_updates", v},
                                     {"alignment_heads_weights", weights}}));
    EXPECT_EQ(with.alignment_heads_weights().get(), weights.get());
    ASSERT_TRUE(with.alignment_heads_weightsShapedArray());
    EXPECT_EQ(with.alignment_heads_weightsShapedArray()->multiArray().get(), weights.get());
}

TEST(ModelFeatureProviders, HalfViewsReadAndWriteTheOutputInPlace) {
    auto logits = f16({1, 1, 3});
    TextDecoderOutput out(logits, f16({1, 2, 1, 1}), f16({1, 2, 1, 1}), nullptr);
    auto view = out.logitsShapedArray();
    EXPECT_EQ(view.shape(), (std::vector<std::int64_t>{1, 1, 3}));
    view.scalars()[2] = Float16::negativeInfinity();
    EXPECT_EQ(logits->span<Float16>()[2].bits, 0xFC00);
    logits->span<Float16>()[0] = Float16(1.5f);
    EXPECT_EQ(float(out.logitsShapedArray().scalars()[0]), 1.5f);

    auto embeds = f16({1, 2, 1, 2});
    AudioEncoderOutput enc(embeds);
    EXPECT_EQ(enc.encoder_output_embedsShapedArray().multiArray().get(), embeds.get());
    auto mel = f16({1, 2, 1, 2});
    MelSpectrogramOutput melOut(mel);
    EXPECT_EQ(melOut.melspectrogram_featuresShapedArray().multiArray().get(), mel.get());
}

TEST(ModelFeatureProviders, BrokenModelOutputsAreReportedNotReinterpreted) {
    // Single-precision outputs would be garbage when read as halves.
    TextDecoderOutput single(f32({1, 1, 3}), f32({1, 2, 1, 1}), f32({1, 2, 1, 1}), nullptr);
    EXPECT_THROW(single.logitsShapedArray(), MLModelError);
    EXPECT_THROW(single.key_cache_updatesShapedArray(), MLModelError);
    EXPECT_THROW(single.value_cache_updatesShapedArray(), MLModelError);
    EXPECT_EQ(single.logits()->dataType(), MLMultiArrayDataType::float32);
    EXPECT_THROW(MelSpectrogramOutput(f32({1, 2})).melspectrogram_featuresShapedArray(),
                 MLModelError);

    // A provider that lacks a required output.
    auto empty = std::make_shared<MLDictionaryFeatureProvider>();
    EXPECT_THROW(TextDecoderOutput(empty).logits(), MLModelError);
    EXPECT_THROW(TextDecoderOutput(empty).value_cache_updatesShapedArray(), MLModelError);
    EXPECT_THROW(AudioEncoderOutput(empty).encoder_output_embeds(), MLModelError);
    EXPECT_THROW(MelSpectrogramOutput(empty).melspectrogramFeatures(), MLModelError);
    EXPECT_THROW(TextDecoderOutput(std::shared_ptr<const MLFeatureProvider>()), MLModelError);
}

TEST(ModelFeatureProviders, RoundTripThroughARealMelModel) {
    testsupport::TempDir dir;
    const auto folder = dir.path() / "MelSpectrogram.mlmodelc";
    platform::ml::MelSpectrogramModel::writeFolder(folder, 80, 16000);
    auto model = platform::ml::ModelFactory::load(folder);
    const auto& declared = model->modelDescription().inputDescriptionsByName;
    ASSERT_EQ(keys(declared), MelSpectrogramInput(f32({1})).featureNames());

    auto audio = f32(declared.at("audio").multiArrayConstraint->shape);
    auto samples = audio->span<float>();
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i % 50) < 25 ? 0.3f : -0.3f;
    MelSpectrogramInput input(audio);
    MelSpectrogramOutput output(model->prediction(input));
    EXPECT_EQ(output.featureNames(), keys(model->modelDescription().outputDescriptionsByName));
    const auto view = output.melspectrogram_featuresShapedArray();
    EXPECT_EQ(view.shape(), (std::vector<std::int64_t>{1, 80, 1, 100}));
    EXPECT_EQ(view.multiArray().get(), output.melspectrogramFeatures().get());
}

TEST(ModelFeatureProviders, RoundTripThroughARealDecoderModel) {
    testsupport::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    const nlohmann::json dims = {{"vocab_size", 61},
                                 {"d_model", 32},
                                 {"decoder_layers", 2},
                                 {"decoder_attention_heads", 4},
                                 {"decoder_ffn_dim", 64},
                                 {"max_target_positions", 240},
                                 {"max_source_positions", 10},
                                 {"kv_cache_length", 224},
                                 {"alignment_heads", {{0, 1}, {1, 3}}}};
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, dims, "F16", 7);
    auto model = platform::ml::ModelFactory::load(folder);
    auto arrays = arraysFor(model->modelDescription().inputDescriptionsByName);
    arrays.at("input_ids")->span<std::int32_t>()[0] = 5;
    arrays.at("kv_cache_update_mask")->span<std::int32_t>()[0] = 1;
    auto padding = arrays.at("decoder_key_padding_mask")->span<Float16>();
    for (std::size_t i = 1; i < padding.size(); ++i) padding[i] = Float16(-10000.0f);
    TextDecoderInput input(arrays.at("input_ids"), arrays.at("cache_length"),
                           arrays.at("key_cache"), arrays.at("value_cache"),
                           arrays.at("kv_cache_update_mask"), arrays.at("encoder_output_embeds"),
                           arrays.at("decoder_key_padding_mask"));
    TextDecoderOutput output(model->prediction(input));
    EXPECT_EQ(output.featureNames(), keys(model->modelDescription().outputDescriptionsByName));
    EXPECT_EQ(output.logitsShapedArray().shape(), (std::vector<std::int64_t>{1, 1, 61}));
    EXPECT_EQ(output.key_cache_updatesShapedArray().shape(),
              (std::vector<std::int64_t>{1, 64, 1, 1}));
    EXPECT_EQ(output.value_cache_updates()->dataType(), MLMultiArrayDataType::float16);
    ASSERT_TRUE(output.alignment_heads_weightsShapedArray());
    EXPECT_EQ(output.alignment_heads_weightsShapedArray()->shape(),
              (std::vector<std::int64_t>{1, 10}));

    // Replacing an input array between steps is what the next prediction sees.
    auto wrong = i32({2});
    input.input_ids = wrong;
    EXPECT_THROW(model->prediction(input), MLModelError);
}

}  // namespace
