#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "MLTestSupport.hpp"
#include "WhisperTestModels.hpp"
#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MLState.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/TextDecoderModel.hpp"

using namespace platform::ml;

namespace {

constexpr int kVocab = 61, kD = 32, kLayers = 2, kW = 100, kS = 224;
constexpr int kE = kLayers * kD;

nlohmann::json decoderDims(bool alignmentHeads) {
    return {{"vocab_size", kVocab},
            {"d_model", kD},
            {"decoder_layers", kLayers},
            {"decoder_attention_heads", 4},
            {"decoder_ffn_dim", 64},
            {"max_target_positions", 240},
            {"max_source_positions", kW},
            {"kv_cache_length", kS},
            {"alignment_heads",
             alignmentHeads ? nlohmann::json{{0, 1}, {1, 3}, {1, 0}} : nlohmann::json::array()}};
}

using Shape = std::vector<std::int64_t>;

// The decoder state as the pipeline keeps it between steps.
struct DecoderState {
    std::shared_ptr<MLMultiArray> inputIds = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> cacheLength =
        MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> keyCache =
        MLMultiArray::make({1, kE, 1, kS}, MLMultiArrayDataType::float16);
    std::shared_ptr<MLMultiArray> valueCache =
        MLMultiArray::make({1, kE, 1, kS}, MLMultiArrayDataType::float16);
    std::shared_ptr<MLMultiArray> updateMask =
        MLMultiArray::make({1, kS}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> paddingMask =
        MLMultiArray::make({1, kS}, MLMultiArrayDataType::float16);

    DecoderState() { reset(); }

    // Masks back to the first position; the caches keep whatever they hold.
    void reset() {
        for (int j = 0; j < kS; ++j) {
            updateMask->span<std::int32_t>()[j] = j == 0 ? 1 : 0;
            paddingMask->span<Float16>()[j] = j == 0 ? 0.0f : -10000.0f;
        }
        cacheLength->span<std::int32_t>()[0] = 0;
    }

    std::shared_ptr<MLFeatureProvider> step(const MLModel& model, int token, int index,
                                            const std::shared_ptr<MLMultiArray>& encoder) {
        inputIds->span<std::int32_t>()[0] = token;
        cacheLength->span<std::int32_t>()[0] = index;
        return model.prediction(
            MLDictionaryFeatureProvider({{"input_ids", inputIds},
                                         {"cache_length", cacheLength},
                                         {"key_cache", keyCache},
                                         {"value_cache", valueCache},
                                         {"kv_cache_update_mask", updateMask},
                                         {"encoder_output_embeds", encoder},
                                         {"decoder_key_padding_mask", paddingMask}}));
    }

    // What the decoding loop does after a step: copy the updates in, move the masks.
    void advance(const MLFeatureProvider& out, int index) {
        const auto keys = out.featureValue("key_cache_updates")->multiArrayValue()->span<Float16>();
        const auto values =
            out.featureValue("value_cache_updates")->multiArrayValue()->span<Float16>();
        for (int e = 0; e < kE; ++e) {
            keyCache->span<Float16>()[e * kS + index] = keys[e];
            valueCache->span<Float16>()[e * kS + index] = values[e];
        }
        paddingMask->span<Float16>()[index + 1] = 0.0f;
        updateMask->span<std::int32_t>()[index] = 0;
        updateMask->span<std::int32_t>()[index + 1] = 1;
    }

    // Hidden cache positions from `from` on (the current one included) get values
    // that would wreck any result they reached.
    void writeGarbage(int from, unsigned seed) {
        const Float16 junk[] = {Float16::quietNaN(), Float16::infinity(),
                                Float16::negativeInfinity(), 60000.0f, -3.0f};
        for (int e = 0; e < kE; ++e)
            for (int j = from; j < kS; ++j) {
                keyCache->span<Float16>()[e * kS + j] = junk[(e + j + seed) % 5];
                valueCache->span<Float16>()[e * kS + j] = junk[(e * 3 + j + seed) % 5];
            }
    }
};

std::shared_ptr<MLMultiArray> randomEncoderOutput(unsigned seed, mltest::Matrix& rows) {
    auto enc = MLMultiArray::make({1, kD, 1, kW}, MLMultiArrayDataType::float16);
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    rows.assign(kW, std::vector<float>(kD));
    for (int d = 0; d < kD; ++d)
        for (int t = 0; t < kW; ++t) {
            const Float16 v(normal(rng));
            enc->span<Float16>()[d * kW + t] = v;
            rows[t][d] = v;
        }
    return enc;
}

std::vector<int> randomTokens(unsigned seed, int n) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, kVocab - 1);
    std::vector<int> t(n);
    for (auto& x : t) x = pick(rng);
    return t;
}

