#include "platform/ml/AudioEncoderModel.hpp"

#include <cblas.h>

#include <algorithm>
#include <cmath>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace {
constexpr float kNormEpsilon = 1e-5f;
}

struct AudioEncoderModel::Scratch {
    AlignedBuffer<float> melRows;  // [2W + 2][n_mels], a zero row at each end
    AlignedBuffer<float> conv1;    // [2W + 1][D], a zero row in front
    AlignedBuffer<float> x;        // [W][D], the residual stream
    AlignedBuffer<float> h;        // [W][D], normalised
    AlignedBuffer<float> qkv;      // [W][3D]
    AlignedBuffer<float> attn;     // [W][D]
    AlignedBuffer<float> scores;   // [W][W], one head at a time
    AlignedBuffer<float> ffn;      // [W][ffn]
    AlignedBuffer<float> wide;     // one Float16 weight matrix widened to Float32
    AlignedBuffer<float> rows;     // [threads][W], for the final transpose
};

AudioEncoderModel::AudioEncoderModel(const ModelFolder& folder, const MLModelConfiguration& configuration)
    : MLModel(folder.description(), configuration), weights_(folder) {
    const auto& dims = folder.dimensions();
    nMels_ = static_cast<int>(WhisperModelLayout::dimension(dims, "num_mel_bins"));
    d_ = static_cast<int>(WhisperModelLayout::dimension(dims, "d_model"));
    heads_ = static_cast<int>(WhisperModelLayout::dimension(dims, "encoder_attention_heads"));
    ffn_ = static_cast<int>(WhisperModelLayout::dimension(dims, "encoder_ffn_dim"));
    w_ = static_cast<int>(WhisperModelLayout::dimension(dims, "max_source_positions"));
    frames_ = 2 * w_;
    const auto layerCount = WhisperModelLayout::dimension(dims, "encoder_layers");

    pool_ = std::make_unique<ComputePool>(configuration.threadCount);
    openblas_set_num_threads(pool_->threadCount());

    // Convolution weights [D][C_in][3] become one [D][C_in] matrix per tap, so
    // that each tap is a plain product over shifted rows of the input.
    auto splitTaps = [&](const std::string& name, int inChannels, std::vector<AlignedBuffer<float>>& taps) {
        const auto w = weights_.floats(name);
        for (int k = 0; k < 3; ++k) {
            AlignedBuffer<float> tap(static_cast<std::size_t>(d_) * inChannels);
            for (int o = 0; o < d_; ++o)
                for (int c = 0; c < inChannels; ++c)
                    tap[static_cast<std::size_t>(o) * inChannels + c] = w[(static_cast<std::size_t>(o) * inChannels + c) * 3 + k];
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
        for (const auto* m : {&layer.q, &layer.k, &layer.v, &layer.o, &layer.fc1, &layer.fc2})
            if (m->f16) largestMatrix_ = std::max(largestMatrix_, static_cast<std::size_t>(m->rows * m->cols));
        layers_.push_back(std::move(layer));
    }
    finalNormWeight_ = weights_.floats("model.encoder.layer_norm.weight");
    finalNormBias_ = weights_.floats("model.encoder.layer_norm.bias");
}

AudioEncoderModel::~AudioEncoderModel() = default;

double AudioEncoderModel::flopsPerPrediction() const {
    const double t = frames_, w = w_, d = d_, c = nMels_, f = ffn_;
    double flops = 2.0 * t * d * 3.0 * c + 2.0 * w * d * 3.0 * d;
    flops += static_cast<double>(layers_.size()) * (8.0 * w * d * d + 4.0 * w * w * d + 4.0 * w * d * f);
    return flops;
}

std::unique_ptr<AudioEncoderModel::Scratch> AudioEncoderModel::acquireScratch() const {
    {
        std::lock_guard lock(poolMutex_);
        if (!scratchPool_.empty()) {
            auto s = std::move(scratchPool_.back());
            scratchPool_.pop_back();
            return s;
        }
    }
    const auto w = static_cast<std::size_t>(w_), d = static_cast<std::size_t>(d_);
    auto s = std::make_unique<Scratch>();
    s->melRows = AlignedBuffer<float>((static_cast<std::size_t>(frames_) + 2) * nMels_);
    s->conv1 = AlignedBuffer<float>((static_cast<std::size_t>(frames_) + 1) * d);
    s->x = AlignedBuffer<float>(w * d);
    s->h = AlignedBuffer<float>(w * d);
    s->qkv = AlignedBuffer<float>(w * 3 * d);
    s->attn = AlignedBuffer<float>(w * d);
    s->scores = AlignedBuffer<float>(w * w);
    s->ffn = AlignedBuffer<float>(w * static_cast<std::size_t>(ffn_));
    s->wide = AlignedBuffer<float>(largestMatrix_);
    s->rows = AlignedBuffer<float>(static_cast<std::size_t>(pool_->threadCount()) * w);
    return s;
}

void AudioEncoderModel::releaseScratch(std::unique_ptr<Scratch> scratch) const {
    std::lock_guard lock(poolMutex_);
    scratchPool_.push_back(std::move(scratch));
}

MLModel::Arrays AudioEncoderModel::evaluate(const Arrays& inputs) const {
    const auto& mel = *inputs.at("melspectrogram_features");
    auto out = MLMultiArray::make({1, d_, 1, w_}, MLMultiArrayDataType::float16);
    auto scratch = acquireScratch();
    compute(mel.span<Float16>().data(), out->span<Float16>().data(), *scratch);
    releaseScratch(std::move(scratch));
    return {{"encoder_output_embeds", out}};
}

void AudioEncoderModel::multiply(const float* a, int lda, const WeightMatrix& w, float* c, int ldc, int m,
                                 bool accumulate, Scratch& s) const {
    const float* b = w.f32;
    if (!b) {
        const std::size_t n = static_cast<std::size_t>(w.rows * w.cols);
        pool_->parallelRanges(n, 4096, [&](std::size_t begin, std::size_t end) {
            convertHalfToFloat(w.f16 + begin, s.wide.data() + begin, end - begin);
        });
        b = s.wide.data();
    }
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, static_cast<int>(w.rows), static_cast<int>(w.cols), 1.0f, a,
                lda, b, static_cast<int>(w.cols), accumulate ? 1.0f : 0.0f, c, ldc);
}

