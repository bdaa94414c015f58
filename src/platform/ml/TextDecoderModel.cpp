#include "platform/ml/TextDecoderModel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/PhaseBoard.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace {

constexpr float kNormEpsilon = 1e-5f;
// Padding at or below this hides a position completely. The pipeline uses
// -10000, whose exp() is exactly 0 in Float32 anyway; skipping such positions
// also keeps non-finite garbage in them from turning into NaN.
constexpr float kHiddenPadding = -1000.0f;
// Phases of a layer in a step's program: the self-attention products, the
// attention, its output; the cross-attention query, the attention, its
// output; the two feed-forward products.
constexpr std::size_t kPhasesPerLayer = 8;

// The key/value cache may live in a state instead of being passed in: the
// same names, types and shapes as its inputs.
MLModelDescription withCacheStates(MLModelDescription description) {
    for (const char* name : {"key_cache", "value_cache"})
        if (const auto it = description.inputDescriptionsByName.find(name);
            it != description.inputDescriptionsByName.end())
            description.stateDescriptionsByName[name] = it->second;
    return description;
}

}  // namespace

struct TextDecoderModel::Workspace {
    AlignedBuffer<float> x, h, qkv, attn, ffn;  // one token's activations
    AlignedBuffer<float> embedding;             // a Float16 embedding row widened
    AlignedBuffer<float> logits;                // [V]
    AlignedBuffer<float> selfScores;            // [H][S]
    AlignedBuffer<float> selfPartial;           // [H][dh]
    AlignedBuffer<float> crossProbs;            // [H][W], exp(score - its part's max)
    AlignedBuffer<float> crossParts;   // [H][parts][dh + 2]: a part's weighted values, max, sum
    AlignedBuffer<float> crossScales;  // [H][parts]: each head's parts put on one scale
    // [H]: parts of a head finished, a line each (threads finishing parts of
    // different heads do not contend).
    struct alignas(64) PartsDone {
        std::atomic<int> count{0};
    };
    std::unique_ptr<PartsDone[]> crossPartsDone;
    AlignedBuffer<float> alignment;              // [W]
    std::vector<std::pair<int, int>> cacheRuns;  // visible cache positions [begin, end)
    std::vector<int> updatePositions;            // visible positions that take the new key/value

    // Cross-attention keys [L][H][W][dh] and values [L][H][dh][W], and the
    // encoder output they were computed from.
    AlignedBuffer<Float16> crossKeys, crossValues, encoder;
    bool hasCross = false;
    const void* encoderSource = nullptr;  // the array last seen; a hint, the contents decide
    AlignedBuffer<float> encoderRows;     // the encoder output as rows [W][D]
    AlignedBuffer<float> crossScratch;    // per pool thread: one block's products [block][L·D]
    PhaseBoard board;                     // a step's program, shared by the threads running it
};