// Largest |got - want| / (1 + |want|) over a Float16 output.
double worstDifference(const MLMultiArray& got, const std::vector<float>& want) {
    const auto g = got.span<Float16>();
    EXPECT_EQ(g.size(), want.size());
    double worst = 0;
    for (std::size_t i = 0; i < want.size() && i < g.size(); ++i) {
        const double d = std::fabs(static_cast<float>(g[i]) - want[i]) / (1.0 + std::fabs(want[i]));
        worst = std::isnan(d) ? INFINITY : std::max(worst, d);
    }
    return worst;
}

constexpr double kLogitTolerance = 1e-2;
constexpr double kAlignmentTolerance = 2e-3;

struct DecoderCase {
    std::string dtype;
    int threads;
    bool portable;
    bool garbage;
};

// Short stable names for the test list (the default would print the bytes).
std::string caseName(const DecoderCase& c) {
    return c.dtype + "_" + std::to_string(c.threads) + "threads" + (c.portable ? "_portable" : "") +
           (c.garbage ? "_garbage" : "");
}
void PrintTo(const DecoderCase& c, std::ostream* os) { *os << caseName(c); }

class TextDecoderStepTest : public ::testing::TestWithParam<DecoderCase> {
  protected:
    void TearDown() override { setOptimizedKernelsEnabled(true); }
};

}  // namespace

