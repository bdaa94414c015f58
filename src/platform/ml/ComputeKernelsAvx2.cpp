// The AVX2/FMA/F16C build of the compute kernels. Each function carries its
// own target attribute, so the rest of the program keeps the baseline
// instruction set and this code only runs where the processor has it.

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/Float16.hpp"

#define AVX2_TARGET __attribute__((target("avx2,fma,f16c")))

namespace platform::ml {

namespace {

AVX2_TARGET inline float hsum(__m256 v) {
    __m128 lo = _mm256_castps256_ps128(v), hi = _mm256_extractf128_ps(v, 1);
    lo = _mm_add_ps(lo, hi);
    lo = _mm_add_ps(lo, _mm_movehl_ps(lo, lo));
    lo = _mm_add_ss(lo, _mm_movehdup_ps(lo));
    return _mm_cvtss_f32(lo);
}

AVX2_TARGET inline __m256 loadHalf8(const Float16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

AVX2_TARGET inline float halfToFloat(Float16 h) { return _cvtsh_ss(h.bits); }

// exp with the Cephes polynomial: relative error about 2e-7 over the clamped range.
AVX2_TARGET inline __m256 exp8(__m256 x) {
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-87.3365f)),
                      _mm256_set1_ps(88.3762626647949f));
    __m256 fx = _mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f));
    fx = _mm256_floor_ps(fx);
    x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(0.693359375f), x);
    x = _mm256_fnmadd_ps(fx, _mm256_set1_ps(-2.12194440e-4f), x);
    __m256 y = _mm256_set1_ps(1.9875691500e-4f);
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.3981999507e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(8.3334519073e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(4.1665795894e-2f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.6666665459e-1f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(5.0000001201e-1f));
    y = _mm256_fmadd_ps(y, _mm256_mul_ps(x, x), _mm256_add_ps(x, _mm256_set1_ps(1.0f)));
    const __m256i n =
        _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(fx), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(y, _mm256_castsi256_ps(n));
}

// erf by Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7).
AVX2_TARGET inline __m256 erf8(__m256 x) {
    const __m256 signMask = _mm256_set1_ps(-0.0f);
    const __m256 sign = _mm256_and_ps(x, signMask);
    const __m256 a = _mm256_andnot_ps(signMask, x);
    const __m256 t = _mm256_div_ps(
        _mm256_set1_ps(1.0f), _mm256_fmadd_ps(_mm256_set1_ps(0.3275911f), a, _mm256_set1_ps(1.0f)));
    __m256 p = _mm256_set1_ps(1.061405429f);
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-1.453152027f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.421413741f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-0.284496736f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(0.254829592f));
    p = _mm256_mul_ps(p, t);
    const __m256 e = exp8(_mm256_sub_ps(_mm256_setzero_ps(), _mm256_mul_ps(a, a)));
    const __m256 y = _mm256_fnmadd_ps(p, e, _mm256_set1_ps(1.0f));
    return _mm256_or_ps(y, sign);
}

AVX2_TARGET inline __m256 load(const Float16* p) { return loadHalf8(p); }
AVX2_TARGET inline __m256 load(const float* p) { return _mm256_loadu_ps(p); }
AVX2_TARGET inline float scalar(Float16 h) { return halfToFloat(h); }
AVX2_TARGET inline float scalar(float v) { return v; }