TextDecoderModel::TextDecoderModel(const ModelFolder& folder,
                                   const MLModelConfiguration& configuration)
    : MLModel(withCacheStates(folder.description()), configuration), weights_(folder) {
    const auto& dims = folder.dimensions();
    vocab_ = static_cast<int>(WhisperModelLayout::dimension(dims, "vocab_size"));
    d_ = static_cast<int>(WhisperModelLayout::dimension(dims, "d_model"));
    heads_ = static_cast<int>(WhisperModelLayout::dimension(dims, "decoder_attention_heads"));
    ffn_ = static_cast<int>(WhisperModelLayout::dimension(dims, "decoder_ffn_dim"));
    positions_ = static_cast<int>(WhisperModelLayout::dimension(dims, "max_target_positions"));
    w_ = static_cast<int>(WhisperModelLayout::dimension(dims, "max_source_positions"));
    s_ = static_cast<int>(WhisperModelLayout::dimension(dims, "kv_cache_length"));
    const auto layerCount = WhisperModelLayout::dimension(dims, "decoder_layers");

    pool_ = std::make_unique<ComputePool>(configuration.threadCount);

    tokenEmbedding_ = weights_.matrix("model.decoder.embed_tokens.weight");
    positionEmbedding_ = weights_.matrix("model.decoder.embed_positions.weight");
    for (std::int64_t l = 0; l < layerCount; ++l) {
        const std::string p = "model.decoder.layers." + std::to_string(l);
        Layer layer;
        layer.selfQ = weights_.matrix(p + ".self_attn.q_proj.weight");
        layer.selfK = weights_.matrix(p + ".self_attn.k_proj.weight");
        layer.selfV = weights_.matrix(p + ".self_attn.v_proj.weight");
        layer.selfO = weights_.matrix(p + ".self_attn.out_proj.weight");
        layer.crossQ = weights_.matrix(p + ".encoder_attn.q_proj.weight");
        layer.crossK = weights_.matrix(p + ".encoder_attn.k_proj.weight");
        layer.crossV = weights_.matrix(p + ".encoder_attn.v_proj.weight");
        layer.crossO = weights_.matrix(p + ".encoder_attn.out_proj.weight");
        layer.fc1 = weights_.matrix(p + ".fc1.weight");
        layer.fc2 = weights_.matrix(p + ".fc2.weight");
        layer.selfQBias = weights_.floats(p + ".self_attn.q_proj.bias");
        layer.selfVBias = weights_.floats(p + ".self_attn.v_proj.bias");
        layer.selfOBias = weights_.floats(p + ".self_attn.out_proj.bias");
        layer.crossQBias = weights_.floats(p + ".encoder_attn.q_proj.bias");
        layer.crossVBias = weights_.floats(p + ".encoder_attn.v_proj.bias");
        layer.crossOBias = weights_.floats(p + ".encoder_attn.out_proj.bias");
        layer.fc1Bias = weights_.floats(p + ".fc1.bias");
        layer.fc2Bias = weights_.floats(p + ".fc2.bias");
        layer.norm1Weight = weights_.floats(p + ".self_attn_layer_norm.weight");
        layer.norm1Bias = weights_.floats(p + ".self_attn_layer_norm.bias");
        layer.norm2Weight = weights_.floats(p + ".encoder_attn_layer_norm.weight");
        layer.norm2Bias = weights_.floats(p + ".encoder_attn_layer_norm.bias");
        layer.norm3Weight = weights_.floats(p + ".final_layer_norm.weight");
        layer.norm3Bias = weights_.floats(p + ".final_layer_norm.bias");
        layers_.push_back(std::move(layer));
    }
    // Every layer's cross-attention key and value weights, widened once and
    // stacked, so that a new encoder output takes two products per row block.
    const std::size_t D = static_cast<std::size_t>(d_), LD = layers_.size() * D;
    crossKeyWeights_ = AlignedBuffer<float>(LD * D);
    crossValueWeights_ = AlignedBuffer<float>(LD * D);
    crossValueBias_.resize(LD);
    for (std::size_t l = 0; l < layers_.size(); ++l) {
        const auto widen = [&](const WeightMatrix& m, float* dst) {
            if (m.f16)
                convertHalfToFloat(m.f16, dst, D * D);
            else
                std::memcpy(dst, m.f32, D * D * sizeof(float));
        };
        widen(layers_[l].crossK, crossKeyWeights_.data() + l * D * D);
        widen(layers_[l].crossV, crossValueWeights_.data() + l * D * D);
        std::copy(layers_[l].crossVBias.begin(), layers_[l].crossVBias.end(),
                  crossValueBias_.begin() + static_cast<std::ptrdiff_t>(l * D));
    }
    const auto e = static_cast<std::int64_t>(layers_.size()) * d_;
    shapes_ = {{1}, {1, e, 1, s_}, {1, s_}, {1, d_, 1, w_}, {1, 1, vocab_}, {1, e, 1, 1}, {1, w_}};
    crossBlock_ = std::max<std::size_t>(
        16,
        (static_cast<std::size_t>(w_) + 2 * static_cast<std::size_t>(pool_->threadCount()) - 1) /
            (2 * static_cast<std::size_t>(pool_->threadCount())));
    // Cross-attention runs a part of the encoder positions per task, about
    // two dozen parts per head (64 positions of 1,500): with fewer, larger
    // parts the threads waited at the end of the phase for the last one (six
    // parts of 256 left each thread waiting ~8 µs per layer). A fixed count
    // (not one per thread) keeps the sums' order, and so the results, the same
    // on any number of threads.
    crossPart_ = std::max<std::size_t>(32, (static_cast<std::size_t>(w_) / 24 + 15) / 16 * 16);
    finalNormWeight_ = weights_.floats("model.decoder.layer_norm.weight");
    finalNormBias_ = weights_.floats("model.decoder.layer_norm.bias");

    // The layout has already checked that every listed head exists.
    if (auto it = dims.find("alignment_heads"); it != dims.end() && it->is_array())
        for (const auto& pair : *it) {
            layers_[pair[0].get<std::size_t>()].alignmentHeads.push_back(pair[1].get<int>());
            ++alignmentHeadCount_;
        }
}

TextDecoderModel::~TextDecoderModel() = default;

