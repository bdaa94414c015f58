#include "platform/ml/TextDecoderModel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <span>
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

namespace {

void checkStepPosition(std::int32_t token, std::int32_t position, int vocabulary, int positions) {
    if (token < 0 || token >= vocabulary)
        throw MLModelError(MLModelError::Code::featureType,
                           "Input feature \"input_ids\" holds token " + std::to_string(token) +
                               ", outside the vocabulary of " + std::to_string(vocabulary));
    if (position < 0 || position >= positions)
        throw MLModelError(MLModelError::Code::featureType,
                           "Input feature \"cache_length\" holds " + std::to_string(position) +
                               ", outside 0..." + std::to_string(positions - 1));
}

// Which cache positions this step may see, as runs [begin, end), and which of
// the visible ones take the new key/value.
void findVisibleCache(const Float16* padding, std::span<const std::int32_t> updateMask,
                      std::size_t cacheSlots, std::vector<std::pair<int, int>>& runs,
                      std::vector<int>& updates) {
    runs.clear();
    updates.clear();
    for (std::size_t j = 0; j < cacheSlots; ++j) {
        const float p = halfBitsToFloat(padding[j].bits);
        if (!(p > kHiddenPadding)) continue;
        if (updateMask[j] != 0) {
            updates.push_back(static_cast<int>(j));
        } else if (!runs.empty() && runs.back().second == static_cast<int>(j)) {
            ++runs.back().second;
        } else {
            runs.emplace_back(static_cast<int>(j), static_cast<int>(j) + 1);
        }
    }
}

// dst = row `row` of the embedding (or dst += it), widened through `widened`.
void embeddingRow(const WeightMatrix& m, std::size_t row, std::size_t width, float* widened,
                  float* dst, bool add) {
    if (m.f16) {
        convertHalfToFloat(m.f16 + row * width, widened, width);
        for (std::size_t i = 0; i < width; ++i) dst[i] = add ? dst[i] + widened[i] : widened[i];
    } else {
        for (std::size_t i = 0; i < width; ++i)
            dst[i] = add ? dst[i] + m.f32[row * width + i] : m.f32[row * width + i];
    }
}

}  // namespace

// What every phase of a step reads and writes: the sizes, the caller's arrays
// and the workspace's activations.
struct TextDecoderModel::StepContext {
    const ComputeKernels& kernels;
    Workspace& ws;
    std::size_t width;           // of the model: one token's activations
    std::size_t heads;           // attention heads
    std::size_t headWidth;       // activations per head
    std::size_t encoderLength;   // encoder positions the cross-attention sees
    std::size_t cacheSlots;      // positions of the key/value cache
    std::size_t vocabulary;      // logits
    std::size_t crossParts;      // parts of the encoder positions per head
    std::size_t crossPartWidth;  // floats of a part's result: weighted values, max, sum
    float queryScale;            // 1/sqrt(headWidth), applied to the queries
    const Float16* keyCache;     // [layers][width][cacheSlots]
    const Float16* valueCache;
    const Float16* padding;  // [cacheSlots], additive
    Float16* logits;
    Float16* keyUpdates;  // [layers][width]
    Float16* valueUpdates;
    Float16* alignment;  // [encoderLength], or null
    float* x;            // the residual stream
    float* h;            // x normalised
    float* query;
    float* newKey;
    float* newValue;
    float* attention;  // the heads' outputs side by side
};

// The step after its set-up, as one pool thread runs it: every thread goes
// through the same phases in the same order (see PhaseBoard), taking what is
// left of each; the small serial follow-ups run on whichever thread completes
// the phase before them.
class TextDecoderModel::StepProgram {
  public:
    StepProgram(const TextDecoderModel& model, const StepContext& step)
        : model_(model),
          step_(step),
          member_(step.ws.board, static_cast<std::size_t>(ComputePool::currentThread())) {}

    void run() {
        const auto& layers = model_.layers_;
        for (std::size_t l = 0; l < layers.size(); ++l) {
            selfAttention(layers[l], l);
            crossAttention(layers[l], l);
            if (l + 1 < layers.size())
                feedForward(layers[l], layers[l + 1].norm1Weight, layers[l + 1].norm1Bias);
            else
                feedForward(layers[l], model_.finalNormWeight_, model_.finalNormBias_);
        }
        logits();
    }