// Driven step by step as the decoding loop drives it, the decoder gives the
// reference's logits and alignment weights at every position, across windows:
// a second window starts from reset masks over the first window's stale cache
// and a new encoder output, a third rewrites that encoder output in place.
TEST_P(TextDecoderStepTest, StepsMatchFullSequenceReference) {
    const auto& param = GetParam();
    setOptimizedKernelsEnabled(!param.portable);
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    const auto dims = decoderDims(true);
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, dims, param.dtype, 21);
    const mltest::ReferenceWeights weights(folder);
    MLModelConfiguration config;
    config.threadCount = param.threads;
    auto model = ModelFactory::load(folder, config);

    DecoderState state;
    mltest::Matrix encRows;
    auto enc = randomEncoderOutput(1, encRows);
    const int lengths[] = {40, 6, 5};  // a long window, then short ones on a new encoder output
    for (int window = 0; window < 3; ++window) {
        if (window == 1) enc = randomEncoderOutput(2, encRows);
        if (window == 2) {
            mltest::Matrix rows;
            auto other = randomEncoderOutput(3, rows);
            std::memcpy(enc->dataPointer(), other->dataPointer(), enc->byteCount());
            encRows = rows;
        }
        state.reset();
        const auto tokens = randomTokens(100 + window, lengths[window]);
        const auto expected = mltest::referenceDecoder(weights, dims, tokens, encRows);
        for (int i = 0; i < lengths[window]; ++i) {
            if (param.garbage) state.writeGarbage(i, static_cast<unsigned>(i));
            auto out = state.step(*model, tokens[i], i, enc);
            const auto logits = out->featureValue("logits")->multiArrayValue();
            ASSERT_EQ(logits->shape(), (Shape{1, 1, kVocab}));
            EXPECT_LT(worstDifference(*logits, expected.logits[i]), kLogitTolerance)
                << "window " << window << " step " << i;
            const auto alignment = out->featureValue("alignment_heads_weights");
            ASSERT_TRUE(alignment.has_value());
            ASSERT_EQ(alignment->multiArrayValue()->shape(), (Shape{1, kW}));
            EXPECT_LT(worstDifference(*alignment->multiArrayValue(), expected.alignment[i]),
                      kAlignmentTolerance)
                << "window " << window << " step " << i;
            state.advance(*out, i);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Weights, TextDecoderStepTest,
    ::testing::Values(DecoderCase{"F16", 1, false, false}, DecoderCase{"F16", 3, false, true},
                      DecoderCase{"F32", 2, false, true}, DecoderCase{"F16", 2, true, true},
                      DecoderCase{"F32", 1, true, false}, DecoderCase{"BF16", 3, false, true}),
    [](const auto& info) { return caseName(info.param); });

// Predictions may run on one model from several threads at once, each with
// its own decoder state and encoder output.
TEST(TextDecoderModel, ConcurrentDecodersEachGetTheirOwnResults) {
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    const auto dims = decoderDims(true);
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, dims, "F16", 31);
    const mltest::ReferenceWeights weights(folder);
    MLModelConfiguration config;
    config.threadCount = 3;
    auto model = ModelFactory::load(folder, config);

    constexpr int kRuns = 3, kSteps = 8;
    std::vector<double> worst(kRuns, 0.0);
    std::vector<std::thread> runs;
    for (int r = 0; r < kRuns; ++r)
        runs.emplace_back([&, r] {
            mltest::Matrix rows;
            auto enc = randomEncoderOutput(50 + r, rows);
            const auto tokens = randomTokens(60 + r, kSteps);
            const auto expected = mltest::referenceDecoder(weights, dims, tokens, rows);
            DecoderState state;
            for (int i = 0; i < kSteps; ++i) {
                auto out = state.step(*model, tokens[i], i, enc);
                worst[r] = std::max(worst[r],
                                    worstDifference(*out->featureValue("logits")->multiArrayValue(),
                                                    expected.logits[i]));
                state.advance(*out, i);
            }
        });
    for (auto& t : runs) t.join();
    for (int r = 0; r < kRuns; ++r) EXPECT_LT(worst[r], kLogitTolerance) << "decoder " << r;
}

// Hidden positions must not matter at all: the same steps over a clean cache
// and over one full of garbage give bit-identical outputs.
TEST(TextDecoderModel, HiddenCachePositionsDoNotChangeAnyOutput) {
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, decoderDims(true), "F16",
                               8);
    auto model = ModelFactory::load(folder);
    mltest::Matrix rows;
    auto enc = randomEncoderOutput(4, rows);
    const auto tokens = randomTokens(9, 8);
    DecoderState clean, dirty;
    for (int i = 0; i < 8; ++i) {
        dirty.writeGarbage(i, static_cast<unsigned>(7 * i));
        auto a = clean.step(*model, tokens[i], i, enc);
        auto b = dirty.step(*model, tokens[i], i, enc);
        for (const char* name :
             {"logits", "key_cache_updates", "value_cache_updates", "alignment_heads_weights"}) {
            const auto x = a->featureValue(name)->multiArrayValue(),
                       y = b->featureValue(name)->multiArrayValue();
            EXPECT_EQ(0, std::memcmp(x->dataPointer(), y->dataPointer(), x->byteCount()))
                << name << " at step " << i;
        }
        clean.advance(*a, i);
        dirty.advance(*b, i);
    }
}

