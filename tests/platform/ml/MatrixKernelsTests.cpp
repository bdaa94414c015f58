#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MatrixKernels.hpp"

using namespace platform::ml;

namespace {

struct Product {
    bool transB, accumulate;
    std::size_t m, n, k;
};

std::vector<float> randomFloats(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = normal(rng);
    return v;
}

// Runs one product through `kernels` with padded strides and checks every
// element against a double-precision loop, and the padding for stray writes.
void expectProductMatches(const MatrixKernels& kernels, const Product& p, unsigned seed,
                          bool packed) {
    const std::size_t lda = p.k + 1, ldb = (p.transB ? p.k : p.n) + 2, ldc = p.n + 3;
    const auto a = randomFloats(p.m * lda, seed);
    const auto b = randomFloats((p.transB ? p.n : p.k) * ldb, seed + 1);
    const auto before = randomFloats(p.m * ldc, seed + 2);
    auto c = before;
    std::string what = std::string(kernels.name) + " " + (p.transB ? "NT " : "NN ") +
                       std::to_string(p.m) + "x" + std::to_string(p.n) + "x" + std::to_string(p.k) +
                       (p.accumulate ? " +=" : "");
    if (packed) {
        // Packed in three pieces, as threads share the packing of one matrix.
        std::vector<float> bp(kernels.packedSize(p.n, p.k));
        const std::size_t g = kernels.packGrain, third = p.n / 3 / g * g;
        for (auto [j0, j1] :
             {std::pair{std::size_t{0}, third}, {third, 2 * third}, {2 * third, p.n}})
            kernels.pack(p.transB, p.n, p.k, b.data(), ldb, bp.data(), j0, j1);
        kernels.gemmPacked(p.m, p.n, p.k, a.data(), lda, bp.data(), c.data(), ldc, p.accumulate);
        what += " packed";
    } else {
        kernels.gemm(p.transB, p.m, p.n, p.k, a.data(), lda, b.data(), ldb, c.data(), ldc,
                     p.accumulate);
    }
    for (std::size_t i = 0; i < p.m; ++i) {
        for (std::size_t j = 0; j < ldc; ++j) {
            if (j >= p.n) {
                ASSERT_EQ(c[i * ldc + j], before[i * ldc + j]) << what << ": wrote past row " << i;
                continue;
            }
            double sum = p.accumulate ? before[i * ldc + j] : 0.0, magnitude = std::fabs(sum);
            for (std::size_t q = 0; q < p.k; ++q) {
                const double x = static_cast<double>(a[i * lda + q]) *
                                 (p.transB ? b[j * ldb + q] : b[q * ldb + j]);
                sum += x;
                magnitude += std::fabs(x);
            }
            // Well inside the models' parity tolerance, far below any wrong term.
            ASSERT_NEAR(c[i * ldc + j], sum, 1e-6 * (magnitude + 1.0))
                << what << " at " << i << "," << j;
        }
    }
}

// Products that are right except for one element of each C: what a build
// with a bad edge case computes.
void offByOneGemm(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a,
                  std::size_t lda, const float* b, std::size_t ldb, float* c, std::size_t ldc,
                  bool accumulate) {
    matrixKernelCandidates().back()->gemm(transB, m, n, k, a, lda, b, ldb, c, ldc, accumulate);
    if (m > 0 && n > 0) c[(m - 1) * ldc + n - 1] += 0.01f;
}

void offByOneGemmPacked(std::size_t m, std::size_t n, std::size_t k, const float* a,
                        std::size_t lda, const float* packed, float* c, std::size_t ldc,
                        bool accumulate) {
    matrixKernelCandidates().back()->gemmPacked(m, n, k, a, lda, packed, c, ldc, accumulate);
    if (m > 0 && n > 0) c[(m - 1) * ldc + n - 1] += 0.01f;
}

}  // namespace

