#include "platform/ml/AudioEncoderModel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace {
constexpr float kNormEpsilon = 1e-5f;
std::atomic<std::size_t> keptPackedLimit{std::size_t{128} << 20};
}  // namespace

struct AudioEncoderModel::Scratch {
    AlignedBuffer<float> melRows;  // [2W + 2][n_mels], a zero row at each end
    AlignedBuffer<float> conv1;    // [2W + 2][D], a zero row in front
    AlignedBuffer<float> x;        // [W][D], the residual stream
    AlignedBuffer<float> h;        // [W][D], normalised
    AlignedBuffer<float> qkv;      // [W][3D]
    AlignedBuffer<float> attn;     // [W][D]
    AlignedBuffer<float> scores;   // [threads][rowBlock][W + 1], attention of one head over a block
                                   // of rows, and each row's sum
    AlignedBuffer<float> ffn;      // [W][ffn]
    AlignedBuffer<float> wide;     // one layer's Float16 weight matrices widened to Float32,
                                   // when the model's packed weights are not kept
    AlignedBuffer<float> packed;   // each head's keys and values, then (when the model's are
                                   // not kept) the convolution taps and one layer's weights,
                                   // packed for the matrix product build in use
    AlignedBuffer<float> rows;     // [threads][W], for the final transpose
};

AudioEncoderModel::AudioEncoderModel(const ModelFolder& folder,
                                     const MLModelConfiguration& configuration)
    : MLModel(folder.description(), configuration),
      weights_(folder),
      keptPackedBytes_(keptPackedLimit.load()) {
    const auto& dims = folder.dimensions();
    nMels_ = static_cast<int>(WhisperModelLayout::dimension(dims, "num_mel_bins"));
    d_ = static_cast<int>(WhisperModelLayout::dimension(dims, "d_model"));
    heads_ = static_cast<int>(WhisperModelLayout::dimension(dims, "encoder_attention_heads"));
    ffn_ = static_cast<int>(WhisperModelLayout::dimension(dims, "encoder_ffn_dim"));
    w_ = static_cast<int>(WhisperModelLayout::dimension(dims, "max_source_positions"));
    frames_ = 2 * w_;
    const auto layerCount = WhisperModelLayout::dimension(dims, "encoder_layers");

    pool_ = std::make_unique<ComputePool>(configuration.threadCount);

    // Convolution weights [D][C_in][3] become one [D][C_in] matrix per tap, so
    // that each tap is a plain product over shifted rows of the input.
    auto splitTaps = [&](const std::string& name, int inChannels,
                         std::vector<AlignedBuffer<float>>& taps) {
        const auto w = weights_.floats(name);
        for (int k = 0; k < 3; ++k) {
            AlignedBuffer<float> tap(static_cast<std::size_t>(d_) * inChannels);
            for (int o = 0; o < d_; ++o)
                for (int c = 0; c < inChannels; ++c)
                    tap[static_cast<std::size_t>(o) * inChannels + c] =
                        w[(static_cast<std::size_t>(o) * inChannels + c) * 3 + k];
            taps.push_back(std::move(tap));
        }
    };
    splitTaps("model.encoder.conv1.weight", nMels_, conv1_);
    splitTaps("model.encoder.conv2.weight", d_, conv2_);
    conv1Bias_ = weights_.floats("model.encoder.conv1.bias");
    conv2Bias_ = weights_.floats("model.encoder.conv2.bias");
    positions_ = weights_.floats("model.encoder.embed_positions.weight");

    for (std::int64_t l = 0; l < layerCount; ++l) {
        const std::string p = "model.encoder.layers." + std::to_string(l);
        Layer layer;
        layer.q = weights_.matrix(p + ".self_attn.q_proj.weight");
        layer.k = weights_.matrix(p + ".self_attn.k_proj.weight");
        layer.v = weights_.matrix(p + ".self_attn.v_proj.weight");
        layer.o = weights_.matrix(p + ".self_attn.out_proj.weight");
        layer.fc1 = weights_.matrix(p + ".fc1.weight");
        layer.fc2 = weights_.matrix(p + ".fc2.weight");
        layer.qBias = weights_.floats(p + ".self_attn.q_proj.bias");
        layer.vBias = weights_.floats(p + ".self_attn.v_proj.bias");
        layer.oBias = weights_.floats(p + ".self_attn.out_proj.bias");
        layer.fc1Bias = weights_.floats(p + ".fc1.bias");
        layer.fc2Bias = weights_.floats(p + ".fc2.bias");
        layer.norm1Weight = weights_.floats(p + ".self_attn_layer_norm.weight");
        layer.norm1Bias = weights_.floats(p + ".self_attn_layer_norm.bias");
        layer.norm2Weight = weights_.floats(p + ".final_layer_norm.weight");
        layer.norm2Bias = weights_.floats(p + ".final_layer_norm.bias");
        std::size_t wide = 0;
        for (const auto* m : {&layer.q, &layer.k, &layer.v, &layer.o, &layer.fc1, &layer.fc2})
            if (m->f16) wide += static_cast<std::size_t>(m->rows * m->cols);
        largestMatrix_ = std::max(largestMatrix_, wide);
        layers_.push_back(std::move(layer));
    }
    finalNormWeight_ = weights_.floats("model.encoder.layer_norm.weight");
    finalNormBias_ = weights_.floats("model.encoder.layer_norm.bias");
}