  private:
    // One phase of matrix-vector products, the jobs' rows laid end to end.
    template <class Then>
    void products(std::initializer_list<MatvecJob> jobs, Then&& then) {
        const ComputeKernels& k = step_.kernels;
        member_.run(
            phase_++, rowsOf(jobs), 4,
            [&](std::size_t begin, std::size_t end) { matvecRange(k, jobs, begin, end); }, then);
    }

    // The follow-up that normalises the residual stream for the next products.
    auto norm(const std::vector<float>& weight, const std::vector<float>& bias) const {
        return [&step = step_, w = weight.data(), b = bias.data()] {
            step.kernels.layerNorm(step.x, w, b, step.h, step.width, kNormEpsilon);
        };
    }

    // Over the visible cache plus this token: three phases.
    void selfAttention(const Layer& layer, std::size_t l) {
        const StepContext& s = step_;
        products(
            {{&layer.selfQ, s.h, s.query, layer.selfQBias.data(), s.queryScale},
             {&layer.selfK, s.h, s.newKey, nullptr, 1.0f, false, false, s.keyUpdates + l * s.width},
             {&layer.selfV, s.h, s.newValue, layer.selfVBias.data(), 1.0f, false, false,
              s.valueUpdates + l * s.width}},
            [] {});
        member_.run(phase_++, s.heads, 1, [&](std::size_t first, std::size_t last) {
            for (std::size_t head = first; head < last; ++head) selfAttentionHead(l, head);
        });
        products({{&layer.selfO, s.attention, s.x, layer.selfOBias.data(), 1.0f, true}},
                 norm(layer.norm2Weight, layer.norm2Bias));
    }

    void selfAttentionHead(std::size_t l, std::size_t head) {
        const StepContext& s = step_;
        const ComputeKernels& k = s.kernels;
        const std::size_t slots = s.cacheSlots, headWidth = s.headWidth;
        const Float16* keys = s.keyCache + l * s.width * slots;
        const Float16* values = s.valueCache + l * s.width * slots;
        const auto& runs = s.ws.cacheRuns;
        const auto& updates = s.ws.updatePositions;
        float* scores = s.ws.selfScores.data() + head * slots;
        const float* query = s.query + head * headWidth;
        float best = -INFINITY;
        for (auto [b, e] : runs) {
            std::fill(scores + b, scores + e, 0.0f);
            for (std::size_t c = 0; c < headWidth; ++c)
                k.axpyF16(query[c], keys + (head * headWidth + c) * slots + b, scores + b,
                          static_cast<std::size_t>(e - b));
            for (int j = b; j < e; ++j) {
                scores[j] += halfBitsToFloat(s.padding[j].bits);
                best = std::max(best, scores[j]);
            }
        }
        float own = 0.0f;
        for (std::size_t c = 0; c < headWidth; ++c)
            own += query[c] * s.newKey[head * headWidth + c];
        for (int j : updates) {
            scores[j] = own + halfBitsToFloat(s.padding[j].bits);
            best = std::max(best, scores[j]);
        }
        float* out = s.attention + head * headWidth;
        std::fill(out, out + headWidth, 0.0f);
        float sum = 0.0f;
        float* partial = s.ws.selfPartial.data() + head * headWidth;
        for (auto [b, e] : runs) {
            sum += k.expShiftSum(scores + b, static_cast<std::size_t>(e - b), best);
            k.matvecF16(values + head * headWidth * slots + b, slots, scores + b,
                        static_cast<std::size_t>(e - b), partial, headWidth);
            for (std::size_t c = 0; c < headWidth; ++c) out[c] += partial[c];
        }
        for (int j : updates) {
            const float p = std::exp(scores[j] - best);
            sum += p;
            k.axpyF32(p, s.newValue + head * headWidth, out, headWidth);
        }
        if (sum > 0.0f)
            for (std::size_t c = 0; c < headWidth; ++c) out[c] /= sum;
    }