TEST(TextDecoderModel, OutputsFollowTheDescription) {
    for (bool heads : {false, true}) {
        mltest::TempDir dir;
        const auto folder = dir.path() / "TextDecoder.mlmodelc";
        mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, decoderDims(heads),
                                   "F16", 2);
        auto model = ModelFactory::load(folder);
        const auto& outputs = model->modelDescription().outputDescriptionsByName;
        EXPECT_EQ(outputs.count("alignment_heads_weights"), heads ? 1u : 0u);
        EXPECT_EQ(outputs.at("key_cache_updates").multiArrayConstraint->shape,
                  (Shape{1, kE, 1, 1}));
        EXPECT_EQ(model->modelDescription()
                      .inputDescriptionsByName.at("key_cache")
                      .multiArrayConstraint->shape,
                  (Shape{1, kE, 1, kS}));

        mltest::Matrix rows;
        auto enc = randomEncoderOutput(4, rows);
        DecoderState state;
        auto out = state.step(*model, 3, 0, enc);
        EXPECT_EQ(out->featureValue("alignment_heads_weights").has_value(), heads);
        EXPECT_EQ(out->featureValue("value_cache_updates")->multiArrayValue()->shape(),
                  (Shape{1, kE, 1, 1}));
        // The model never writes its inputs.
        EXPECT_EQ(state.updateMask->span<std::int32_t>()[0], 1);
        EXPECT_EQ(state.keyCache->span<Float16>()[0].bits, 0);
    }
}

// A token or a position outside the network's tables would index past its
// weights; both are refused with an error naming the feature.
TEST(TextDecoderModel, RefusesTokensAndPositionsOutsideItsTables) {
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, decoderDims(false), "F16",
                               2);
    auto model = ModelFactory::load(folder);
    mltest::Matrix rows;
    auto enc = randomEncoderOutput(4, rows);
    struct Case {
        int token, position;
        const char* feature;
    };
    for (const Case& c : {Case{kVocab, 0, "input_ids"}, Case{-1, 0, "input_ids"},
                          Case{0, 240, "cache_length"}, Case{0, -1, "cache_length"}}) {
        DecoderState state;
        try {
            state.step(*model, c.token, c.position, enc);
            ADD_FAILURE() << "token " << c.token << " at " << c.position << " was accepted";
        } catch (const MLModelError& e) {
            EXPECT_NE(std::string(e.what()).find(c.feature), std::string::npos) << e.what();
        }
    }
    // The last position is still fine.
    DecoderState state;
    EXPECT_NO_THROW(state.step(*model, kVocab - 1, 239, enc));
}

// The small decoder with alignment heads, Float16 weights, written into `dir`.
static auto smallDecoderWithAlignmentHeads(const mltest::TempDir& dir) {
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, decoderDims(true), "F16",
                               3);
    return ModelFactory::load(folder);
}

// The step into caller-owned outputs is prediction() without its allocations:
// bit-identical outputs, and the same refusal of arrays that do not fit.
TEST(TextDecoderModel, StepIntoCallerOutputsMatchesPrediction) {
    mltest::TempDir dir;
    const auto model = smallDecoderWithAlignmentHeads(dir);
    const auto& decoder = dynamic_cast<const TextDecoderModel&>(*model);
    mltest::Matrix rows;
    const auto enc = randomEncoderOutput(6, rows);
    const auto half = [](Shape s) {
        return MLMultiArray::make(std::move(s), MLMultiArrayDataType::float16);
    };
    const auto logits = half({1, 1, kVocab}), keys = half({1, kE, 1, 1}),
               values = half({1, kE, 1, 1}), alignment = half({1, kW});
    DecoderState state;
    const auto tokens = randomTokens(2, 6);
    for (int i = 0; i < 6; ++i) {
        const auto expected = state.step(*model, tokens[i], i, enc);
        TextDecoderModel::StepArrays arrays{state.inputIds.get(),
                                            state.cacheLength.get(),
                                            state.keyCache.get(),
                                            state.valueCache.get(),
                                            state.updateMask.get(),
                                            enc.get(),
                                            state.paddingMask.get(),
                                            logits.get(),
                                            keys.get(),
                                            values.get(),
                                            alignment.get()};
        decoder.predict(arrays);
        for (const auto& [name, got] : {std::pair{"logits", logits},
                                        {"key_cache_updates", keys},
                                        {"value_cache_updates", values},
                                        {"alignment_heads_weights", alignment}}) {
            const auto want = expected->featureValue(name)->multiArrayValue();
            EXPECT_EQ(0, std::memcmp(want->dataPointer(), got->dataPointer(), want->byteCount()))
                << name << " at step " << i;
        }
        state.advance(*expected, i);
        if (i == 5) {
            const auto narrow = half({1, 1, kVocab - 1});
            arrays.logits = narrow.get();
            EXPECT_THROW(decoder.predict(arrays), MLModelError);
            arrays.logits = logits.get();
            arrays.keyCache = nullptr;
            EXPECT_THROW(decoder.predict(arrays), MLModelError);
        }
    }
}

