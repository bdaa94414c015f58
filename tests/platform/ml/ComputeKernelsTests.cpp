#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/ComputePool.hpp"

using namespace platform::ml;

namespace {

std::vector<float> randomFloats(std::size_t n, unsigned seed, float scale = 1.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, scale);
    std::vector<float> v(n);
    for (auto& x : v) x = normal(rng);
    return v;
}

std::vector<Float16> toHalf(const std::vector<float>& v) {
    std::vector<Float16> h(v.size());
    convertFloatToHalf(v.data(), h.data(), v.size());
    return h;
}

void expectNear(const std::vector<float>& a, const std::vector<float>& b, float tolerance,
                const std::string& what) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(a[i], b[i], tolerance * (1.0f + std::fabs(b[i]))) << what << " at " << i;
}

}  // namespace

// The AVX2 build must compute what the portable build computes, for every
// length, including the tails that do not fill a vector.
TEST(ComputeKernels, Avx2BuildMatchesPortableBuild) {
    const ComputeKernels* fast = avx2Kernels();
    if (!fast) GTEST_SKIP() << "this processor lacks AVX2, FMA or F16C";
    const ComputeKernels& ref = portableKernels();
    for (std::size_t n : {1u, 7u, 8u, 9u, 31u, 64u, 100u, 385u}) {
        const std::string at = "n=" + std::to_string(n);
        for (std::size_t rows : {1u, 3u, 4u, 5u, 9u}) {
            const std::size_t ld = n + 3;  // rows need not be packed
            const auto w = randomFloats(rows * ld, 1);
            const auto wh = toHalf(w);
            const auto x = randomFloats(n, 2);
            std::vector<float> a(rows), b(rows);
            fast->matvecF32(w.data(), ld, x.data(), n, a.data(), rows);
            ref.matvecF32(w.data(), ld, x.data(), n, b.data(), rows);
            expectNear(a, b, 1e-5f, "matvecF32 " + at);
            fast->matvecF16(wh.data(), ld, x.data(), n, a.data(), rows);
            ref.matvecF16(wh.data(), ld, x.data(), n, b.data(), rows);
            expectNear(a, b, 1e-5f, "matvecF16 " + at);
        }
        const auto x = randomFloats(n, 3, 4.0f);
        const auto xh = toHalf(x);
        auto y1 = randomFloats(n, 4), y2 = y1;
        fast->axpyF32(0.75f, x.data(), y1.data(), n);
        ref.axpyF32(0.75f, x.data(), y2.data(), n);
        expectNear(y1, y2, 1e-6f, "axpyF32 " + at);
        fast->axpyF16(-1.5f, xh.data(), y1.data(), n);
        ref.axpyF16(-1.5f, xh.data(), y2.data(), n);
        expectNear(y1, y2, 1e-6f, "axpyF16 " + at);

        EXPECT_EQ(fast->maxValue(x.data(), n), ref.maxValue(x.data(), n)) << at;
        auto e1 = x, e2 = x;
        const float shift = ref.maxValue(x.data(), n);
        EXPECT_NEAR(fast->expShiftSum(e1.data(), n, shift), ref.expShiftSum(e2.data(), n, shift),
                    1e-5f * static_cast<float>(n))
            << at;
        expectNear(e1, e2, 1e-6f, "expShiftSum " + at);

        const auto bias = randomFloats(n, 5);
        auto g1 = x, g2 = x;
        fast->biasGelu(g1.data(), bias.data(), n);
        ref.biasGelu(g2.data(), bias.data(), n);
        expectNear(g1, g2, 2e-6f, "biasGelu " + at);

        const auto gamma = randomFloats(n, 6), beta = randomFloats(n, 7);
        std::vector<float> n1(n), n2(n);
        fast->layerNorm(x.data(), gamma.data(), beta.data(), n1.data(), n, 1e-5f);
        ref.layerNorm(x.data(), gamma.data(), beta.data(), n2.data(), n, 1e-5f);
        expectNear(n1, n2, 1e-4f, "layerNorm " + at);
    }
}

// The decoder splits a product's rows into runs that start and end on
// multiples of four, and finishes each run with these kernels; its results are
// the same on any number of threads only if a value's result does not depend
// on which such run it falls in.
TEST(ComputeKernels, AValuesResultDoesNotDependOnItsRun) {
    const std::vector<const ComputeKernels*> builds = {&portableKernels(), avx2Kernels()};
    const std::size_t n = 44, ld = 27;  // a row length that leaves a scalar tail
    const auto values = randomFloats(n, 4, 3.0f);
    const auto bias = randomFloats(n, 5);
    const auto w = toHalf(randomFloats(n * ld, 6));
    const auto x = randomFloats(ld, 7);
    for (const ComputeKernels* k : builds) {
        if (!k) continue;
        SCOPED_TRACE(k->name);
        std::vector<float> whole = values, rowsWhole(n);
        k->biasGelu(whole.data(), bias.data(), n);
        k->matvecF16(w.data(), ld, x.data(), ld, rowsWhole.data(), n);
        for (std::size_t begin = 0; begin < n; begin += 4)
            for (std::size_t end = begin + 4; end <= n; end += 4) {
                std::vector<float> run(values.begin() + begin, values.begin() + end),
                    rows(end - begin);
                k->biasGelu(run.data(), bias.data() + begin, run.size());
                k->matvecF16(w.data() + begin * ld, ld, x.data(), ld, rows.data(), rows.size());
                for (std::size_t i = begin; i < end; ++i) {
                    ASSERT_EQ(run[i - begin], whole[i])
                        << "gelu of value " << i << " in run [" << begin << ", " << end << ")";
                    ASSERT_EQ(rows[i - begin], rowsWhole[i])
                        << "row " << i << " in run [" << begin << ", " << end << ")";
                }
            }
    }
}