AudioEncoderModel::~AudioEncoderModel() = default;

std::size_t AudioEncoderModel::setKeptPackedBytes(std::size_t bytes) {
    return keptPackedLimit.exchange(bytes);
}

double AudioEncoderModel::flopsPerPrediction() const {
    const double t = frames_, w = w_, d = d_, c = nMels_, f = ffn_;
    double flops = 2.0 * t * d * 3.0 * c + 2.0 * w * d * 3.0 * d;
    flops +=
        static_cast<double>(layers_.size()) * (8.0 * w * d * d + 4.0 * w * w * d + 4.0 * w * d * f);
    return flops;
}

std::unique_ptr<AudioEncoderModel::Scratch> AudioEncoderModel::makeScratch() const {
    const auto w = static_cast<std::size_t>(w_), d = static_cast<std::size_t>(d_);
    auto s = std::make_unique<Scratch>();
    s->melRows = AlignedBuffer<float>((static_cast<std::size_t>(frames_) + 2) * nMels_);
    s->conv1 = AlignedBuffer<float>((static_cast<std::size_t>(frames_) + 2) * d);
    s->x = AlignedBuffer<float>(w * d);
    s->h = AlignedBuffer<float>(w * d);
    s->qkv = AlignedBuffer<float>(w * 3 * d);
    s->attn = AlignedBuffer<float>(w * d);
    s->scores =
        AlignedBuffer<float>(static_cast<std::size_t>(pool_->threadCount()) * rowBlock() * (w + 1));
    s->ffn = AlignedBuffer<float>(w * static_cast<std::size_t>(ffn_));
    s->rows = AlignedBuffer<float>(static_cast<std::size_t>(pool_->threadCount()) * w);
    return s;
}

MLModel::Arrays AudioEncoderModel::evaluate(const Arrays& inputs) const {
    const auto& mel = *inputs.at("melspectrogram_features");
    auto out = MLMultiArray::make({1, d_, 1, w_}, MLMultiArrayDataType::float16);
    auto scratch = scratch_.acquire([this] { return makeScratch(); });
    compute(mel.span<Float16>().data(), out->span<Float16>().data(), *scratch);
    return {{"encoder_output_embeds", out}};
}

const float* AudioEncoderModel::widen(const WeightMatrix& w, float* dst) const {
    if (w.f32) return w.f32;
    const std::size_t n = static_cast<std::size_t>(w.rows * w.cols);
    pool_->parallelRanges(n, 4096, [&](std::size_t begin, std::size_t end) {
        convertHalfToFloat(w.f16 + begin, dst + begin, end - begin);
    });
    return dst;
}

namespace {

// A matrix the tasks of a layer share, packed once for all of them.
struct PackJob {
    bool transB;
    std::size_t n, k;
    const float* b;
    std::size_t ldb;
    float* packed;
};

// Packs every job, columns split into chunks that the pool's threads share.
void packAll(ComputePool& pool, const MatrixKernels& mk, std::initializer_list<PackJob> jobs) {
    const std::size_t chunk = (128 + mk.packGrain - 1) / mk.packGrain * mk.packGrain;
    std::size_t tasks = 0;
    for (const PackJob& j : jobs) tasks += (j.n + chunk - 1) / chunk;
    pool.parallelFor(tasks, [&](std::size_t task) {
        for (const PackJob& j : jobs) {
            const std::size_t chunks = (j.n + chunk - 1) / chunk;
            if (task < chunks) {
                const std::size_t j0 = task * chunk;
                mk.pack(j.transB, j.n, j.k, j.b, j.ldb, j.packed, j0, std::min(j.n, j0 + chunk));
                return;
            }
            task -= chunks;
        }
    });
}

}  // namespace

