// Word-timing alignment of one 30 s window: time warping over N tokens by
// 1500 audio frames of half-precision alignment weights. Run by hand:
//   build-bench/bench_SegmentSeekerBench

#include <benchmark/benchmark.h>

#include <random>

#include "auralith/core/text/SegmentSeeker.hpp"

namespace {

void BM_DynamicTimeWarping(benchmark::State& state) {
    const auto tokens = state.range(0);
    auto weights = platform::ml::MLMultiArray::make({tokens, 1500},
                                                    platform::ml::MLMultiArrayDataType::float16);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (auto& x : weights->span<platform::ml::Float16>()) x = weight(rng);
    const auralith::SegmentSeeker seeker;
    for (auto _ : state) {
        auto path = seeker.dynamicTimeWarping(*weights);
        benchmark::DoNotOptimize(path);
    }
    state.SetItemsProcessed(state.iterations() * tokens * 1500);
}
BENCHMARK(BM_DynamicTimeWarping)->Arg(32)->Arg(224)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