double TextDecoderModel::bytesReadPerStep() const {
    double bytes = static_cast<double>(tokenEmbedding_.byteCount());
    for (const Layer& l : layers_)
        for (const auto* m :
             {&l.selfQ, &l.selfK, &l.selfV, &l.selfO, &l.crossQ, &l.crossO, &l.fc1, &l.fc2})
            bytes += static_cast<double>(m->byteCount());
    bytes +=
        2.0 * 2.0 * static_cast<double>(layers_.size()) * w_ * d_;  // cached cross keys and values
    return bytes;
}

double TextDecoderModel::flopsPerStep() const {
    const double d = d_, f = ffn_;
    return static_cast<double>(layers_.size()) * (2.0 * 6.0 * d * d + 4.0 * d * f + 4.0 * w_ * d) +
           2.0 * vocab_ * d;
}

std::unique_ptr<TextDecoderModel::Workspace> TextDecoderModel::makeWorkspace() const {
    const auto d = static_cast<std::size_t>(d_), w = static_cast<std::size_t>(w_),
               h = static_cast<std::size_t>(heads_);
    const auto layers = layers_.size();
    auto ws = std::make_unique<Workspace>();
    ws->x = AlignedBuffer<float>(d);
    ws->h = AlignedBuffer<float>(d);
    ws->qkv = AlignedBuffer<float>(3 * d);
    ws->attn = AlignedBuffer<float>(d);
    ws->embedding = AlignedBuffer<float>(d);
    ws->ffn = AlignedBuffer<float>(static_cast<std::size_t>(ffn_));
    ws->logits = AlignedBuffer<float>(static_cast<std::size_t>(vocab_));
    ws->selfScores = AlignedBuffer<float>(h * static_cast<std::size_t>(s_));
    ws->selfPartial = AlignedBuffer<float>(d);
    ws->crossProbs = AlignedBuffer<float>(h * w);
    ws->crossScales = AlignedBuffer<float>(h * ((w + crossPart_ - 1) / crossPart_));
    ws->crossPartsDone = std::make_unique<Workspace::PartsDone[]>(h);
    ws->crossParts = AlignedBuffer<float>(h * ((w + crossPart_ - 1) / crossPart_) * (d / h + 2));
    ws->alignment = AlignedBuffer<float>(w);
    ws->cacheRuns.reserve(static_cast<std::size_t>(s_));
    ws->updatePositions.reserve(static_cast<std::size_t>(s_));
    ws->crossKeys = AlignedBuffer<Float16>(layers * w * d);
    ws->crossValues = AlignedBuffer<Float16>(layers * w * d);
    ws->encoder = AlignedBuffer<Float16>(w * d);
    ws->encoderRows = AlignedBuffer<float>(w * d);
    ws->crossScratch = AlignedBuffer<float>(static_cast<std::size_t>(pool_->threadCount()) *
                                            crossBlock_ * layers * d);
    return ws;
}

MLModel::Arrays TextDecoderModel::evaluate(const Arrays& inputs) const {
    const auto e = static_cast<std::int64_t>(layers_.size()) * d_;
    auto logits = MLMultiArray::make({1, 1, vocab_}, MLMultiArrayDataType::float16);
    auto keys = MLMultiArray::make({1, e, 1, 1}, MLMultiArrayDataType::float16);
    auto values = MLMultiArray::make({1, e, 1, 1}, MLMultiArrayDataType::float16);
    std::shared_ptr<MLMultiArray> alignment;
    if (alignmentHeadCount_ > 0)
        alignment = MLMultiArray::make({1, w_}, MLMultiArrayDataType::float16);

    StepArrays arrays;
    arrays.inputIds = inputs.at("input_ids").get();
    arrays.cacheLength = inputs.at("cache_length").get();
    arrays.keyCache = inputs.at("key_cache").get();
    arrays.valueCache = inputs.at("value_cache").get();
    arrays.kvCacheUpdateMask = inputs.at("kv_cache_update_mask").get();
    arrays.encoderOutputEmbeds = inputs.at("encoder_output_embeds").get();
    arrays.decoderKeyPaddingMask = inputs.at("decoder_key_padding_mask").get();
    arrays.logits = logits.get();
    arrays.keyCacheUpdates = keys.get();
    arrays.valueCacheUpdates = values.get();
    arrays.alignmentHeadsWeights = alignment.get();
    runStep(arrays);

    Arrays out{{"logits", logits}, {"key_cache_updates", keys}, {"value_cache_updates", values}};
    if (alignment) out["alignment_heads_weights"] = alignment;
    return out;
}