// Every step reads the encoder output again to see whether the cross-attention
// keys and values kept from it still hold (a caller may refill an array in
// place), unless the caller vouches that it is the array of its previous step,
// unchanged: the decoding loop does so for every step of a window after the
// first, sparing a 1.5 MB comparison per token at base. The promise covers only
// keys and values computed from that very array.
TEST(TextDecoderModel, AnEncoderOutputIsReadAgainUnlessTheCallerVouchesItIsUnchanged) {
    mltest::TempDir dir;
    const auto model = smallDecoderWithAlignmentHeads(dir);
    const auto& decoder = dynamic_cast<const TextDecoderModel&>(*model);
    mltest::Matrix rowsA, rowsB;
    const auto enc = randomEncoderOutput(6, rowsA);
    const auto other = randomEncoderOutput(7, rowsB);
    const auto contentsA = std::vector<std::uint8_t>(
        static_cast<const std::uint8_t*>(enc->dataPointer()),
        static_cast<const std::uint8_t*>(enc->dataPointer()) + enc->byteCount());
    const auto logits = MLMultiArray::make({1, 1, kVocab}, MLMultiArrayDataType::float16);
    const auto keys = MLMultiArray::make({1, kE, 1, 1}, MLMultiArrayDataType::float16);
    const auto values = MLMultiArray::make({1, kE, 1, 1}, MLMultiArrayDataType::float16);
    DecoderState state;
    state.inputIds->span<std::int32_t>()[0] = randomTokens(3, 1)[0];
    // The first step's logits over `encoder`, as bytes.
    const auto step = [&](const MLMultiArray& encoder, bool unchanged) {
        TextDecoderModel::StepArrays arrays{state.inputIds.get(),
                                            state.cacheLength.get(),
                                            state.keyCache.get(),
                                            state.valueCache.get(),
                                            state.updateMask.get(),
                                            &encoder,
                                            state.paddingMask.get(),
                                            logits.get(),
                                            keys.get(),
                                            values.get(),
                                            nullptr};
        arrays.encoderUnchanged = unchanged;
        decoder.predict(arrays);
        const auto* bytes = static_cast<const std::uint8_t*>(logits->dataPointer());
        return std::vector<std::uint8_t>(bytes, bytes + logits->byteCount());
    };
    const auto overA = step(*enc, false);
    const auto overB = step(*other, false);
    ASSERT_NE(overA, overB);
    // Vouched for, but the kept keys and values are of the other array: recomputed.
    EXPECT_EQ(step(*enc, true), overA);
    // The array refilled in place with B's contents, yet vouched unchanged: the
    // keys and values of A are used without reading it.
    std::memcpy(enc->dataPointer(), other->dataPointer(), enc->byteCount());
    EXPECT_EQ(step(*enc, true), overA);
    // Not vouched for: the contents decide.
    EXPECT_EQ(step(*enc, false), overB);
    std::memcpy(enc->dataPointer(), contentsA.data(), contentsA.size());
    EXPECT_EQ(step(*enc, false), overA);
}