    // Over the encoder output: three phases. The attention runs a part of
    // the encoder positions per task; the thread that finishes a head's last
    // part puts the head's parts on one scale.
    void crossAttention(const Layer& layer, std::size_t l) {
        const StepContext& s = step_;
        products({{&layer.crossQ, s.h, s.query, layer.crossQBias.data(), s.queryScale}}, [&] {
            for (std::size_t head = 0; head < s.heads; ++head)
                s.ws.crossPartsDone[head].count.store(0, std::memory_order_relaxed);
        });
        member_.run(
            phase_++, s.heads * s.crossParts, 1,
            [&](std::size_t first, std::size_t last) {
                for (std::size_t task = first; task < last; ++task) crossAttentionPart(l, task);
            },
            [&] { addAlignment(layer); });
        products({{&layer.crossO, s.attention, s.x, layer.crossOBias.data(), 1.0f, true}},
                 norm(layer.norm3Weight, layer.norm3Bias));
    }

    // A part's scores, exp(score - its max), their sum, and the values
    // weighted by them.
    void crossAttentionPart(std::size_t l, std::size_t task) {
        const StepContext& s = step_;
        const ComputeKernels& k = s.kernels;
        const std::size_t length = s.encoderLength, headWidth = s.headWidth;
        const std::size_t partLength = model_.crossPart_;
        const Float16* keys = s.ws.crossKeys.data() + l * length * s.width;
        const Float16* values = s.ws.crossValues.data() + l * length * s.width;
        const std::size_t head = task / s.crossParts, t0 = (task % s.crossParts) * partLength,
                          n = std::min(length, t0 + partLength) - t0;
        float* probs = s.ws.crossProbs.data() + head * length + t0;
        float* part = s.ws.crossParts.data() + task * s.crossPartWidth;
        k.matvecF16(keys + (head * length + t0) * headWidth, headWidth, s.query + head * headWidth,
                    headWidth, probs, n);
        const float best = k.maxValue(probs, n);
        part[headWidth] = best;
        part[headWidth + 1] = k.expShiftSum(probs, n, best);
        k.matvecF16(values + head * headWidth * length + t0, length, probs, n, part, headWidth);
        // Release this part, and see every other part of the head if last.
        if (s.ws.crossPartsDone[head].count.fetch_add(1, std::memory_order_acq_rel) + 1 ==
            static_cast<int>(s.crossParts))
            combineParts(head);
    }

    void combineParts(std::size_t head) {
        const StepContext& s = step_;
        const std::size_t parts = s.crossParts, stride = s.crossPartWidth, headWidth = s.headWidth;
        const float* first = s.ws.crossParts.data() + head * parts * stride;
        float best = -INFINITY;
        for (std::size_t p = 0; p < parts; ++p)
            best = std::max(best, first[p * stride + headWidth]);
        float sum = 0.0f;
        float* scales = s.ws.crossScales.data() + head * parts;
        for (std::size_t p = 0; p < parts; ++p) {
            scales[p] = std::exp(first[p * stride + headWidth] - best);
            sum += scales[p] * first[p * stride + headWidth + 1];
        }
        float* out = s.attention + head * headWidth;
        std::fill(out, out + headWidth, 0.0f);
        for (std::size_t p = 0; p < parts; ++p) {
            scales[p] /= sum;
            s.kernels.axpyF32(scales[p], first + p * stride, out, headWidth);
        }
    }

    // The layer's alignment heads' attention, added to the mean.
    void addAlignment(const Layer& layer) {
        const StepContext& s = step_;
        if (!s.alignment) return;
        const std::size_t length = s.encoderLength, parts = s.crossParts,
                          partLength = model_.crossPart_;
        for (std::size_t head = 0; head < s.heads; ++head) {
            const auto& heads = layer.alignmentHeads;
            const std::size_t copies =
                static_cast<std::size_t>(std::count(heads.begin(), heads.end(), int(head)));
            if (copies == 0) continue;
            const float weight =
                static_cast<float>(copies) / static_cast<float>(model_.alignmentHeadCount_);
            for (std::size_t p = 0; p < parts; ++p) {
                const std::size_t t0 = p * partLength, n = std::min(length, t0 + partLength) - t0;
                s.kernels.axpyF32(weight * s.ws.crossScales[head * parts + p],
                                  s.ws.crossProbs.data() + head * length + t0,
                                  s.ws.alignment.data() + t0, n);
            }
        }
    }

    // Two phases, then the next layer's first norm (or the final one).
    void feedForward(const Layer& layer, const std::vector<float>& nextNormWeight,
                     const std::vector<float>& nextNormBias) {
        const StepContext& s = step_;
        float* hidden = s.ws.ffn.data();
        products({{&layer.fc1, s.h, hidden, layer.fc1Bias.data(), 1.0f, false, true}}, [] {});
        products({{&layer.fc2, hidden, s.x, layer.fc2Bias.data(), 1.0f, true}},
                 norm(nextNormWeight, nextNormBias));
    }