MLModel::Arrays TextDecoderModel::evaluateWithState(const Arrays& inputs,
                                                    const Arrays& state) const {
    Arrays all = inputs;
    const auto& keyCache = state.at("key_cache");
    const auto& valueCache = state.at("value_cache");
    all["key_cache"] = keyCache;
    all["value_cache"] = valueCache;
    Arrays out = evaluate(all);
    // What the decoding loop does with the step's keys and values when it
    // keeps the cache itself.
    const auto keys = out.at("key_cache_updates")->span<Float16>();
    const auto values = out.at("value_cache_updates")->span<Float16>();
    const auto mask = inputs.at("kv_cache_update_mask")->span<std::int32_t>();
    const auto keyRows = keyCache->span<Float16>(), valueRows = valueCache->span<Float16>();
    const auto S = static_cast<std::size_t>(s_);
    for (std::size_t j = 0; j < S; ++j) {
        if (mask[j] == 0) continue;
        for (std::size_t e = 0; e < keys.size(); ++e) {
            keyRows[e * S + j] = keys[e];
            valueRows[e * S + j] = values[e];
        }
    }
    return out;
}

void TextDecoderModel::runStep(const StepArrays& arrays) const {
    // Concurrent decoders (a batch) each find the workspace that holds their
    // window's cross-attention keys and values, instead of recomputing them.
    const void* encoder = arrays.encoderOutputEmbeds->dataPointer();
    auto ws =
        workspaces_.acquire([encoder](const Workspace& w) { return w.encoderSource == encoder; },
                            [this] { return makeWorkspace(); });
    // Kept keys and values are of this array only if this workspace last
    // served it; another window may have had the workspace meanwhile.
    const bool unchanged = arrays.encoderUnchanged && ws->encoderSource == encoder;
    ws->encoderSource = encoder;
    step(arrays, *ws, unchanged);
}

void TextDecoderModel::predict(const StepArrays& arrays) const {
    const auto check = [](const MLMultiArray* array, const char* name,
                          const MLMultiArrayDataType type, const std::vector<std::int64_t>& shape) {
        if (!array)
            throw MLModelError(MLModelError::Code::featureType,
                               std::string("Required feature \"") + name + "\" is missing");
        if (array->dataType() != type || array->shape() != shape)
            throw MLModelError(MLModelError::Code::featureType,
                               std::string("Feature \"") + name + "\" is " +
                                   dataTypeName(array->dataType()) + " " +
                                   shapeText(array->shape()) + " but the model has " +
                                   dataTypeName(type) + " " + shapeText(shape));
    };
    using DT = MLMultiArrayDataType;
    check(arrays.inputIds, "input_ids", DT::int32, shapes_.scalar);
    check(arrays.cacheLength, "cache_length", DT::int32, shapes_.scalar);
    check(arrays.keyCache, "key_cache", DT::float16, shapes_.cache);
    check(arrays.valueCache, "value_cache", DT::float16, shapes_.cache);
    check(arrays.kvCacheUpdateMask, "kv_cache_update_mask", DT::int32, shapes_.mask);
    check(arrays.encoderOutputEmbeds, "encoder_output_embeds", DT::float16, shapes_.encoder);
    check(arrays.decoderKeyPaddingMask, "decoder_key_padding_mask", DT::float16, shapes_.mask);
    check(arrays.logits, "logits", DT::float16, shapes_.logits);
    check(arrays.keyCacheUpdates, "key_cache_updates", DT::float16, shapes_.update);
    check(arrays.valueCacheUpdates, "value_cache_updates", DT::float16, shapes_.update);
    StepArrays checked = arrays;
    if (alignmentHeadCount_ == 0) {
        checked.alignmentHeadsWeights = nullptr;
    } else if (arrays.alignmentHeadsWeights) {
        check(arrays.alignmentHeadsWeights, "alignment_heads_weights", DT::float16,
              shapes_.alignment);
    }
    runStep(checked);
}

std::size_t TextDecoderModel::rowsOf(std::initializer_list<MatvecJob> jobs) {
    std::size_t rows = 0;
    for (const auto& j : jobs) rows += static_cast<std::size_t>(j.w->rows);
    return rows;
}

void TextDecoderModel::matvecRange(const ComputeKernels& k, std::initializer_list<MatvecJob> jobs,
                                   std::size_t begin, std::size_t end) {
    // Runs start on multiples of four rows and are finished in chunks counted
    // from their start, so the kernels always take a row in the same group of
    // four; the epilogues give a row the same result wherever its run ends.
    // So however the rows are split, the results are the same.
    std::size_t base = 0;
    for (const auto& j : jobs) {
        const std::size_t rows = static_cast<std::size_t>(j.w->rows);
        const std::size_t b = std::max(begin, base), e = std::min(end, base + rows);
        if (b < e)
            for (std::size_t r = b - base; r < e - base; r += kEpilogueRows)
                matvecRows(k, j, r, std::min(e - base, r + kEpilogueRows) - r);
        base += rows;
    }
}