// A model large enough that every product, both attentions and the logits
// split into many runs over the threads: its steps match the reference, and
// on any number of threads they give the same bits, however the threads happen
// to split the rows and positions.
TEST(TextDecoderModel, ParallelStepsMatchTheReferenceOnAnyNumberOfThreads) {
    constexpr int V = 700, D = 128, L = 2, F = 516, W = 300, S = 64, kSteps = 40;
    const nlohmann::json dims = {{"vocab_size", V},
                                 {"d_model", D},
                                 {"decoder_layers", L},
                                 {"decoder_attention_heads", 4},
                                 {"decoder_ffn_dim", F},
                                 {"max_target_positions", 80},
                                 {"max_source_positions", W},
                                 {"kv_cache_length", S},
                                 {"alignment_heads", {{0, 1}, {1, 3}, {1, 0}}}};
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, dims, "F16", 41);
    const mltest::ReferenceWeights weights(folder);

    auto encoder = MLMultiArray::make({1, D, 1, W}, MLMultiArrayDataType::float16);
    mltest::Matrix rows(W, std::vector<float>(D));
    std::mt19937 rng(43);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int d = 0; d < D; ++d)
        for (int t = 0; t < W; ++t) {
            const Float16 v(normal(rng));
            encoder->span<Float16>()[d * W + t] = v;
            rows[t][d] = v;
        }
    std::vector<int> tokens(kSteps);
    std::uniform_int_distribution<int> pick(0, V - 1);
    for (int& t : tokens) t = pick(rng);
    const auto expected = mltest::referenceDecoder(weights, dims, tokens, rows);

    std::vector<std::uint16_t> firstBits;  // every output of every step, on one thread
    for (int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        MLModelConfiguration config;
        config.threadCount = threads;
        auto model = ModelFactory::load(folder, config);
        const auto make = [](std::vector<std::int64_t> shape, MLMultiArrayDataType type) {
            return MLMultiArray::make(std::move(shape), type);
        };
        using DT = MLMultiArrayDataType;
        auto ids = make({1}, DT::int32), length = make({1}, DT::int32);
        auto keys = make({1, L * D, 1, S}, DT::float16),
             values = make({1, L * D, 1, S}, DT::float16);
        auto update = make({1, S}, DT::int32), padding = make({1, S}, DT::float16);
        for (int j = 0; j < S; ++j) {
            update->span<std::int32_t>()[j] = j == 0 ? 1 : 0;
            padding->span<Float16>()[j] = j == 0 ? 0.0f : -10000.0f;
        }
        std::vector<std::uint16_t> bits;
        for (int i = 0; i < kSteps; ++i) {
            ids->span<std::int32_t>()[0] = tokens[i];
            length->span<std::int32_t>()[0] = i;
            auto out = model->prediction(
                MLDictionaryFeatureProvider({{"input_ids", ids},
                                             {"cache_length", length},
                                             {"key_cache", keys},
                                             {"value_cache", values},
                                             {"kv_cache_update_mask", update},
                                             {"encoder_output_embeds", encoder},
                                             {"decoder_key_padding_mask", padding}}));
            const auto logits = out->featureValue("logits")->multiArrayValue();
            const auto alignment = out->featureValue("alignment_heads_weights")->multiArrayValue();
            EXPECT_LT(worstDifference(*logits, expected.logits[i]), kLogitTolerance) << i;
            EXPECT_LT(worstDifference(*alignment, expected.alignment[i]), kAlignmentTolerance) << i;
            const auto newKeys =
                out->featureValue("key_cache_updates")->multiArrayValue()->span<Float16>();
            const auto newValues =
                out->featureValue("value_cache_updates")->multiArrayValue()->span<Float16>();
            for (const auto& span :
                 {logits->span<Float16>(), alignment->span<Float16>(), newKeys, newValues})
                for (const Float16 v : span) bits.push_back(v.bits);
            for (int e = 0; e < L * D; ++e) {
                keys->span<Float16>()[e * S + i] = newKeys[e];
                values->span<Float16>()[e * S + i] = newValues[e];
            }
            padding->span<Float16>()[i + 1] = 0.0f;
            update->span<std::int32_t>()[i] = 0;
            update->span<std::int32_t>()[i + 1] = 1;
        }
        if (firstBits.empty())
            firstBits = bits;
        else
            EXPECT_TRUE(bits == firstBits) << "outputs differ from those on one thread";
    }
}

