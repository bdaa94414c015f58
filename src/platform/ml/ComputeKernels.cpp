#include "platform/ml/ComputeKernels.hpp"

#include <atomic>
#include <cmath>
#include <limits>

namespace platform::ml {

namespace {

void matvecF16(const Float16* w, std::size_t ld, const float* x, std::size_t n, float* y,
               std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const Float16* row = w + r * ld;
        float sum = 0.0f;
        for (std::size_t k = 0; k < n; ++k) sum += halfBitsToFloatScalar(row[k].bits) * x[k];
        y[r] = sum;
    }
}

void matvecF32(const float* w, std::size_t ld, const float* x, std::size_t n, float* y,
               std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        const float* row = w + r * ld;
        float sum = 0.0f;
        for (std::size_t k = 0; k < n; ++k) sum += row[k] * x[k];
        y[r] = sum;
    }
}

void axpyF16(float a, const Float16* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] += a * halfBitsToFloatScalar(x[i].bits);
}

void axpyF32(float a, const float* x, float* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

float expShiftSum(float* x, std::size_t n, float shift) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = std::exp(x[i] - shift);
        sum += x[i];
    }
    return sum;
}

float maxValue(const float* x, std::size_t n) {
    float m = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) m = x[i] > m ? x[i] : m;
    return m;
}

void biasGelu(float* x, const float* bias, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const float v = x[i] + bias[i];
        x[i] = 0.5f * v * (1.0f + std::erf(v * 0.70710678118654752f));
    }
}

void layerNorm(const float* x, const float* gamma, const float* beta, float* y, std::size_t n,
               float eps) {
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) mean += x[i];
    mean /= static_cast<double>(n);
    double var = 0.0;
    for (std::size_t i = 0; i < n; ++i) var += (x[i] - mean) * (x[i] - mean);
    var /= static_cast<double>(n);
    const float m = static_cast<float>(mean);
    const float inv = static_cast<float>(1.0 / std::sqrt(var + eps));
    for (std::size_t i = 0; i < n; ++i) y[i] = (x[i] - m) * inv * gamma[i] + beta[i];
}

void transposeToHalf(const float* src, std::size_t lds, std::size_t rows, std::size_t cols,
                     const float* bias, Float16* dst, std::size_t ldd) {
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r)
            dst[c * ldd + r].bits = floatToHalfBitsScalar(src[r * lds + c] + bias[c]);
}

const ComputeKernels kPortable = {"portable",  matvecF16, matvecF32, axpyF16,   axpyF32,
                                  expShiftSum, maxValue,  biasGelu,  layerNorm, transposeToHalf};

std::atomic<bool> optimizedEnabled{true};

}  // namespace

const ComputeKernels& portableKernels() { return kPortable; }

const ComputeKernels& computeKernels() {
    static const ComputeKernels* best = avx2Kernels();
    if (best && optimizedEnabled.load(std::memory_order_relaxed)) return *best;
    return kPortable;
}

bool setOptimizedKernelsEnabled(bool enabled) { return optimizedEnabled.exchange(enabled); }

bool optimizedKernelsEnabled() { return optimizedEnabled.load(std::memory_order_relaxed); }

}  // namespace platform::ml