template <class T>
AVX2_TARGET inline void matvecRows(const T* w, std::size_t ld, const float* x, std::size_t n,
                                   float* y, std::size_t rows) {
    const std::size_t n8 = n & ~std::size_t{7};
    std::size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
        const T* w0 = w + r * ld;
        const T* w1 = w0 + ld;
        const T* w2 = w1 + ld;
        const T* w3 = w2 + ld;
        __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(),
               s3 = _mm256_setzero_ps();
        for (std::size_t k = 0; k < n8; k += 8) {
            const __m256 xv = _mm256_loadu_ps(x + k);
            s0 = _mm256_fmadd_ps(load(w0 + k), xv, s0);
            s1 = _mm256_fmadd_ps(load(w1 + k), xv, s1);
            s2 = _mm256_fmadd_ps(load(w2 + k), xv, s2);
            s3 = _mm256_fmadd_ps(load(w3 + k), xv, s3);
        }
        float t0 = hsum(s0), t1 = hsum(s1), t2 = hsum(s2), t3 = hsum(s3);
        for (std::size_t k = n8; k < n; ++k) {
            t0 += scalar(w0[k]) * x[k];
            t1 += scalar(w1[k]) * x[k];
            t2 += scalar(w2[k]) * x[k];
            t3 += scalar(w3[k]) * x[k];
        }
        y[r] = t0;
        y[r + 1] = t1;
        y[r + 2] = t2;
        y[r + 3] = t3;
    }
    for (; r < rows; ++r) {
        const T* w0 = w + r * ld;
        __m256 s0 = _mm256_setzero_ps();
        for (std::size_t k = 0; k < n8; k += 8)
            s0 = _mm256_fmadd_ps(load(w0 + k), _mm256_loadu_ps(x + k), s0);
        float t0 = hsum(s0);
        for (std::size_t k = n8; k < n; ++k) t0 += scalar(w0[k]) * x[k];
        y[r] = t0;
    }
}

AVX2_TARGET void matvecF16(const Float16* w, std::size_t ld, const float* x, std::size_t n,
                           float* y, std::size_t rows) {
    matvecRows(w, ld, x, n, y, rows);
}

AVX2_TARGET void matvecF32(const float* w, std::size_t ld, const float* x, std::size_t n, float* y,
                           std::size_t rows) {
    matvecRows(w, ld, x, n, y, rows);
}

AVX2_TARGET void axpyF16(float a, const Float16* x, float* y, std::size_t n) {
    const __m256 av = _mm256_set1_ps(a);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(av, loadHalf8(x + i), _mm256_loadu_ps(y + i)));
    for (; i < n; ++i) y[i] += a * halfToFloat(x[i]);
}

AVX2_TARGET void axpyF32(float a, const float* x, float* y, std::size_t n) {
    const __m256 av = _mm256_set1_ps(a);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(y + i,
                         _mm256_fmadd_ps(av, _mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
    for (; i < n; ++i) y[i] += a * x[i];
}

AVX2_TARGET float expShiftSum(float* x, std::size_t n, float shift) {
    const __m256 s = _mm256_set1_ps(shift);
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), s));
        _mm256_storeu_ps(x + i, e);
        acc = _mm256_add_ps(acc, e);
    }
    float sum = hsum(acc);
    for (; i < n; ++i) {
        x[i] = std::exp(x[i] - shift);
        sum += x[i];
    }
    return sum;
}

AVX2_TARGET float maxValue(const float* x, std::size_t n) {
    __m256 m = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) m = _mm256_max_ps(m, _mm256_loadu_ps(x + i));
    __m128 h = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
    h = _mm_max_ps(h, _mm_movehl_ps(h, h));
    h = _mm_max_ss(h, _mm_movehdup_ps(h));
    float r = _mm_cvtss_f32(h);
    for (; i < n; ++i) r = x[i] > r ? x[i] : r;
    return r;
}

AVX2_TARGET inline void gelu8(float* x, const float* bias) {
    const __m256 v = _mm256_add_ps(_mm256_loadu_ps(x), _mm256_loadu_ps(bias));
    const __m256 g =
        _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), v),
                      _mm256_add_ps(_mm256_set1_ps(1.0f),
                                    erf8(_mm256_mul_ps(v, _mm256_set1_ps(0.70710678118654752f)))));
    _mm256_storeu_ps(x, g);
}

