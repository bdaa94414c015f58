// The AVX2/FMA build of our matrix product: a 6 × 16 micro-kernel, two
// vectors of B against six broadcast values of A per step, twelve of the
// sixteen vector registers holding the tile.

#include <cpuid.h>
#include <immintrin.h>

#include "platform/ml/BlockedGemm.hpp"
#include "platform/ml/MatrixKernels.hpp"

#define AVX2_TARGET __attribute__((target("avx2,fma")))

namespace platform::ml {

namespace {

constexpr std::size_t kRows = 6, kCols = 16;

// A[i][p] at a[i * rowStep + p * depthStep]: packed panels step 1 and mr,
// rows read in place lda and 1.
AVX2_TARGET inline void tileOf(std::size_t kc, const float* a, std::size_t rowStep,
                               std::size_t depthStep, const float* bp, float* c, std::size_t ldc,
                               bool accumulate) {
    __m256 acc[kRows][2];
#pragma GCC unroll 6
    for (std::size_t i = 0; i < kRows; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
    for (std::size_t p = 0; p < kc; ++p) {
        const __m256 b0 = _mm256_loadu_ps(bp), b1 = _mm256_loadu_ps(bp + 8);
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kRows; ++i) {
            const __m256 x = _mm256_set1_ps(a[i * rowStep]);
            acc[i][0] = _mm256_fmadd_ps(x, b0, acc[i][0]);
            acc[i][1] = _mm256_fmadd_ps(x, b1, acc[i][1]);
        }
        a += depthStep;
        bp += kCols;
    }
#pragma GCC unroll 6
    for (std::size_t i = 0; i < kRows; ++i) {
        float* row = c + i * ldc;
        if (accumulate) {
            acc[i][0] = _mm256_add_ps(acc[i][0], _mm256_loadu_ps(row));
            acc[i][1] = _mm256_add_ps(acc[i][1], _mm256_loadu_ps(row + 8));
        }
        _mm256_storeu_ps(row, acc[i][0]);
        _mm256_storeu_ps(row + 8, acc[i][1]);
    }
}

AVX2_TARGET void tile(std::size_t kc, const float* ap, const float* bp, float* c, std::size_t ldc,
                      bool accumulate) {
    tileOf(kc, ap, 1, kRows, bp, c, ldc, accumulate);
}

AVX2_TARGET void tileDirect(std::size_t kc, const float* a, std::size_t lda, const float* bp,
                            float* c, std::size_t ldc, bool accumulate) {
    tileOf(kc, a, lda, 1, bp, c, ldc, accumulate);
}

const MicroKernel kTile = {kRows, kCols, 256, 512, 96, tile, tileDirect};

using EntryPoints = BlockedEntryPoints<kTile>;
const MatrixKernels kAvx2 = {"avx2",
                             EntryPoints::gemm,
                             kTile.nr,
                             EntryPoints::packedSize,
                             EntryPoints::pack,
                             EntryPoints::gemmPacked};

bool systemSavesAvxState() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE)) return false;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6u) == 6u;
}

}  // namespace

const MatrixKernels* avx2MatrixKernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && systemSavesAvxState())
        return &kAvx2;
    return nullptr;
}

}  // namespace platform::ml