AudioEncoderModel::PackedLayout AudioEncoderModel::packedLayout(const MatrixKernels& mk) const {
    const std::size_t C = static_cast<std::size_t>(nMels_), D = static_cast<std::size_t>(d_),
                      F = static_cast<std::size_t>(ffn_);
    PackedLayout p;
    p.tap1 = mk.packedSize(D, C);
    p.square = mk.packedSize(D, D);
    p.up = mk.packedSize(F, D);
    p.down = mk.packedSize(D, F);
    p.convolutions = 3 * p.tap1 + 3 * p.square;
    p.layer = 4 * p.square + p.up + p.down;
    return p;
}

void AudioEncoderModel::packConvolutions(const MatrixKernels& mk, const PackedLayout& layout,
                                         float* dst) const {
    const std::size_t C = static_cast<std::size_t>(nMels_), D = static_cast<std::size_t>(d_);
    float* taps2 = dst + 3 * layout.tap1;
    packAll(*pool_, mk,
            {{true, D, C, conv1_[0].data(), C, dst},
             {true, D, C, conv1_[1].data(), C, dst + layout.tap1},
             {true, D, C, conv1_[2].data(), C, dst + 2 * layout.tap1},
             {true, D, D, conv2_[0].data(), D, taps2},
             {true, D, D, conv2_[1].data(), D, taps2 + layout.square},
             {true, D, D, conv2_[2].data(), D, taps2 + 2 * layout.square}});
}

void AudioEncoderModel::packLayer(const MatrixKernels& mk, const PackedLayout& layout,
                                  const Layer& layer, float* wide, float* dst) const {
    const std::size_t D = static_cast<std::size_t>(d_), F = static_cast<std::size_t>(ffn_);
    const float* wq = widen(layer.q, wide);
    const float* wk = widen(layer.k, wide += layer.q.f16 ? D * D : 0);
    const float* wv = widen(layer.v, wide += layer.k.f16 ? D * D : 0);
    const float* wo = widen(layer.o, wide += layer.v.f16 ? D * D : 0);
    const float* w1 = widen(layer.fc1, wide += layer.o.f16 ? D * D : 0);
    const float* w2 = widen(layer.fc2, wide += layer.fc1.f16 ? D * F : 0);
    float* pq = dst;
    float* pk = pq + layout.square;
    float* pv = pk + layout.square;
    float* po = pv + layout.square;
    float* p1 = po + layout.square;
    float* p2 = p1 + layout.up;
    packAll(*pool_, mk,
            {{true, D, D, wq, D, pq},
             {true, D, D, wk, D, pk},
             {true, D, D, wv, D, pv},
             {true, D, D, wo, D, po},
             {true, F, D, w1, D, p1},
             {true, D, F, w2, F, p2}});
}

const AudioEncoderModel::PackedWeights* AudioEncoderModel::keptPackedWeights(
    const MatrixKernels& mk) const {
    const PackedLayout layout = packedLayout(mk);
    const std::size_t total = layout.convolutions + layers_.size() * layout.layer;
    if (total * sizeof(float) > keptPackedBytes_) return nullptr;
    std::lock_guard lock(keptMutex_);
    for (const auto& p : kept_)
        if (p->kernels == &mk) return p.get();
    // Packed once per build; a build in use elsewhere keeps its own copy.
    auto p = std::make_unique<PackedWeights>();
    p->kernels = &mk;
    p->data = AlignedBuffer<float>(total);
    AlignedBuffer<float> wide(largestMatrix_);
    packConvolutions(mk, layout, p->data.data());
    for (std::size_t l = 0; l < layers_.size(); ++l)
        packLayer(mk, layout, layers_[l], wide.data(),
                  p->data.data() + layout.convolutions + l * layout.layer);
    kept_.push_back(std::move(p));
    return kept_.back().get();
}

