// The AVX-512 build of our matrix product: a 12 × 32 micro-kernel, two
// vectors of B against twelve broadcast values of A per step, 24 of the 32
// vector registers holding the tile. Its target attribute keeps the rest of the
// program on the baseline instruction set.

#include <cpuid.h>
#include <immintrin.h>

#include "platform/ml/BlockedGemm.hpp"
#include "platform/ml/MatrixKernels.hpp"

#define AVX512_TARGET __attribute__((target("avx512f,avx2,fma")))

namespace platform::ml {

namespace {

constexpr std::size_t kRows = 12, kCols = 32;

// A[i][p] at a[i * rowStep + p * depthStep]: packed panels step 1 and mr,
// rows read in place lda and 1.
AVX512_TARGET inline void tileOf(std::size_t kc, const float* a, std::size_t rowStep,
                                 std::size_t depthStep, const float* bp, float* c, std::size_t ldc,
                                 bool accumulate) {
    __m512 acc[kRows][2];
#pragma GCC unroll 12
    for (std::size_t i = 0; i < kRows; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
    for (std::size_t p = 0; p < kc; ++p) {
        const __m512 b0 = _mm512_loadu_ps(bp), b1 = _mm512_loadu_ps(bp + 16);
#pragma GCC unroll 12
        for (std::size_t i = 0; i < kRows; ++i) {
            const __m512 x = _mm512_set1_ps(a[i * rowStep]);
            acc[i][0] = _mm512_fmadd_ps(x, b0, acc[i][0]);
            acc[i][1] = _mm512_fmadd_ps(x, b1, acc[i][1]);
        }
        a += depthStep;
        bp += kCols;
    }
#pragma GCC unroll 12
    for (std::size_t i = 0; i < kRows; ++i) {
        float* row = c + i * ldc;
        if (accumulate) {
            acc[i][0] = _mm512_add_ps(acc[i][0], _mm512_loadu_ps(row));
            acc[i][1] = _mm512_add_ps(acc[i][1], _mm512_loadu_ps(row + 16));
        }
        _mm512_storeu_ps(row, acc[i][0]);
        _mm512_storeu_ps(row + 16, acc[i][1]);
    }
}

AVX512_TARGET void tile(std::size_t kc, const float* ap, const float* bp, float* c, std::size_t ldc,
                        bool accumulate) {
    tileOf(kc, ap, 1, kRows, bp, c, ldc, accumulate);
}

AVX512_TARGET void tileDirect(std::size_t kc, const float* a, std::size_t lda, const float* bp,
                              float* c, std::size_t ldc, bool accumulate) {
    tileOf(kc, a, lda, 1, bp, c, ldc, accumulate);
}

const MicroKernel kTile = {kRows, kCols, 256, 512, 96, tile, tileDirect};

using EntryPoints = BlockedEntryPoints<kTile>;
const MatrixKernels kAvx512 = {"avx512",          EntryPoints::gemm,
                               kTile.nr,          EntryPoints::packedSize,
                               EntryPoints::pack, EntryPoints::gemmPacked};

bool systemSavesAvx512State() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE)) return false;
    // XCR0: SSE, AVX, opmask and both halves of the upper registers.
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 0xE6u) == 0xE6u;
}

}  // namespace

const MatrixKernels* avx512MatrixKernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma") &&
        systemSavesAvx512State())
        return &kAvx512;
    return nullptr;
}

}  // namespace platform::ml