void TextDecoderModel::matvecRows(const ComputeKernels& k, const MatvecJob& j, std::size_t r,
                                  std::size_t count) {
    const std::size_t n = static_cast<std::size_t>(j.w->cols);
    float product[kEpilogueRows];
    float* y = j.y + r;
    float* p = j.add ? product : y;
    if (j.w->f16)
        k.matvecF16(j.w->f16 + r * n, n, j.x, n, p, count);
    else
        k.matvecF32(j.w->f32 + r * n, n, j.x, n, p, count);
    if (j.add) {
        for (std::size_t i = 0; i < count; ++i) y[i] += p[i] + (j.bias ? j.bias[r + i] : 0.0f);
    } else if (j.gelu) {
        k.biasGelu(y, j.bias + r, count);
    } else if (j.bias) {
        for (std::size_t i = 0; i < count; ++i) y[i] = (y[i] + j.bias[r + i]) * j.scale;
    } else if (j.scale != 1.0f) {
        for (std::size_t i = 0; i < count; ++i) y[i] *= j.scale;
    }
    if (j.half) convertFloatToHalf(y, j.half + r, count);
}

const TextDecoderModel::PackedCross& TextDecoderModel::packedCrossWeights(
    const MatrixKernels& mk) const {
    std::lock_guard lock(packedCrossMutex_);
    for (const auto& p : packedCross_)
        if (p->kernels == &mk) return *p;
    // Packed once per build; a build in use elsewhere keeps its own copy.
    const std::size_t LD = layers_.size() * static_cast<std::size_t>(d_),
                      D = static_cast<std::size_t>(d_);
    auto p = std::make_unique<PackedCross>();
    p->kernels = &mk;
    p->keys = AlignedBuffer<float>(mk.packedSize(LD, D));
    p->values = AlignedBuffer<float>(mk.packedSize(LD, D));
    const std::size_t chunk = (256 + mk.packGrain - 1) / mk.packGrain * mk.packGrain;
    const std::size_t chunks = (LD + chunk - 1) / chunk;
    pool_->parallelFor(2 * chunks, [&](std::size_t task) {
        const bool keys = task < chunks;
        const std::size_t j0 = (task % chunks) * chunk;
        mk.pack(true, LD, D, keys ? crossKeyWeights_.data() : crossValueWeights_.data(), D,
                keys ? p->keys.data() : p->values.data(), j0, std::min(LD, j0 + chunk));
    });
    packedCross_.push_back(std::move(p));
    return *packedCross_.back();
}

void TextDecoderModel::prepareCrossAttention(const Float16* encoder, Workspace& ws,
                                             bool unchanged) const {
    const std::size_t W = static_cast<std::size_t>(w_), D = static_cast<std::size_t>(d_);
    const std::size_t H = static_cast<std::size_t>(heads_), dh = D / H;
    const std::size_t bytes = W * D * sizeof(Float16);

    if (ws.hasCross && unchanged) return;
    if (ws.hasCross) {
        // Same contents, same keys and values: compare in parallel, it is cheap next to a step.
        std::atomic<bool> same{true};
        const auto* a = reinterpret_cast<const unsigned char*>(encoder);
        const auto* b = reinterpret_cast<const unsigned char*>(ws.encoder.data());
        pool_->parallelRuns(bytes, 4096, [&](std::size_t begin, std::size_t end) {
            if (std::memcmp(a + begin, b + begin, end - begin) != 0)
                same.store(false, std::memory_order_relaxed);
        });
        if (same.load()) return;
    }
    ws.hasCross = false;
    std::memcpy(ws.encoder.data(), encoder, bytes);

    // [D][W] to rows [W][D].
    float* rows = ws.encoderRows.data();
    pool_->parallelRanges(D, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t d = begin; d < end; ++d)
            for (std::size_t t = 0; t < W; ++t)
                rows[t * D + d] = halfBitsToFloat(encoder[d * W + t].bits);
    });

    // Per block of encoder rows: keys = rows · Kᵀ and values = rows · Vᵀ
    // ([block][L·D], one product over every layer at once, against weights
    // packed once per model), then split into keys [L][H][W][dh] and values
    // [L][D][W].
    const std::size_t L = layers_.size(), LD = L * D, block = crossBlock_;
    const ComputeKernels& k = computeKernels();
    const MatrixKernels& mk = matrixKernels();
    const PackedCross& packed = packedCrossWeights(mk);
    pool_->parallelFor((W + block - 1) / block, [&](std::size_t task) {
        const std::size_t begin = task * block, end = std::min(W, begin + block), n = end - begin;
        float* scratch = ws.crossScratch.data() +
                         static_cast<std::size_t>(ComputePool::currentThread()) * block * LD;
        mk.gemmPacked(n, LD, D, rows + begin * D, D, packed.keys.data(), scratch, LD, false);
        for (std::size_t l = 0; l < L; ++l) {
            Float16* keys = ws.crossKeys.data() + l * W * D;  // [H][W][dh]
            for (std::size_t t = 0; t < n; ++t)
                for (std::size_t h = 0; h < H; ++h)
                    convertFloatToHalf(scratch + t * LD + l * D + h * dh,
                                       keys + (h * W + begin + t) * dh, dh);
        }
        mk.gemmPacked(n, LD, D, rows + begin * D, D, packed.values.data(), scratch, LD, false);
        // Values of layer l, dimension d: [L][D][W] is row r of [L·D][W].
        k.transposeToHalf(scratch, LD, n, LD, crossValueBias_.data(), ws.crossValues.data() + begin,
                          W);
    });
    ws.hasCross = true;
}

