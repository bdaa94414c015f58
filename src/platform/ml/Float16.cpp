#include "platform/ml/Float16.hpp"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <cstring>

namespace platform::ml {

namespace {

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float floatOf(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

__attribute__((target("f16c"))) std::uint16_t floatToHalfF16C(float value) {
    __m128i h = _mm_cvtps_ph(_mm_set_ss(value), _MM_FROUND_TO_NEAREST_INT);
    return static_cast<std::uint16_t>(_mm_extract_epi16(h, 0));
}

__attribute__((target("f16c"))) float halfToFloatF16C(std::uint16_t bits) {
    return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(bits)));
}

__attribute__((target("avx,f16c"))) void floatToHalfBulkF16C(const float* src, Float16* dst,
                                                             std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
    }
    for (; i < n; ++i) dst[i].bits = floatToHalfF16C(src[i]);
}

__attribute__((target("avx,f16c"))) void halfToFloatBulkF16C(const Float16* src, float* dst,
                                                             std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    for (; i < n; ++i) dst[i] = halfToFloatF16C(src[i].bits);
}

std::atomic<bool>& useHardware() {
    static std::atomic<bool> flag{processorHasF16C()};
    return flag;
}

}  // namespace

std::uint16_t floatToHalfBitsScalar(float value) {
    const std::uint32_t f = bitsOf(value);
    const std::uint16_t sign = static_cast<std::uint16_t>((f >> 16) & 0x8000);
    const std::uint32_t exp = (f >> 23) & 0xFF;
    std::uint32_t mant = f & 0x7FFFFF;

    if (exp == 0xFF) {
        // Infinity stays infinity; NaN keeps its top payload bits and is made quiet,
        // which is what the hardware conversion does too.
        if (mant == 0) return sign | 0x7C00;
        return static_cast<std::uint16_t>(sign | 0x7E00 | (mant >> 13));
    }
    const int e = static_cast<int>(exp) - 127 + 15;
    if (e >= 31) return sign | 0x7C00;  // overflow
    if (e <= 0) {
        // Subnormal half (or zero): shift the full significand into place and
        // round the dropped bits to nearest even.
        if (e < -10) return sign;  // below half the smallest subnormal
        mant |= 0x800000;
        const int shift = 14 - e;  // 14..24
        const std::uint32_t half = mant >> shift;
        const std::uint32_t rest = mant & ((1u << shift) - 1);
        const std::uint32_t mid = 1u << (shift - 1);
        std::uint32_t r = half;
        if (rest > mid || (rest == mid && (half & 1))) ++r;
        return static_cast<std::uint16_t>(sign | r);
    }
    std::uint32_t h = (static_cast<std::uint32_t>(e) << 10) | (mant >> 13);
    const std::uint32_t rest = mant & 0x1FFF;
    if (rest > 0x1000 || (rest == 0x1000 && (h & 1)))
        ++h;  // may carry into the exponent, up to infinity
    return static_cast<std::uint16_t>(sign | h);
}

float halfBitsToFloatScalar(std::uint16_t h) {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000) << 16;
    const std::uint32_t exp = (h >> 10) & 0x1F;
    std::uint32_t mant = h & 0x3FF;
    if (exp == 0x1F) return floatOf(sign | 0x7F800000 | (mant << 13) | (mant ? 0x400000u : 0u));
    if (exp != 0) return floatOf(sign | ((exp + 112) << 23) | (mant << 13));
    if (mant == 0) return floatOf(sign);
    // Subnormal: normalise.
    int e = 113;
    while ((mant & 0x400) == 0) {
        mant <<= 1;
        --e;
    }
    mant &= 0x3FF;
    return floatOf(sign | (static_cast<std::uint32_t>(e) << 23) | (mant << 13));
}

std::uint16_t floatToHalfBits(float value) {
    return useHardware().load(std::memory_order_relaxed) ? floatToHalfF16C(value)
                                                         : floatToHalfBitsScalar(value);
}

float halfBitsToFloat(std::uint16_t bits) {
    return useHardware().load(std::memory_order_relaxed) ? halfToFloatF16C(bits)
                                                         : halfBitsToFloatScalar(bits);
}

void convertFloatToHalf(const float* src, Float16* dst, std::size_t n) {
    if (useHardware().load(std::memory_order_relaxed)) return floatToHalfBulkF16C(src, dst, n);
    for (std::size_t i = 0; i < n; ++i) dst[i].bits = floatToHalfBitsScalar(src[i]);
}

void convertHalfToFloat(const Float16* src, float* dst, std::size_t n) {
    if (useHardware().load(std::memory_order_relaxed)) return halfToFloatBulkF16C(src, dst, n);
    for (std::size_t i = 0; i < n; ++i) dst[i] = halfBitsToFloatScalar(src[i].bits);
}

bool processorHasF16C() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    if (!(ecx & bit_F16C) || !(ecx & bit_AVX) || !(ecx & bit_OSXSAVE)) return false;
    // The system must save the AVX registers across task switches (XCR0 bits 1, 2).
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6u) == 6u;
}

bool hasHardwareFloat16() { return useHardware().load(); }

bool setHardwareFloat16Enabled(bool enabled) {
    const bool allowed = enabled && processorHasF16C();
    return useHardware().exchange(allowed);
}

Float16::Float16(float value) : bits(floatToHalfBits(value)) {}

Float16::operator float() const { return halfBitsToFloat(bits); }

}  // namespace platform::ml