void AudioEncoderModel::addBiasAndNorm(float* x, const float* bias, const std::vector<float>& weight,
                                       const std::vector<float>& normBias, float* h) const {
    const auto& k = computeKernels();
    const std::size_t d = static_cast<std::size_t>(d_);
    pool_->parallelRanges(static_cast<std::size_t>(w_), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            float* row = x + t * d;
            if (bias)
                for (std::size_t i = 0; i < d; ++i) row[i] += bias[i];
            k.layerNorm(row, weight.data(), normBias.data(), h + t * d, d, kNormEpsilon);
        }
    });
}

void AudioEncoderModel::compute(const Float16* mel, Float16* out, Scratch& s) const {
    const auto& k = computeKernels();
    const std::size_t T = static_cast<std::size_t>(frames_), C = static_cast<std::size_t>(nMels_);
    const std::size_t W = static_cast<std::size_t>(w_), D = static_cast<std::size_t>(d_);
    const std::size_t F = static_cast<std::size_t>(ffn_), H = static_cast<std::size_t>(heads_), dh = D / H;

    // Mel bands [C][T] to frame rows [T][C], framed by zero rows (the padding of both convolutions).
    pool_->parallelRanges(C, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c)
            for (std::size_t t = 0; t < T; ++t) s.melRows[(t + 1) * C + c] = halfBitsToFloat(mel[c * T + t].bits);
    });

    // conv1, stride 1: output frame t reads input frames t-1, t, t+1 = padded rows t, t+1, t+2.
    float* conv1 = s.conv1.data() + D;
    for (int tap = 0; tap < 3; ++tap)
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(T), d_, nMels_, 1.0f,
                    s.melRows.data() + tap * C, nMels_, conv1_[tap].data(), nMels_, tap ? 1.0f : 0.0f, conv1, d_);
    pool_->parallelRanges(T, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) k.biasGelu(conv1 + t * D, conv1Bias_.data(), D);
    });

    // conv2, stride 2: output frame t reads conv1 frames 2t-1, 2t, 2t+1 = padded rows 2t, 2t+1, 2t+2.
    float* x = s.x.data();
    for (int tap = 0; tap < 3; ++tap)
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, w_, d_, d_, 1.0f, s.conv1.data() + tap * D, 2 * d_,
                    conv2_[tap].data(), d_, tap ? 1.0f : 0.0f, x, d_);
    pool_->parallelRanges(W, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            k.biasGelu(x + t * D, conv2Bias_.data(), D);
            k.axpyF32(1.0f, positions_.data() + t * D, x + t * D, D);
        }
    });

    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    const float* pendingBias = nullptr;  // each block's last bias is added with the next norm
    float* h = s.h.data();
    float* qkv = s.qkv.data();
    for (const Layer& layer : layers_) {
        addBiasAndNorm(x, pendingBias, layer.norm1Weight, layer.norm1Bias, h);
        multiply(h, d_, layer.q, qkv, 3 * d_, w_, false, s);
        multiply(h, d_, layer.k, qkv + D, 3 * d_, w_, false, s);
        multiply(h, d_, layer.v, qkv + 2 * D, 3 * d_, w_, false, s);
        pool_->parallelRanges(W, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                float* q = qkv + t * 3 * D;
                float* v = q + 2 * D;
                for (std::size_t i = 0; i < D; ++i) {
                    q[i] = (q[i] + layer.qBias[i]) * scale;
                    v[i] += layer.vBias[i];
                }
            }
        });
        for (std::size_t head = 0; head < H; ++head) {
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, w_, w_, static_cast<int>(dh), 1.0f, qkv + head * dh,
                        3 * d_, qkv + D + head * dh, 3 * d_, 0.0f, s.scores.data(), w_);
            pool_->parallelRanges(W, 8, [&](std::size_t begin, std::size_t end) {
                for (std::size_t t = begin; t < end; ++t) {
                    float* row = s.scores.data() + t * W;
                    const float inv = 1.0f / k.expShiftSum(row, W, k.maxValue(row, W));
                    for (std::size_t j = 0; j < W; ++j) row[j] *= inv;
                }
            });
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, w_, static_cast<int>(dh), w_, 1.0f, s.scores.data(),
                        w_, qkv + 2 * D + head * dh, 3 * d_, 0.0f, s.attn.data() + head * dh, d_);
        }
        multiply(s.attn.data(), d_, layer.o, x, d_, w_, true, s);
        addBiasAndNorm(x, layer.oBias.data(), layer.norm2Weight, layer.norm2Bias, h);
        multiply(h, d_, layer.fc1, s.ffn.data(), ffn_, w_, false, s);
        pool_->parallelRanges(W, 8, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) k.biasGelu(s.ffn.data() + t * F, layer.fc1Bias.data(), F);
        });
        multiply(s.ffn.data(), ffn_, layer.fc2, x, d_, w_, true, s);
        pendingBias = layer.fc2Bias.data();
    }
    addBiasAndNorm(x, pendingBias, finalNormWeight_, finalNormBias_, h);

    // [W][D] to the output's [D][W].
    const std::size_t parts = static_cast<std::size_t>(pool_->threadCount());
    pool_->parallelFor(parts, [&](std::size_t p) {
        float* row = s.rows.data() + p * W;
        for (std::size_t d = D * p / parts; d < D * (p + 1) / parts; ++d) {
            for (std::size_t t = 0; t < W; ++t) row[t] = h[t * D + d];
            convertFloatToHalf(row, out + d * W, W);
        }
    });
}

}  // namespace platform::ml