// Every build turns a block of rows into Float16 columns with the bias added,
// rounding exactly as convertFloatToHalf does, for shapes with and without
// whole eight-by-eight tiles, values that overflow Float16 or fall below its
// normal range, and rows and columns that are not packed.
TEST(ComputeKernels, TransposeToHalfRoundsAsConversionDoesForEveryShape) {
    const std::vector<const ComputeKernels*> builds = {&portableKernels(), avx2Kernels()};
    for (std::size_t rows : {1u, 7u, 8u, 16u, 19u})
        for (std::size_t cols : {1u, 5u, 8u, 24u, 27u}) {
            const std::size_t lds = cols + 3, ldd = rows + 5;
            auto src = randomFloats(rows * lds, 11, 2.0f);
            const auto bias = randomFloats(cols, 12);
            src[0] = 70000.0f;     // past Float16's largest value
            src[lds - 1] = 3e-6f;  // below its normal range
            std::vector<Float16> want(cols * ldd);
            for (std::size_t c = 0; c < cols; ++c) {
                std::vector<float> column(rows);
                for (std::size_t r = 0; r < rows; ++r) column[r] = src[r * lds + c] + bias[c];
                convertFloatToHalf(column.data(), want.data() + c * ldd, rows);
            }
            for (const ComputeKernels* k : builds) {
                if (!k) continue;
                std::vector<Float16> got(cols * ldd);
                k->transposeToHalf(src.data(), lds, rows, cols, bias.data(), got.data(), ldd);
                for (std::size_t c = 0; c < cols; ++c)
                    for (std::size_t r = 0; r < rows; ++r)
                        ASSERT_EQ(got[c * ldd + r].bits, want[c * ldd + r].bits)
                            << k->name << " " << rows << "x" << cols << " at row " << r
                            << ", column " << c;
            }
        }
}

TEST(ComputeKernels, ExpOfVeryNegativeValuesIsZeroAndNeverNaN) {
    for (const ComputeKernels* k : {&portableKernels(), avx2Kernels()}) {
        if (!k) continue;
        std::vector<float> x(16, -10000.0f);
        x[3] = 0.0f;
        const float sum = k->expShiftSum(x.data(), x.size(), 0.0f);
        EXPECT_NEAR(sum, 1.0f, 1e-6f) << k->name;
        for (std::size_t i = 0; i < x.size(); ++i) EXPECT_FALSE(std::isnan(x[i])) << k->name;
        EXPECT_LT(x[0], 1e-30f) << k->name;
    }
}

TEST(ComputePool, EveryTaskRunsExactlyOnce) {
    for (int threads : {1, 2, 5}) {
        ComputePool pool(threads);
        EXPECT_EQ(pool.threadCount(), threads);
        for (std::size_t tasks : {0u, 1u, 2u, 7u, 1000u}) {
            std::vector<std::atomic<int>> hits(tasks);
            for (int round = 0; round < 20; ++round)
                pool.parallelFor(tasks, [&](std::size_t t) { hits[t].fetch_add(1); });
            for (std::size_t t = 0; t < tasks; ++t)
                ASSERT_EQ(hits[t].load(), 20) << threads << " threads, task " << t;
        }
        for (std::size_t n : {1u, 15u, 16u, 17u, 1001u}) {
            std::vector<std::atomic<int>> hits(n);
            pool.parallelRanges(n, 16, [&](std::size_t b, std::size_t e) {
                EXPECT_TRUE(b % 16 == 0);
                for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
            });
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(hits[i].load(), 1) << "range element " << i;
        }
    }
}

TEST(ComputePool, LoopsFromSeveralCallersDoNotMix) {
    ComputePool pool(4);
    auto caller = [&pool](std::size_t tasks, long* total) {
        for (int round = 0; round < 200; ++round) {
            std::atomic<long> sum{0};
            pool.parallelFor(tasks,
                             [&](std::size_t t) { sum.fetch_add(static_cast<long>(t) + 1); });
            *total += sum.load();
        }
    };
    long a = 0, b = 0;
    std::thread t1(caller, 37, &a), t2(caller, 101, &b);
    t1.join();
    t2.join();
    EXPECT_EQ(a, 200L * 37 * 38 / 2);
    EXPECT_EQ(b, 200L * 101 * 102 / 2);
}

TEST(ComputePool, DefaultsToThePhysicalCores) {
    ComputePool pool;
    EXPECT_EQ(pool.threadCount(), ComputePool::physicalCores());
    EXPECT_GE(pool.threadCount(), 1);
}
