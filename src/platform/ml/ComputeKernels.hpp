#pragma once
// The inner loops of the speech models, in two builds: portable C++ and
// AVX2/FMA/F16C. The processor is asked once, at run time, which build it can
// run, so one binary serves every x86-64 machine. Tests compare the two.
//
// Matrices are row-major; `ld` is the distance between rows in elements.
// Weights may be Float16 or Float32; activations are always Float32.

#include <cstddef>

#include "platform/ml/Float16.hpp"

namespace platform::ml {

struct ComputeKernels {
    const char* name;

    // y[r] = dot(w[r * ld .. + n], x) for r in [0, rows).
    void (*matvecF16)(const Float16* w, std::size_t ld, const float* x, std::size_t n, float* y,
                      std::size_t rows);
    void (*matvecF32)(const float* w, std::size_t ld, const float* x, std::size_t n, float* y,
                      std::size_t rows);

    // y[i] += a * x[i].
    void (*axpyF16)(float a, const Float16* x, float* y, std::size_t n);
    void (*axpyF32)(float a, const float* x, float* y, std::size_t n);

    // x[i] = exp(x[i] - shift); returns the sum of the new values.
    float (*expShiftSum)(float* x, std::size_t n, float shift);

    // The largest value (-inf for n == 0).
    float (*maxValue)(const float* x, std::size_t n);

    // x[i] = gelu(x[i] + bias[i]) with the exact (erf) GELU.
    void (*biasGelu)(float* x, const float* bias, std::size_t n);

    // y = (x - mean) / sqrt(var + eps) * gamma + beta over n values.
    void (*layerNorm)(const float* x, const float* gamma, const float* beta, float* y,
                      std::size_t n, float eps);

    // dst[c * ldd + r] = Float16(src[r * lds + c] + bias[c]) for r in [0, rows),
    // c in [0, cols): a block of rows turned into columns, as the decoder lays
    // out the cross-attention values. Rounds as convertFloatToHalf does.
    void (*transposeToHalf)(const float* src, std::size_t lds, std::size_t rows, std::size_t cols,
                            const float* bias, Float16* dst, std::size_t ldd);
};

// The portable build; always available.
const ComputeKernels& portableKernels();

// The AVX2 build, or nullptr when this processor lacks AVX2, FMA or F16C.
const ComputeKernels* avx2Kernels();

// The build in use: AVX2 where the processor has it, unless disabled.
const ComputeKernels& computeKernels();

// Forces the portable builds of these kernels and of the matrix products
// (MatrixKernels.hpp), for tests and comparisons; returns the previous setting.
bool setOptimizedKernelsEnabled(bool enabled);
bool optimizedKernelsEnabled();

}  // namespace platform::ml