// Every build this processor runs, the portable one included, computes the
// shapes the models use and the awkward ones around the tile and block sizes.
TEST(MatrixKernels, EveryBuildMatchesTheReference) {
    const Product products[] = {
        {true, false, 96, 512, 512},   // an encoder projection block
        {false, false, 94, 64, 1500},  // attention values over a block of rows
        {true, true, 96, 80, 80},      // a convolution tap, accumulated
        {true, false, 1, 1, 1},       {false, true, 1, 33, 7}, {true, false, 13, 17, 257},
        {false, false, 25, 513, 300}, {true, true, 97, 31, 2}, {false, true, 6, 16, 256},
        {true, false, 12, 32, 255},   {true, false, 4, 9, 0},  {false, true, 3, 5, 0},
    };
    const auto candidates = matrixKernelCandidates();
    ASSERT_FALSE(candidates.empty());
    EXPECT_STREQ(candidates.back()->name, "portable");
    unsigned seed = 10;
    for (const MatrixKernels* kernels : candidates)
        for (const Product& p : products) {
            for (bool packed : {false, true}) {
                expectProductMatches(*kernels, p, seed += 3, packed);
                if (HasFatalFailure()) return;
            }
        }
}

TEST(MatrixKernels, TheCheckRejectsABuildThatGetsOneElementWrong) {
    for (const MatrixKernels* kernels : matrixKernelCandidates())
        EXPECT_TRUE(matrixKernelsAgreeWithReference(*kernels)) << kernels->name;
    MatrixKernels broken = *matrixKernelCandidates().back();
    broken.gemm = offByOneGemm;
    EXPECT_FALSE(matrixKernelsAgreeWithReference(broken));
    broken = *matrixKernelCandidates().back();
    broken.gemmPacked = offByOneGemmPacked;
    EXPECT_FALSE(matrixKernelsAgreeWithReference(broken));
    broken = *matrixKernelCandidates().back();
    broken.pack = [](bool, std::size_t, std::size_t, const float*, std::size_t, float*, std::size_t,
                     std::size_t) {};  // leaves the packed matrix as it was
    EXPECT_FALSE(matrixKernelsAgreeWithReference(broken));
}

// The automatic choice is the best build that passes the check, by what the
// processor supports; the portable switch and explicit choices override it.
TEST(MatrixKernels, ChoiceFollowsTheProcessorAndCanBeOverridden) {
    const auto candidates = matrixKernelCandidates();
    EXPECT_EQ(&matrixKernels(), candidates.front());
    EXPECT_EQ(matrixKernelName().rfind(candidates.front()->name, 0), 0u);

    const bool was = setOptimizedKernelsEnabled(false);
    EXPECT_EQ(matrixKernelName(), "portable");
    setOptimizedKernelsEnabled(was);

    EXPECT_FALSE(selectMatrixKernels("no such build"));
    EXPECT_EQ(&matrixKernels(), candidates.front());
    ASSERT_TRUE(selectMatrixKernels("openblas"));
    EXPECT_EQ(matrixKernelName().rfind("openblas (", 0), 0u) << matrixKernelName();
    ASSERT_TRUE(selectMatrixKernels(""));
    EXPECT_EQ(&matrixKernels(), candidates.front());
}

// Products on several threads at once use their own packing memory.
TEST(MatrixKernels, ConcurrentProductsDoNotShareScratch) {
    const MatrixKernels& kernels = matrixKernels();
    const std::size_t m = 40, n = 300, k = 270;
    const auto a = randomFloats(m * k, 1), b = randomFloats(n * k, 2);
    std::vector<float> expected(m * n);
    kernels.gemm(true, m, n, k, a.data(), k, b.data(), k, expected.data(), n, false);
    std::vector<std::vector<float>> results(4, std::vector<float>(m * n));
    std::vector<std::thread> threads;
    for (auto& r : results)
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round)
                kernels.gemm(true, m, n, k, a.data(), k, b.data(), k, r.data(), n, false);
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

// OpenBLAS's own threads poll for about a second after every program start,
// competing with the models' loading; they are gone before any test runs, and
// OpenBLAS still computes on the caller's thread. Each test runs in a process
// of its own, so besides the main thread there is at most a sanitizer's.
TEST(MatrixKernels, OpenblasKeepsNoThreadsOfItsOwn) {
    if (std::thread::hardware_concurrency() < 4)
        GTEST_SKIP() << "too few processors for OpenBLAS's threads to show";
    const auto threads = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& task :
             std::filesystem::directory_iterator("/proc/self/task"))
            ++n;
        return n;
    };
    EXPECT_LE(threads(), 2u);
    for (const MatrixKernels* kernels : matrixKernelCandidates()) {
        if (std::string(kernels->name) == "openblas") {
            EXPECT_TRUE(matrixKernelsAgreeWithReference(*kernels));
        }
    }
    EXPECT_LE(threads(), 2u);
}