void TextDecoderModel::step(const StepArrays& arrays, Workspace& ws, bool encoderUnchanged) const {
    Float16* logitsOut = arrays.logits->span<Float16>().data();
    Float16* keysOut = arrays.keyCacheUpdates->span<Float16>().data();
    Float16* valuesOut = arrays.valueCacheUpdates->span<Float16>().data();
    Float16* alignmentOut = arrays.alignmentHeadsWeights
                                ? arrays.alignmentHeadsWeights->span<Float16>().data()
                                : nullptr;
    const auto& k = computeKernels();
    const std::size_t D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_),
                      dh = D / H;
    const std::size_t W = static_cast<std::size_t>(w_), S = static_cast<std::size_t>(s_);

    const std::int32_t token = arrays.inputIds->span<std::int32_t>()[0];
    const std::int32_t position = arrays.cacheLength->span<std::int32_t>()[0];
    if (token < 0 || token >= vocab_)
        throw MLModelError(MLModelError::Code::featureType,
                           "Input feature \"input_ids\" holds token " + std::to_string(token) +
                               ", outside the vocabulary of " + std::to_string(vocab_));
    if (position < 0 || position >= positions_)
        throw MLModelError(MLModelError::Code::featureType,
                           "Input feature \"cache_length\" holds " + std::to_string(position) +
                               ", outside 0..." + std::to_string(positions_ - 1));
    const Float16* keyCache = arrays.keyCache->span<Float16>().data();
    const Float16* valueCache = arrays.valueCache->span<Float16>().data();
    const auto updateMask = arrays.kvCacheUpdateMask->span<std::int32_t>();
    const Float16* padding = arrays.decoderKeyPaddingMask->span<Float16>().data();
    prepareCrossAttention(arrays.encoderOutputEmbeds->span<Float16>().data(), ws, encoderUnchanged);

    // Which cache positions this step may see, and which take the new key/value.
    ws.cacheRuns.clear();
    ws.updatePositions.clear();
    for (std::size_t j = 0; j < S; ++j) {
        const float p = halfBitsToFloat(padding[j].bits);
        if (!(p > kHiddenPadding)) continue;
        if (updateMask[j] != 0) {
            ws.updatePositions.push_back(static_cast<int>(j));
        } else if (!ws.cacheRuns.empty() && ws.cacheRuns.back().second == static_cast<int>(j)) {
            ++ws.cacheRuns.back().second;
        } else {
            ws.cacheRuns.emplace_back(static_cast<int>(j), static_cast<int>(j) + 1);
        }
    }
    std::size_t visible = ws.updatePositions.size();
    for (auto [b, e] : ws.cacheRuns) visible += static_cast<std::size_t>(e - b);

    // Token and position embeddings.
    float* x = ws.x.data();
    float* h = ws.h.data();
    auto embeddingRow = [&](const WeightMatrix& m, std::size_t row, float* dst, bool add) {
        if (m.f16) {
            float* tmp = ws.embedding.data();
            convertHalfToFloat(m.f16 + row * D, tmp, D);
            for (std::size_t i = 0; i < D; ++i) dst[i] = add ? dst[i] + tmp[i] : tmp[i];
        } else {
            for (std::size_t i = 0; i < D; ++i)
                dst[i] = add ? dst[i] + m.f32[row * D + i] : m.f32[row * D + i];
        }
    };
    embeddingRow(tokenEmbedding_, static_cast<std::size_t>(token), x, false);
    embeddingRow(positionEmbedding_, static_cast<std::size_t>(position), x, true);

    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    float* q = ws.qkv.data();
    float* kNew = q + D;
    float* vNew = q + 2 * D;
    float* attn = ws.attn.data();
    if (alignmentOut) std::fill(ws.alignment.data(), ws.alignment.data() + W, 0.0f);
    k.layerNorm(x, layers_[0].norm1Weight.data(), layers_[0].norm1Bias.data(), h, D, kNormEpsilon);

    // The rest of the step is one program of phases that every thread of the
    // pool runs (see PhaseBoard): a product's rows, a head's attention or the
    // logits' rows go to whichever thread claims them, and the small serial
    // pieces (layer norms, putting a head's parts on one scale, the alignment
    // weights) are done by the thread that completes the phase before them.
    const std::size_t L = layers_.size(), V = static_cast<std::size_t>(vocab_);
    const std::size_t parts = (W + crossPart_ - 1) / crossPart_, stride = dh + 2;
    const auto threads = static_cast<std::size_t>(pool_->threadCount());
    ws.board.reset(kPhasesPerLayer * L + 1, threads);
    const auto program = [&] {
        PhaseBoard::Member member(ws.board, static_cast<std::size_t>(ComputePool::currentThread()));
        std::size_t phase = 0;
        const auto products = [&](std::initializer_list<MatvecJob> jobs, auto&& then) {
            member.run(
                phase++, rowsOf(jobs), 4,
                [&](std::size_t begin, std::size_t end) { matvecRange(k, jobs, begin, end); },
                then);
        };
        for (std::size_t l = 0; l < L; ++l) {
            const Layer& layer = layers_[l];
            const auto norm = [&](const std::vector<float>& weight,
                                  const std::vector<float>& bias) {
                return [&, w = weight.data(), b = bias.data()] {
                    k.layerNorm(x, w, b, h, D, kNormEpsilon);
                };
            };

            // Self-attention over the visible cache plus this token.
            products({{&layer.selfQ, h, q, layer.selfQBias.data(), scale},
                      {&layer.selfK, h, kNew, nullptr, 1.0f, false, false, keysOut + l * D},
                      {&layer.selfV, h, vNew, layer.selfVBias.data(), 1.0f, false, false,
                       valuesOut + l * D}},
                     [] {});
            const Float16* layerKeys = keyCache + l * D * S;
            const Float16* layerValues = valueCache + l * D * S;
            member.run(phase++, H, 1, [&](std::size_t first, std::size_t last) {
                for (std::size_t head = first; head < last; ++head) {
                    float* scores = ws.selfScores.data() + head * S;
                    const float* qh = q + head * dh;
                    float best = -INFINITY;
                    for (auto [b, e] : ws.cacheRuns) {
                        std::fill(scores + b, scores + e, 0.0f);
                        for (std::size_t c = 0; c < dh; ++c)
                            k.axpyF16(qh[c], layerKeys + (head * dh + c) * S + b, scores + b,
                                      static_cast<std::size_t>(e - b));
                        for (int j = b; j < e; ++j) {
                            scores[j] += halfBitsToFloat(padding[j].bits);
                            best = std::max(best, scores[j]);
                        }
                    }
                    float own = 0.0f;
                    for (std::size_t c = 0; c < dh; ++c) own += qh[c] * kNew[head * dh + c];
                    for (int j : ws.updatePositions) {
                        scores[j] = own + halfBitsToFloat(padding[j].bits);
                        best = std::max(best, scores[j]);
                    }
                    float* out = attn + head * dh;
                    std::fill(out, out + dh, 0.0f);
                    float sum = 0.0f;
                    float* partial = ws.selfPartial.data() + head * dh;
                    for (auto [b, e] : ws.cacheRuns) {
                        sum += k.expShiftSum(scores + b, static_cast<std::size_t>(e - b), best);
                        k.matvecF16(layerValues + head * dh * S + b, S, scores + b,
                                    static_cast<std::size_t>(e - b), partial, dh);
                        for (std::size_t c = 0; c < dh; ++c) out[c] += partial[c];
                    }
                    for (int j : ws.updatePositions) {
                        const float p = std::exp(scores[j] - best);
                        sum += p;
                        k.axpyF32(p, vNew + head * dh, out, dh);
                    }
                    if (sum > 0.0f)
                        for (std::size_t c = 0; c < dh; ++c) out[c] /= sum;
                }
            });
            products({{&layer.selfO, attn, x, layer.selfOBias.data(), 1.0f, true}},
                     norm(layer.norm2Weight, layer.norm2Bias));

            // Cross-attention over the encoder output.
            products({{&layer.crossQ, h, q, layer.crossQBias.data(), scale}}, [&] {
                for (std::size_t head = 0; head < H; ++head)
                    ws.crossPartsDone[head].count.store(0, std::memory_order_relaxed);
            });
            const Float16* crossKeys = ws.crossKeys.data() + l * W * D;
            const Float16* crossValues = ws.crossValues.data() + l * W * D;
            // Each part: its scores, exp(score - its max), their sum, and the
            // values weighted by them. The thread that finishes a head's last
            // part puts the head's parts on one scale.
            const auto combine = [&](std::size_t head) {
                const float* first = ws.crossParts.data() + head * parts * stride;
                float best = -INFINITY;
                for (std::size_t p = 0; p < parts; ++p)
                    best = std::max(best, first[p * stride + dh]);
                float sum = 0.0f;
                float* scales = ws.crossScales.data() + head * parts;
                for (std::size_t p = 0; p < parts; ++p) {
                    scales[p] = std::exp(first[p * stride + dh] - best);
                    sum += scales[p] * first[p * stride + dh + 1];
                }
                float* out = attn + head * dh;
                std::fill(out, out + dh, 0.0f);
                for (std::size_t p = 0; p < parts; ++p) {
                    scales[p] /= sum;
                    k.axpyF32(scales[p], first + p * stride, out, dh);
                }
            };
            const auto alignment = [&] {
                if (!alignmentOut) return;
                for (std::size_t head = 0; head < H; ++head) {
                    const auto& heads = layer.alignmentHeads;
                    const std::size_t copies =
                        static_cast<std::size_t>(std::count(heads.begin(), heads.end(), int(head)));
                    if (copies == 0) continue;
                    const float weight =
                        static_cast<float>(copies) / static_cast<float>(alignmentHeadCount_);
                    for (std::size_t p = 0; p < parts; ++p) {
                        const std::size_t t0 = p * crossPart_,
                                          n = std::min(W, t0 + crossPart_) - t0;
                        k.axpyF32(weight * ws.crossScales[head * parts + p],
                                  ws.crossProbs.data() + head * W + t0, ws.alignment.data() + t0,
                                  n);
                    }
                }
            };
            member.run(
                phase++, H * parts, 1,
                [&](std::size_t first, std::size_t last) {
                    for (std::size_t task = first; task < last; ++task) {
                        const std::size_t head = task / parts, t0 = (task % parts) * crossPart_,
                                          n = std::min(W, t0 + crossPart_) - t0;
                        float* probs = ws.crossProbs.data() + head * W + t0;
                        float* part = ws.crossParts.data() + task * stride;
                        k.matvecF16(crossKeys + (head * W + t0) * dh, dh, q + head * dh, dh, probs,
                                    n);
                        const float best = k.maxValue(probs, n);
                        part[dh] = best;
                        part[dh + 1] = k.expShiftSum(probs, n, best);
                        k.matvecF16(crossValues + head * dh * W + t0, W, probs, n, part, dh);
                        // Release this part, and see every other part of the head if last.
                        if (ws.crossPartsDone[head].count.fetch_add(1, std::memory_order_acq_rel) +
                                1 ==
                            static_cast<int>(parts))
                            combine(head);
                    }
                },
                alignment);
            products({{&layer.crossO, attn, x, layer.crossOBias.data(), 1.0f, true}},
                     norm(layer.norm3Weight, layer.norm3Bias));

            // Feed-forward, then the next layer's first norm (or the final one).
            products({{&layer.fc1, h, ws.ffn.data(), layer.fc1Bias.data(), 1.0f, false, true}},
                     [] {});
            if (l + 1 < L)
                products({{&layer.fc2, ws.ffn.data(), x, layer.fc2Bias.data(), 1.0f, true}},
                         norm(layers_[l + 1].norm1Weight, layers_[l + 1].norm1Bias));
            else
                products({{&layer.fc2, ws.ffn.data(), x, layer.fc2Bias.data(), 1.0f, true}},
                         norm(finalNormWeight_, finalNormBias_));
        }

        // Logits against the token embeddings, written out as Float16 run by
        // run: half of a step's weight reads.
        member.run(phase++, V, 16, [&](std::size_t begin, std::size_t end) {
            float* dst = ws.logits.data() + begin;
            if (tokenEmbedding_.f16)
                k.matvecF16(tokenEmbedding_.f16 + begin * D, D, h, D, dst, end - begin);
            else
                k.matvecF32(tokenEmbedding_.f32 + begin * D, D, h, D, dst, end - begin);
            convertFloatToHalf(dst, logitsOut + begin, end - begin);
        });
    };
    pool_->parallelFor(threads, [&](std::size_t) { program(); });
    if (alignmentOut) convertFloatToHalf(ws.alignment.data(), alignmentOut, W);
}

}  // namespace platform::ml
