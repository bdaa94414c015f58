// What the compute pool's synchronisation costs, apart from any model.
//
//   BM_EmptyLoop/<0|1>: one parallel loop with no work in it, on every thread
//     of the pool: parallelFor over one task per thread (0), or parallelRuns
//     over a base decoder's query/key/value rows in runs of eight (1). The
//     time is the floor every loop of a decoder step pays: opening the loop,
//     waking or reaching the workers, handing out work, the join.
//   BM_ProductChain: the matrix-vector products of one base decoder step
//     (six layers of 1536, 512, 512, 512, 2048 and 512 rows, then 51,865 rows
//     of logits; Float16 weights, ~100 MB, read from memory as in a real step)
//     run back to back the way the decoder runs them, without the attention
//     in between. `in_products` is the share of the threads' time spent inside
//     the products; the rest is waiting at the joins and between the loops,
//     which is what the decoder's own share outside the kernels starts from.
//
// Run: bench_ComputePoolBench [--benchmark_filter=...]; VERBOLIN_THREADS sets
// the threads (one per physical core by default).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/ComputePool.hpp"
#include "platform/ml/Float16.hpp"

using namespace platform::ml;

namespace {

int threads() {
    const char* t = std::getenv("VERBOLIN_THREADS");
    return t ? std::atoi(t) : 0;
}

// Work figures large enough that no loop runs on the caller alone.
constexpr std::size_t kParallelWork = std::size_t{1} << 24;

void BM_EmptyLoop(benchmark::State& state) {
    ComputePool pool(threads());
    std::atomic<std::size_t> sink{0};
    const auto tasks = static_cast<std::size_t>(pool.threadCount());
    for (auto _ : state) {
        if (state.range(0) == 0)
            pool.parallelFor(
                tasks, [&](std::size_t t) { sink.fetch_add(t, std::memory_order_relaxed); },
                kParallelWork);
        else
            pool.parallelRuns(
                1536, 8,
                [&](std::size_t b, std::size_t) { sink.fetch_add(b, std::memory_order_relaxed); },
                kParallelWork);
    }
    state.counters["threads"] = pool.threadCount();
}
BENCHMARK(BM_EmptyLoop)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

struct Product {
    std::vector<Float16> weights;
    std::size_t rows, cols;
};

void BM_ProductChain(benchmark::State& state) {
    ComputePool pool(threads());
    const ComputeKernels& k = computeKernels();
    std::vector<Product> chain;
    const auto add = [&](std::size_t rows, std::size_t cols) {
        Product p{std::vector<Float16>(rows * cols), rows, cols};
        for (std::size_t i = 0; i < p.weights.size(); ++i)
            p.weights[i] = Float16(static_cast<float>(i % 97) * 1e-3f);
        chain.push_back(std::move(p));
    };
    for (int layer = 0; layer < 6; ++layer) {
        add(1536, 512);  // query, key, value
        add(512, 512);   // self-attention output
        add(512, 512);   // cross-attention query
        add(512, 512);   // cross-attention output
        add(2048, 512);  // feed-forward in
        add(512, 2048);  // feed-forward out
    }
    add(51865, 512);  // logits
    std::vector<float> x(2048, 0.01f), y(51865);

    std::atomic<long long> insideNs{0};
    using Clock = std::chrono::steady_clock;
    double wall = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const Product& p : chain) {
            const std::size_t grain = p.rows > 10000 ? 64 : 8;
            pool.parallelRuns(
                p.rows, grain,
                [&](std::size_t b, std::size_t e) {
                    const auto t0 = Clock::now();
                    k.matvecF16(p.weights.data() + b * p.cols, p.cols, x.data(), p.cols,
                                y.data() + b, e - b);
                    insideNs.fetch_add(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0)
                            .count(),
                        std::memory_order_relaxed);
                },
                p.rows * p.cols);
        }
        wall += std::chrono::duration<double>(Clock::now() - start).count();
    }
    state.counters["ms_per_step"] = wall * 1e3 / static_cast<double>(state.iterations());
    state.counters["in_products"] =
        static_cast<double>(insideNs.load()) / 1e9 / (wall * pool.threadCount());
    state.counters["threads"] = pool.threadCount();
}
BENCHMARK(BM_ProductChain)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