namespace {

// The decoder's step inputs other than the cache, which a state keeps instead.
std::shared_ptr<MLFeatureProvider> stepInputsWithoutCache(
    const DecoderState& s, const std::shared_ptr<MLMultiArray>& encoder) {
    return std::make_shared<MLDictionaryFeatureProvider>(
        MLDictionaryFeatureProvider({{"input_ids", s.inputIds},
                                     {"cache_length", s.cacheLength},
                                     {"kv_cache_update_mask", s.updateMask},
                                     {"encoder_output_embeds", encoder},
                                     {"decoder_key_padding_mask", s.paddingMask}}));
}

std::vector<std::uint8_t> bytesOf(const MLMultiArray& a) {
    const auto* p = static_cast<const std::uint8_t*>(a.dataPointer());
    return {p, p + a.byteCount()};
}

std::vector<std::uint8_t> stateBytes(MLState& state, const std::string& name) {
    std::vector<std::uint8_t> out;
    state.withMultiArray(name, [&](MLMultiArray& a) { out = bytesOf(a); });
    return out;
}

struct StatefulCase {
    int threads;
    bool alignmentHeads;
    std::vector<int> windowLengths;  // each window starts again from reset masks
};

std::string caseName(const StatefulCase& c) {
    return std::to_string(c.threads) + "threads_" + std::to_string(c.windowLengths.size()) +
           "windows" + (c.alignmentHeads ? "_alignment" : "");
}
void PrintTo(const StatefulCase& c, std::ostream* os) { *os << caseName(c); }

class StatefulDecoderTest : public ::testing::TestWithParam<StatefulCase> {};

}  // namespace