void AudioEncoderModel::compute(const Float16* mel, Float16* out, Scratch& s) const {
    const auto& k = computeKernels();
    // One build for the whole window: packed matrices are only valid for their own.
    const MatrixKernels& mk = matrixKernels();
    const std::size_t T = static_cast<std::size_t>(frames_), C = static_cast<std::size_t>(nMels_);
    const std::size_t W = static_cast<std::size_t>(w_), D = static_cast<std::size_t>(d_);
    const std::size_t F = static_cast<std::size_t>(ffn_), H = static_cast<std::size_t>(heads_),
                      dh = D / H;
    const std::size_t block = rowBlock();
    const std::size_t blocks = (W + block - 1) / block;

    // Mel bands [C][T] to frame rows [T][C], framed by zero rows (the padding of both
    // convolutions).
    pool_->parallelRanges(C, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c)
            for (std::size_t t = 0; t < T; ++t)
                s.melRows[(t + 1) * C + c] = halfBitsToFloat(mel[c * T + t].bits);
    });

    // Packed: the convolution taps and every layer's weights (kept from window to
    // window when the model is small enough, else one layer at a time), and each
    // head's keys and values.
    const PackedLayout layout = packedLayout(mk);
    const PackedWeights* kept = keptPackedWeights(mk);
    const std::size_t packedKeys = mk.packedSize(W, dh), packedValues = mk.packedSize(dh, W);
    const std::size_t packedTotal =
        H * (packedKeys + packedValues) + (kept ? 0 : layout.convolutions + layout.layer);
    if (s.packed.size() < packedTotal) s.packed = AlignedBuffer<float>(packedTotal);
    float* headKeys = s.packed.data();
    float* headValues = headKeys + H * packedKeys;
    float* packedScratch = headValues + H * packedValues;  // unused when the weights are kept
    if (!kept) {
        if (s.wide.size() < largestMatrix_) s.wide = AlignedBuffer<float>(largestMatrix_);
        packConvolutions(mk, layout, packedScratch);
    }
    const float* taps1 = kept ? kept->data.data() : packedScratch;
    const float* taps2 = taps1 + 3 * layout.tap1;

    // conv1, stride 1: output frame t reads input frames t-1, t, t+1 = padded rows t, t+1, t+2.
    float* conv1 = s.conv1.data() + D;
    pool_->parallelFor((T + 2 * block - 1) / (2 * block), [&](std::size_t task) {
        const std::size_t b = task * 2 * block, e = std::min(T, b + 2 * block);
        for (std::size_t tap = 0; tap < 3; ++tap)
            mk.gemmPacked(e - b, D, C, s.melRows.data() + (b + tap) * C, C,
                          taps1 + tap * layout.tap1, conv1 + b * D, D, tap > 0);
        for (std::size_t t = b; t < e; ++t) k.biasGelu(conv1 + t * D, conv1Bias_.data(), D);
    });

    // conv2, stride 2: output frame t reads conv1 frames 2t-1, 2t, 2t+1 = padded rows 2t, 2t+1,
    // 2t+2.
    float* x = s.x.data();
    pool_->parallelFor(blocks, [&](std::size_t task) {
        const std::size_t b = task * block, e = std::min(W, b + block);
        for (std::size_t tap = 0; tap < 3; ++tap)
            mk.gemmPacked(e - b, D, D, s.conv1.data() + (2 * b + tap) * D, 2 * D,
                          taps2 + tap * layout.square, x + b * D, D, tap > 0);
        for (std::size_t t = b; t < e; ++t) {
            k.biasGelu(x + t * D, conv2Bias_.data(), D);
            k.axpyF32(1.0f, positions_.data() + t * D, x + t * D, D);
        }
    });

    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    const float* pendingBias = nullptr;  // each block's last bias is added with the next norm
    float* h = s.h.data();
    float* qkv = s.qkv.data();
    float* attn = s.attn.data();
    for (const Layer& layer : layers_) {
        const std::size_t l = static_cast<std::size_t>(&layer - layers_.data());
        const float* pq = kept ? kept->data.data() + layout.convolutions + l * layout.layer
                               : packedScratch + layout.convolutions;
        if (!kept) packLayer(mk, layout, layer, s.wide.data(), packedScratch + layout.convolutions);
        const float* pk = pq + layout.square;
        const float* pv = pk + layout.square;
        const float* po = pv + layout.square;
        const float* p1 = po + layout.square;
        const float* p2 = p1 + layout.up;

        // Norm, query/key/value projections, biases: each thread on its own rows.
        pool_->parallelFor(blocks, [&](std::size_t task) {
            const std::size_t b = task * block, e = std::min(W, b + block);
            for (std::size_t t = b; t < e; ++t) {
                if (pendingBias) k.axpyF32(1.0f, pendingBias, x + t * D, D);
                k.layerNorm(x + t * D, layer.norm1Weight.data(), layer.norm1Bias.data(), h + t * D,
                            D, kNormEpsilon);
            }
            mk.gemmPacked(e - b, D, D, h + b * D, D, pq, qkv + b * 3 * D, 3 * D, false);
            mk.gemmPacked(e - b, D, D, h + b * D, D, pk, qkv + b * 3 * D + D, 3 * D, false);
            mk.gemmPacked(e - b, D, D, h + b * D, D, pv, qkv + b * 3 * D + 2 * D, 3 * D, false);
            for (std::size_t t = b; t < e; ++t) {
                float* q = qkv + t * 3 * D;
                float* v = q + 2 * D;
                for (std::size_t i = 0; i < D; ++i) {
                    q[i] = (q[i] + layer.qBias[i]) * scale;
                    v[i] += layer.vBias[i];
                }
            }
        });

        // Every row block of a head meets the same keys and values: pack them once.
        pool_->parallelFor(2 * H, [&](std::size_t task) {
            const std::size_t head = task / 2;
            if (task % 2 == 0)
                mk.pack(true, W, dh, qkv + D + head * dh, 3 * D, headKeys + head * packedKeys, 0,
                        W);
            else
                mk.pack(false, dh, W, qkv + 2 * D + head * dh, 3 * D,
                        headValues + head * packedValues, 0, dh);
        });

        // Attention, one (head, row block) per task; scores stay in the thread's own scratch.
        pool_->parallelFor(H * blocks, [&](std::size_t task) {
            const std::size_t head = task / blocks, b = (task % blocks) * block,
                              e = std::min(W, b + block);
            float* scores =
                s.scores.data() +
                static_cast<std::size_t>(ComputePool::currentThread()) * block * (W + 1);
            float* sums = scores + block * W;
            mk.gemmPacked(e - b, W, dh, qkv + b * 3 * D + head * dh, 3 * D,
                          headKeys + head * packedKeys, scores, W, false);
            for (std::size_t r = 0; r < e - b; ++r) {
                float* row = scores + r * W;
                sums[r] = k.expShiftSum(row, W, k.maxValue(row, W));
            }
            // Softmax normalised after the product: dh values per row instead of W.
            float* out = attn + b * D + head * dh;
            mk.gemmPacked(e - b, dh, W, scores, W, headValues + head * packedValues, out, D, false);
            for (std::size_t r = 0; r < e - b; ++r) {
                const float inv = 1.0f / sums[r];
                for (std::size_t c = 0; c < dh; ++c) out[r * D + c] *= inv;
            }
        });

        // Output projection, norm and feed-forward, again on each thread's own rows.
        pool_->parallelFor(blocks, [&](std::size_t task) {
            const std::size_t b = task * block, e = std::min(W, b + block);
            mk.gemmPacked(e - b, D, D, attn + b * D, D, po, x + b * D, D, true);
            for (std::size_t t = b; t < e; ++t) {
                k.axpyF32(1.0f, layer.oBias.data(), x + t * D, D);
                k.layerNorm(x + t * D, layer.norm2Weight.data(), layer.norm2Bias.data(), h + t * D,
                            D, kNormEpsilon);
            }
            float* f = s.ffn.data() + b * F;
            mk.gemmPacked(e - b, F, D, h + b * D, D, p1, f, F, false);
            for (std::size_t t = 0; t < e - b; ++t) k.biasGelu(f + t * F, layer.fc1Bias.data(), F);
            mk.gemmPacked(e - b, D, F, f, F, p2, x + b * D, D, true);
        });
        pendingBias = layer.fc2Bias.data();
    }

    // Final norm, then [W][D] to the output's [D][W].
    pool_->parallelFor(blocks, [&](std::size_t task) {
        const std::size_t b = task * block, e = std::min(W, b + block);
        for (std::size_t t = b; t < e; ++t) {
            if (pendingBias) k.axpyF32(1.0f, pendingBias, x + t * D, D);
            k.layerNorm(x + t * D, finalNormWeight_.data(), finalNormBias_.data(), h + t * D, D,
                        kNormEpsilon);
        }
    });
    const std::size_t parts = static_cast<std::size_t>(pool_->threadCount());
    pool_->parallelFor(parts, [&](std::size_t p) {
        float* row = s.rows.data() + p * W;
        for (std::size_t d = D * p / parts; d < D * (p + 1) / parts; ++d) {
            for (std::size_t t = 0; t < W; ++t) row[t] = h[t * D + d];
            convertFloatToHalf(row, out + d * W, W);
        }
    });
}

std::size_t AudioEncoderModel::rowBlock() const {
    // About two blocks per thread: enough to even out uneven progress, large
    // enough that each product amortises packing its weight matrix.
    const std::size_t threads = static_cast<std::size_t>(pool_->threadCount());
    const std::size_t w = static_cast<std::size_t>(w_);
    return std::max<std::size_t>(16, (w + 2 * threads - 1) / (2 * threads) + 7) / 8 * 8;
}

}  // namespace platform::ml