    // Against the token embeddings, written out as Float16 run by run: half
    // of a step's weight reads.
    void logits() {
        const StepContext& s = step_;
        const WeightMatrix& embedding = model_.tokenEmbedding_;
        member_.run(phase_++, s.vocabulary, 16, [&](std::size_t begin, std::size_t end) {
            float* dst = s.ws.logits.data() + begin;
            if (embedding.f16)
                s.kernels.matvecF16(embedding.f16 + begin * s.width, s.width, s.h, s.width, dst,
                                    end - begin);
            else
                s.kernels.matvecF32(embedding.f32 + begin * s.width, s.width, s.h, s.width, dst,
                                    end - begin);
            convertFloatToHalf(dst, s.logits + begin, end - begin);
        });
    }

    const TextDecoderModel& model_;
    const StepContext& step_;
    PhaseBoard::Member member_;
    std::size_t phase_ = 0;
};

void TextDecoderModel::step(const StepArrays& arrays, Workspace& ws, bool encoderUnchanged) const {
    const std::int32_t token = arrays.inputIds->span<std::int32_t>()[0];
    const std::int32_t position = arrays.cacheLength->span<std::int32_t>()[0];
    checkStepPosition(token, position, vocab_, positions_);
    const std::size_t width = static_cast<std::size_t>(d_),
                      heads = static_cast<std::size_t>(heads_);
    const std::size_t encoderLength = static_cast<std::size_t>(w_);
    const StepContext context{
        .kernels = computeKernels(),
        .ws = ws,
        .width = width,
        .heads = heads,
        .headWidth = width / heads,
        .encoderLength = encoderLength,
        .cacheSlots = static_cast<std::size_t>(s_),
        .vocabulary = static_cast<std::size_t>(vocab_),
        .crossParts = (encoderLength + crossPart_ - 1) / crossPart_,
        .crossPartWidth = width / heads + 2,
        .queryScale = 1.0f / std::sqrt(static_cast<float>(width / heads)),
        .keyCache = arrays.keyCache->span<Float16>().data(),
        .valueCache = arrays.valueCache->span<Float16>().data(),
        .padding = arrays.decoderKeyPaddingMask->span<Float16>().data(),
        .logits = arrays.logits->span<Float16>().data(),
        .keyUpdates = arrays.keyCacheUpdates->span<Float16>().data(),
        .valueUpdates = arrays.valueCacheUpdates->span<Float16>().data(),
        .alignment = arrays.alignmentHeadsWeights
                         ? arrays.alignmentHeadsWeights->span<Float16>().data()
                         : nullptr,
        .x = ws.x.data(),
        .h = ws.h.data(),
        .query = ws.qkv.data(),
        .newKey = ws.qkv.data() + width,
        .newValue = ws.qkv.data() + 2 * width,
        .attention = ws.attn.data(),
    };
    prepareCrossAttention(arrays.encoderOutputEmbeds->span<Float16>().data(), ws, encoderUnchanged);
    findVisibleCache(context.padding, arrays.kvCacheUpdateMask->span<std::int32_t>(),
                     context.cacheSlots, ws.cacheRuns, ws.updatePositions);

    embeddingRow(tokenEmbedding_, static_cast<std::size_t>(token), width, ws.embedding.data(),
                 context.x, false);
    embeddingRow(positionEmbedding_, static_cast<std::size_t>(position), width, ws.embedding.data(),
                 context.x, true);
    if (context.alignment)
        std::fill(ws.alignment.data(), ws.alignment.data() + encoderLength, 0.0f);
    context.kernels.layerNorm(context.x, layers_[0].norm1Weight.data(), layers_[0].norm1Bias.data(),
                              context.h, width, kNormEpsilon);

    const auto threads = static_cast<std::size_t>(pool_->threadCount());
    ws.board.reset(kPhasesPerLayer * layers_.size() + 1, threads);
    pool_->parallelFor(threads, [&](std::size_t) { StepProgram(*this, context).run(); });
    if (context.alignment)
        convertFloatToHalf(ws.alignment.data(), context.alignment, encoderLength);
}

}  // namespace platform::ml