// Run through a state, the decoder keeps its own key/value cache and gives, to
// the bit, the outputs of the same steps with the cache passed in and copied
// into by the caller; both match the reference, and the state ends holding
// the very cache the caller built. Later windows run over the stale cache of
// earlier ones, hidden by the reset masks.
TEST_P(StatefulDecoderTest, StepsThroughAStateMatchTheCacheThroughInputs) {
    const auto& param = GetParam();
    mltest::TempDir dir;
    const auto folder = dir.path() / "TextDecoder.mlmodelc";
    const auto dims = decoderDims(param.alignmentHeads);
    mltest::writeRandomNetwork(folder, WhisperModelLayout::kTextDecoder, dims, "F16", 51);
    const mltest::ReferenceWeights weights(folder);
    MLModelConfiguration config;
    config.threadCount = param.threads;
    const auto model = ModelFactory::load(folder, config);
    const auto state = model->makeState();
    EXPECT_EQ(state->names(), (std::vector<std::string>{"key_cache", "value_cache"}));

    DecoderState inputs;  // the cache-through-inputs road, and the masks of both
    for (std::size_t window = 0; window < param.windowLengths.size(); ++window) {
        mltest::Matrix rows;
        const auto enc = randomEncoderOutput(70 + static_cast<unsigned>(window), rows);
        const int n = param.windowLengths[window];
        const auto tokens = randomTokens(80 + static_cast<unsigned>(window), n);
        const auto expected = mltest::referenceDecoder(weights, dims, tokens, rows);
        inputs.reset();
        for (int i = 0; i < n; ++i) {
            SCOPED_TRACE("window " + std::to_string(window) + " step " + std::to_string(i));
            const auto want = inputs.step(*model, tokens[i], i, enc);
            const auto got = model->prediction(*stepInputsWithoutCache(inputs, enc), *state);
            for (const auto& name : model->modelDescription().outputDescriptionsByName) {
                const auto w = want->featureValue(name.first), g = got->featureValue(name.first);
                ASSERT_EQ(w.has_value(), g.has_value()) << name.first;
                if (w) {
                    EXPECT_EQ(bytesOf(*w->multiArrayValue()), bytesOf(*g->multiArrayValue()))
                        << name.first;
                }
            }
            EXPECT_LT(worstDifference(*got->featureValue("logits")->multiArrayValue(),
                                      expected.logits[i]),
                      kLogitTolerance);
            inputs.advance(*want, i);
        }
        EXPECT_EQ(stateBytes(*state, "key_cache"), bytesOf(*inputs.keyCache));
        EXPECT_EQ(stateBytes(*state, "value_cache"), bytesOf(*inputs.valueCache));
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, StatefulDecoderTest,
                         ::testing::Values(StatefulCase{1, true, {12}},
                                           StatefulCase{3, true, {20, 4, 7}},
                                           StatefulCase{2, false, {5, 9}}),
                         [](const auto& info) { return caseName(info.param); });

// A decoder refuses a state that is not shaped like its own cache, before it
// reads or writes any of it.
TEST(TextDecoderModel, StatesThatDoNotFitTheCacheAreRefused) {
    mltest::TempDir dir;
    mltest::writeRandomNetwork(dir.path() / "TextDecoder.mlmodelc",
                               WhisperModelLayout::kTextDecoder, decoderDims(false), "F16", 5);
    const auto decoder = ModelFactory::load(dir.path() / "TextDecoder.mlmodelc");
    const auto decoderState = decoder->makeState();
    mltest::Matrix rows;
    const auto enc = randomEncoderOutput(4, rows);
    DecoderState masks;
    const auto half = [](Shape s) {
        return MLMultiArray::make(std::move(s), MLMultiArrayDataType::float16);
    };
    struct Foreign {
        const char* what;
        MLState::Arrays arrays;
        const char* message;
    };
    const std::vector<Foreign> foreign = {
        {"a shorter cache",
         {{"key_cache", half({1, kE, 1, kS - 1})}, {"value_cache", half({1, kE, 1, kS})}},
         "State \"key_cache\" has shape"},
        {"another element type",
         {{"key_cache", half({1, kE, 1, kS})},
          {"value_cache", MLMultiArray::make({1, kE, 1, kS}, MLMultiArrayDataType::float32)}},
         "State \"value_cache\" is float32"},
        {"a missing array", {{"key_cache", half({1, kE, 1, kS})}}, "it keeps 1 arrays"},
        {"another name",
         {{"key_cache", half({1, kE, 1, kS})}, {"values", half({1, kE, 1, kS})}},
         "it keeps no \"value_cache\""},
    };
    for (const auto& f : foreign) {
        SCOPED_TRACE(f.what);
        MLState state(f.arrays);
        try {
            decoder->prediction(*stepInputsWithoutCache(masks, enc), state);
            ADD_FAILURE() << "accepted";
        } catch (const MLModelError& e) {
            EXPECT_EQ(e.code(), MLModelError::Code::featureType);
            EXPECT_NE(std::string(e.what()).find(f.message), std::string::npos) << e.what();
        }
        for (const auto& [name, array] : f.arrays)
            EXPECT_EQ(bytesOf(*array), std::vector<std::uint8_t>(array->byteCount(), 0)) << name;
    }
    // Inputs are still checked on the stateful road.
    masks.updateMask = MLMultiArray::make({1, kS + 1}, MLMultiArrayDataType::int32);
    EXPECT_THROW(decoder->prediction(*stepInputsWithoutCache(masks, enc), *decoderState),
                 MLModelError);
}
