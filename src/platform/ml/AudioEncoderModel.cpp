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

// One window's way through the encoder, stage by stage: its sizes, its
// scratch, and the weights packed for the matrix product build in use (one
// build for the whole window: packed matrices are only valid for their own).
class AudioEncoderModel::Window {
  public:
    Window(const AudioEncoderModel& model, Scratch& s)
        : model_(model),
          s_(s),
          k_(computeKernels()),
          mk_(matrixKernels()),
          inputFrames_(static_cast<std::size_t>(model.frames_)),
          bands_(static_cast<std::size_t>(model.nMels_)),
          length_(static_cast<std::size_t>(model.w_)),
          width_(static_cast<std::size_t>(model.d_)),
          ffnWidth_(static_cast<std::size_t>(model.ffn_)),
          heads_(static_cast<std::size_t>(model.heads_)),
          headWidth_(width_ / heads_),
          block_(model.rowBlock()),
          blocks_((length_ + block_ - 1) / block_),
          queryScale_(1.0f / std::sqrt(static_cast<float>(headWidth_))) {}

    // Mel bands [bands][frames] to frame rows [frames][bands], framed by zero
    // rows (the padding of both convolutions).
    void readMel(const Float16* mel) {
        const std::size_t bands = bands_, frames = inputFrames_;
        float* rows = s_.melRows.data();
        model_.pool_->parallelRanges(bands, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c)
                for (std::size_t t = 0; t < frames; ++t)
                    rows[(t + 1) * bands + c] = halfBitsToFloat(mel[c * frames + t].bits);
        });
    }

    // The convolution taps and every layer's weights (kept from window to
    // window when the model is small enough, else one layer at a time), and
    // room for each head's keys and values.
    void packWeights() {
        layout_ = model_.packedLayout(mk_);
        keptWeights_ = model_.keptPackedWeights(mk_);
        packedKeys_ = mk_.packedSize(length_, headWidth_);
        packedValues_ = mk_.packedSize(headWidth_, length_);
        const std::size_t packedTotal = heads_ * (packedKeys_ + packedValues_) +
                                        (keptWeights_ ? 0 : layout_.convolutions + layout_.layer);
        if (s_.packed.size() < packedTotal) s_.packed = AlignedBuffer<float>(packedTotal);
        headKeys_ = s_.packed.data();
        headValues_ = headKeys_ + heads_ * packedKeys_;
        packedScratch_ = headValues_ + heads_ * packedValues_;  // unused when the weights are kept
        if (!keptWeights_) {
            if (s_.wide.size() < model_.largestMatrix_)
                s_.wide = AlignedBuffer<float>(model_.largestMatrix_);
            model_.packConvolutions(mk_, layout_, packedScratch_);
        }
    }

    // Both convolutions, each with its GELU, then the positional embedding.
    void convolutions() {
        const std::size_t frames = inputFrames_, bands = bands_, width = width_, block = block_;
        const float* taps1 = keptWeights_ ? keptWeights_->data.data() : packedScratch_;
        const float* taps2 = taps1 + 3 * layout_.tap1;
        // conv1, stride 1: output frame t reads input frames t-1, t, t+1 = padded rows t, t+1, t+2.
        float* conv1 = s_.conv1.data() + width;
        model_.pool_->parallelFor((frames + 2 * block - 1) / (2 * block), [&](std::size_t task) {
            const std::size_t b = task * 2 * block, e = std::min(frames, b + 2 * block);
            for (std::size_t tap = 0; tap < 3; ++tap)
                mk_.gemmPacked(e - b, width, bands, s_.melRows.data() + (b + tap) * bands, bands,
                               taps1 + tap * layout_.tap1, conv1 + b * width, width, tap > 0);
            for (std::size_t t = b; t < e; ++t)
                k_.biasGelu(conv1 + t * width, model_.conv1Bias_.data(), width);
        });
        // conv2, stride 2: output frame t reads conv1 frames 2t-1, 2t, 2t+1 = padded rows 2t,
        // 2t+1, 2t+2.
        float* x = s_.x.data();
        forEachBlock([&](std::size_t b, std::size_t e) {
            for (std::size_t tap = 0; tap < 3; ++tap)
                mk_.gemmPacked(e - b, width, width, s_.conv1.data() + (2 * b + tap) * width,
                               2 * width, taps2 + tap * layout_.square, x + b * width, width,
                               tap > 0);
            for (std::size_t t = b; t < e; ++t) {
                k_.biasGelu(x + t * width, model_.conv2Bias_.data(), width);
                k_.axpyF32(1.0f, model_.positions_.data() + t * width, x + t * width, width);
            }
        });
    }

    void layer(std::size_t l) {
        const Layer& layer = model_.layers_[l];
        const LayerWeights weights = layerWeights(layer, l);
        attentionInputs(layer, weights);
        packHeads();
        attention();
        outputAndFeedForward(layer, weights);
        pendingBias_ = layer.fc2Bias.data();
    }

    // The final norm, then [length][width] to the output's [width][length].
    void writeOutput(Float16* out) {
        const std::size_t width = width_, length = length_;
        float* x = s_.x.data();
        float* h = s_.h.data();
        forEachBlock([&](std::size_t b, std::size_t e) {
            for (std::size_t t = b; t < e; ++t) {
                if (pendingBias_) k_.axpyF32(1.0f, pendingBias_, x + t * width, width);
                k_.layerNorm(x + t * width, model_.finalNormWeight_.data(),
                             model_.finalNormBias_.data(), h + t * width, width, kNormEpsilon);
            }
        });
        const std::size_t parts = static_cast<std::size_t>(model_.pool_->threadCount());
        model_.pool_->parallelFor(parts, [&](std::size_t p) {
            float* row = s_.rows.data() + p * length;
            for (std::size_t d = width * p / parts; d < width * (p + 1) / parts; ++d) {
                for (std::size_t t = 0; t < length; ++t) row[t] = h[t * width + d];
                convertFloatToHalf(row, out + d * length, length);
            }
        });
    }

  private:
    // A layer's packed matrices.
    struct LayerWeights {
        const float *q, *k, *v, *o, *up, *down;
    };

    // fn(begin, end) for each block of rows, one task per block.
    template <class Fn>
    void forEachBlock(Fn&& fn) {
        const std::size_t block = block_, length = length_;
        model_.pool_->parallelFor(blocks_, [&](std::size_t task) {
            const std::size_t b = task * block;
            fn(b, std::min(length, b + block));
        });
    }

    LayerWeights layerWeights(const Layer& layer, std::size_t l) const {
        float* scratch = packedScratch_ + layout_.convolutions;
        const float* q = keptWeights_
                             ? keptWeights_->data.data() + layout_.convolutions + l * layout_.layer
                             : scratch;
        if (!keptWeights_) model_.packLayer(mk_, layout_, layer, s_.wide.data(), scratch);
        LayerWeights w;
        w.q = q;
        w.k = w.q + layout_.square;
        w.v = w.k + layout_.square;
        w.o = w.v + layout_.square;
        w.up = w.o + layout_.square;
        w.down = w.up + layout_.up;
        return w;
    }

    // Norm, query/key/value projections, biases: each thread on its own rows.
    void attentionInputs(const Layer& layer, const LayerWeights& w) {
        const std::size_t width = width_;
        const float scale = queryScale_;
        float* x = s_.x.data();
        float* h = s_.h.data();
        float* qkv = s_.qkv.data();
        forEachBlock([&](std::size_t b, std::size_t e) {
            for (std::size_t t = b; t < e; ++t) {
                if (pendingBias_) k_.axpyF32(1.0f, pendingBias_, x + t * width, width);
                k_.layerNorm(x + t * width, layer.norm1Weight.data(), layer.norm1Bias.data(),
                             h + t * width, width, kNormEpsilon);
            }
            float* rows = qkv + b * 3 * width;
            mk_.gemmPacked(e - b, width, width, h + b * width, width, w.q, rows, 3 * width, false);
            mk_.gemmPacked(e - b, width, width, h + b * width, width, w.k, rows + width, 3 * width,
                           false);
            mk_.gemmPacked(e - b, width, width, h + b * width, width, w.v, rows + 2 * width,
                           3 * width, false);
            for (std::size_t t = b; t < e; ++t) {
                float* q = qkv + t * 3 * width;
                float* v = q + 2 * width;
                for (std::size_t i = 0; i < width; ++i) {
                    q[i] = (q[i] + layer.qBias[i]) * scale;
                    v[i] += layer.vBias[i];
                }
            }
        });
    }

    // Every row block of a head meets the same keys and values: pack them once.
    void packHeads() {
        const std::size_t width = width_, length = length_, headWidth = headWidth_;
        const float* qkv = s_.qkv.data();
        model_.pool_->parallelFor(2 * heads_, [&](std::size_t task) {
            const std::size_t head = task / 2;
            if (task % 2 == 0)
                mk_.pack(true, length, headWidth, qkv + width + head * headWidth, 3 * width,
                         headKeys_ + head * packedKeys_, 0, length);
            else
                mk_.pack(false, headWidth, length, qkv + 2 * width + head * headWidth, 3 * width,
                         headValues_ + head * packedValues_, 0, headWidth);
        });
    }

    // One (head, row block) per task; scores stay in the thread's own scratch.
    void attention() {
        const std::size_t width = width_, length = length_, headWidth = headWidth_;
        const std::size_t block = block_, blocks = blocks_;
        const float* qkv = s_.qkv.data();
        float* attn = s_.attn.data();
        model_.pool_->parallelFor(heads_ * blocks, [&](std::size_t task) {
            const std::size_t head = task / blocks, b = (task % blocks) * block,
                              e = std::min(length, b + block);
            float* scores =
                s_.scores.data() +
                static_cast<std::size_t>(ComputePool::currentThread()) * block * (length + 1);
            float* sums = scores + block * length;
            mk_.gemmPacked(e - b, length, headWidth, qkv + b * 3 * width + head * headWidth,
                           3 * width, headKeys_ + head * packedKeys_, scores, length, false);
            for (std::size_t r = 0; r < e - b; ++r) {
                float* row = scores + r * length;
                sums[r] = k_.expShiftSum(row, length, k_.maxValue(row, length));
            }
            // Softmax normalised after the product: headWidth values per row instead of length.
            float* out = attn + b * width + head * headWidth;
            mk_.gemmPacked(e - b, headWidth, length, scores, length,
                           headValues_ + head * packedValues_, out, width, false);
            for (std::size_t r = 0; r < e - b; ++r) {
                const float inv = 1.0f / sums[r];
                for (std::size_t c = 0; c < headWidth; ++c) out[r * width + c] *= inv;
            }
        });
    }

    // Output projection, norm and feed-forward, again on each thread's own
    // rows. The feed-forward's last bias waits for the next norm.
    void outputAndFeedForward(const Layer& layer, const LayerWeights& w) {
        const std::size_t width = width_, ffnWidth = ffnWidth_;
        float* x = s_.x.data();
        float* h = s_.h.data();
        const float* attn = s_.attn.data();
        forEachBlock([&](std::size_t b, std::size_t e) {
            mk_.gemmPacked(e - b, width, width, attn + b * width, width, w.o, x + b * width, width,
                           true);
            for (std::size_t t = b; t < e; ++t) {
                k_.axpyF32(1.0f, layer.oBias.data(), x + t * width, width);
                k_.layerNorm(x + t * width, layer.norm2Weight.data(), layer.norm2Bias.data(),
                             h + t * width, width, kNormEpsilon);
            }
            float* f = s_.ffn.data() + b * ffnWidth;
            mk_.gemmPacked(e - b, ffnWidth, width, h + b * width, width, w.up, f, ffnWidth, false);
            for (std::size_t t = 0; t < e - b; ++t)
                k_.biasGelu(f + t * ffnWidth, layer.fc1Bias.data(), ffnWidth);
            mk_.gemmPacked(e - b, width, ffnWidth, f, ffnWidth, w.down, x + b * width, width, true);
        });
    }

    const AudioEncoderModel& model_;
    Scratch& s_;
    const ComputeKernels& k_;
    const MatrixKernels& mk_;
    const std::size_t inputFrames_;  // mel frames in
    const std::size_t bands_;        // mel bands
    const std::size_t length_;       // positions out, half the frames
    const std::size_t width_;        // of the model: one position's activations
    const std::size_t ffnWidth_;
    const std::size_t heads_, headWidth_;
    const std::size_t block_, blocks_;  // rows per task, and tasks over all positions
    const float queryScale_;
    PackedLayout layout_;
    const PackedWeights* keptWeights_ = nullptr;     // null: packed per window into packedScratch_
    std::size_t packedKeys_ = 0, packedValues_ = 0;  // floats per head
    float* headKeys_ = nullptr;
    float* headValues_ = nullptr;
    float* packedScratch_ = nullptr;
    const float* pendingBias_ = nullptr;  // each block's last bias is added with the next norm
};

void AudioEncoderModel::compute(const Float16* mel, Float16* out, Scratch& s) const {
    Window window(*this, s);
    window.readMel(mel);
    window.packWeights();
    window.convolutions();
    for (std::size_t l = 0; l < layers_.size(); ++l) window.layer(l);
    window.writeOutput(out);
}

std::size_t AudioEncoderModel::rowBlock() const {
    // About two blocks per thread: enough to even out uneven progress, large
    // enough that each product amortises packing its weight matrix.
    const std::size_t threads = static_cast<std::size_t>(pool_->threadCount());
    const std::size_t w = static_cast<std::size_t>(w_);
    return std::max<std::size_t>(16, (w + 2 * threads - 1) / (2 * threads) + 7) / 8 * 8;
}

}  // namespace platform::ml