AVX2_TARGET void biasGelu(float* x, const float* bias, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) gelu8(x + i, bias + i);
    // The last few values go through the same eight-wide formula, so that a
    // value's result does not depend on where a caller's run of values ends.
    if (i < n) {
        float xs[8] = {}, bs[8] = {};
        std::copy(x + i, x + n, xs);
        std::copy(bias + i, bias + n, bs);
        gelu8(xs, bs);
        std::copy(xs, xs + (n - i), x + i);
    }
}

AVX2_TARGET void layerNorm(const float* x, const float* gamma, const float* beta, float* y,
                           std::size_t n, float eps) {
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) acc = _mm256_add_ps(acc, _mm256_loadu_ps(x + i));
    float sum = hsum(acc);
    for (; i < n; ++i) sum += x[i];
    const float mean = sum / static_cast<float>(n);
    const __m256 mv = _mm256_set1_ps(mean);
    acc = _mm256_setzero_ps();
    for (i = 0; i + 8 <= n; i += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + i), mv);
        acc = _mm256_fmadd_ps(d, d, acc);
    }
    float var = hsum(acc);
    for (; i < n; ++i) var += (x[i] - mean) * (x[i] - mean);
    var /= static_cast<float>(n);
    const float inv = 1.0f / std::sqrt(var + eps);
    const __m256 iv = _mm256_set1_ps(inv);
    for (i = 0; i + 8 <= n; i += 8) {
        const __m256 d = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), mv), iv);
        _mm256_storeu_ps(y + i,
                         _mm256_fmadd_ps(d, _mm256_loadu_ps(gamma + i), _mm256_loadu_ps(beta + i)));
    }
    for (; i < n; ++i) y[i] = (x[i] - mean) * inv * gamma[i] + beta[i];
}

// Eight rows of eight values to eight columns (the classic three-stage shuffle).
AVX2_TARGET inline void transpose8(__m256 v[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpackhi_ps(v[0], v[1]),
                 t2 = _mm256_unpacklo_ps(v[2], v[3]), t3 = _mm256_unpackhi_ps(v[2], v[3]),
                 t4 = _mm256_unpacklo_ps(v[4], v[5]), t5 = _mm256_unpackhi_ps(v[4], v[5]),
                 t6 = _mm256_unpacklo_ps(v[6], v[7]), t7 = _mm256_unpackhi_ps(v[6], v[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE),
                 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE),
                 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE),
                 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    v[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    v[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    v[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    v[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    v[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    v[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    v[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    v[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

AVX2_TARGET void transposeToHalf(const float* src, std::size_t lds, std::size_t rows,
                                 std::size_t cols, const float* bias, Float16* dst,
                                 std::size_t ldd) {
    const int round = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    std::size_t r = 0;
    for (; r + 8 <= rows; r += 8) {
        std::size_t c = 0;
        for (; c + 8 <= cols; c += 8) {
            __m256 v[8];
            for (int i = 0; i < 8; ++i) v[i] = _mm256_loadu_ps(src + (r + i) * lds + c);
            transpose8(v);  // v[j] now holds column c + j of rows r .. r + 7
            for (int j = 0; j < 8; ++j) {
                const __m256 x = _mm256_add_ps(v[j], _mm256_set1_ps(bias[c + j]));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (c + j) * ldd + r),
                                 _mm256_cvtps_ph(x, round));
            }
        }
        for (; c < cols; ++c)
            for (std::size_t i = r; i < r + 8; ++i)
                dst[c * ldd + i].bits = _cvtss_sh(src[i * lds + c] + bias[c], round);
    }
    for (; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c)
            dst[c * ldd + r].bits = _cvtss_sh(src[r * lds + c] + bias[c], round);
}

const ComputeKernels kAvx2 = {"avx2",      matvecF16, matvecF32, axpyF16,   axpyF32,
                              expShiftSum, maxValue,  biasGelu,  layerNorm, transposeToHalf};

}  // namespace

const ComputeKernels* avx2Kernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && processorHasF16C())
        return &kAvx2;
    return nullptr;
}

}  // namespace platform::ml
