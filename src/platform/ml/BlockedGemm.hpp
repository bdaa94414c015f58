#pragma once
// The blocking and packing shared by our matrix product builds; each build
// brings only its micro-kernel, which multiplies one packed panel of A by one
// packed panel of B into an mr × nr tile of C.
//
// Panels: A's rows i..i+mr as [kc][mr], B's columns j..j+nr as [kc][nr], both
// padded with zeros to whole panels. The loops keep one A panel in the level 1
// cache while the B panels of a kc × nc block stream from level 2.

#include <cstddef>

namespace platform::ml {

struct MicroKernel {
    std::size_t mr, nr;      // tile
    std::size_t kc, nc, mc;  // block sizes: depth, columns of B, rows of A
    // C[0..mr)[0..nr) (+)= Apanel · Bpanel over kc steps; ldc is C's row stride.
    void (*tile)(std::size_t kc, const float* ap, const float* bp, float* c, std::size_t ldc,
                 bool accumulate);
    // The same with mr whole rows of A read in place (row stride lda), for
    // products too narrow to pay for packing A; may be null.
    void (*tileDirect)(std::size_t kc, const float* a, std::size_t lda, const float* bp, float* c,
                       std::size_t ldc, bool accumulate);
};

// op(B) packed once for many products (weights shared by the tasks of a layer).
// packColumns packs columns [j0, j1) of op(B); both must be multiples of nr (j1
// may be n), so that threads can pack disjoint ranges of one matrix.
std::size_t packedSize(const MicroKernel& kernel, std::size_t n, std::size_t k);
void packColumns(const MicroKernel& kernel, bool transB, std::size_t n, std::size_t k,
                 const float* b, std::size_t ldb, float* packed, std::size_t j0, std::size_t j1);
void blockedGemmPacked(const MicroKernel& kernel, std::size_t m, std::size_t n, std::size_t k,
                       const float* a, std::size_t lda, const float* packed, float* c,
                       std::size_t ldc, bool accumulate);

void blockedGemm(const MicroKernel& kernel, bool transB, std::size_t m, std::size_t n,
                 std::size_t k, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                 float* c, std::size_t ldc, bool accumulate);

// The entry points of one build of the product, made from its micro-kernel,
// so that each build states only its tile.
template <const MicroKernel& kernel>
struct BlockedEntryPoints {
    static void gemm(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a,
                     std::size_t lda, const float* b, std::size_t ldb, float* c, std::size_t ldc,
                     bool accumulate) {
        blockedGemm(kernel, transB, m, n, k, a, lda, b, ldb, c, ldc, accumulate);
    }
    static std::size_t packedSize(std::size_t n, std::size_t k) {
        return platform::ml::packedSize(kernel, n, k);
    }
    static void pack(bool transB, std::size_t n, std::size_t k, const float* b, std::size_t ldb,
                     float* packed, std::size_t j0, std::size_t j1) {
        packColumns(kernel, transB, n, k, b, ldb, packed, j0, j1);
    }
    static void gemmPacked(std::size_t m, std::size_t n, std::size_t k, const float* a,
                           std::size_t lda, const float* packed, float* c, std::size_t ldc,
                           bool accumulate) {
        blockedGemmPacked(kernel, m, n, k, a, lda, packed, c, ldc, accumulate);
    }
};

}  // namespace platform::ml
