#pragma once
// Single-precision matrix products for the models' large layers, on the
// calling thread (the compute pool splits the work, one product per task).
//
// Several builds exist: our own blocked products with AVX-512 and AVX2/FMA
// micro-kernels, OpenBLAS as the system ships it, and a portable build. The
// one in use is picked once by what the processor supports, never by a list of
// processor models, and only after it has computed a set of products that a
// plain double-precision loop checks, so a build that computes wrong results
// on this processor is passed over instead of trusted.
//
// All matrices are row-major with the given row strides (in elements).

#include <cstddef>
#include <string>
#include <vector>

namespace platform::ml {

struct MatrixKernels {
    const char* name;

    // C[m][n] = A[m][k] · op(B), or C += it when `accumulate`. op(B) is Bᵀ of
    // a [n][k] matrix when `transB`, else a [k][n] matrix. C must not overlap
    // A or B.
    void (*gemm)(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a,
                 std::size_t lda, const float* b, std::size_t ldb, float* c, std::size_t ldc,
                 bool accumulate);

    // The same product with op(B) packed beforehand, once for the many blocks
    // of A that meet the same weights. `packedSize` floats hold a packed [n][k]
    // op(B); `pack` packs its columns [j0, j1), both multiples of `packGrain`
    // (j1 may be n), so threads can share the packing of one matrix.
    std::size_t packGrain;
    std::size_t (*packedSize)(std::size_t n, std::size_t k);
    void (*pack)(bool transB, std::size_t n, std::size_t k, const float* b, std::size_t ldb,
                 float* packed, std::size_t j0, std::size_t j1);
    void (*gemmPacked)(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
                       const float* packed, float* c, std::size_t ldc, bool accumulate);
};

// The build the models use: the first of the candidates this processor can run
// that passes the check; the portable build when the optimized kernels are
// disabled (setOptimizedKernelsEnabled in ComputeKernels.hpp).
const MatrixKernels& matrixKernels();

// Its name: "avx512", "avx2", "openblas (<its core>)" or "portable".
std::string matrixKernelName();

// Every build this processor can run, best first; the portable build is last
// and always there. For tests and benchmarks.
std::vector<const MatrixKernels*> matrixKernelCandidates();

// Whether `kernels` computes a set of awkward products (edge tiles, both
// layouts, accumulation, long sums) within single-precision rounding of a
// double-precision reference.
bool matrixKernelsAgreeWithReference(const MatrixKernels& kernels);

// Makes the named candidate the one in use (for benchmarks comparing builds);
// false, and nothing changes, when no candidate has that name or it fails the
// check. An empty name returns to the automatic choice.
bool selectMatrixKernels(const std::string& name);

}  // namespace platform::ml
