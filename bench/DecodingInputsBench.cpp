// The per-window work on the decoder state: preparing it for a run and
// resetting it before every window and fallback attempt, at the sizes of the
// base model (E = 6 × 512, S = 224, W = 1500). Run by hand:
//   build-bench/bench_DecodingInputsBench

#include <benchmark/benchmark.h>

#include <memory>

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/core/TextDecoder.hpp"

namespace {

struct BaseSizedDecoder : auralith::TextDecoder {
    std::optional<std::int64_t> kvCacheEmbedDim() const override { return 6 * 512; }
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override { return 224; }
    std::optional<std::int64_t> windowSize() const override { return 1500; }
};

void BM_PrepareDecoderInputs(benchmark::State& state) {
    const BaseSizedDecoder decoder;
    for (auto _ : state) {
        auto inputs = decoder.prepareDecoderInputs({50258});
        benchmark::DoNotOptimize(inputs);
    }
}
BENCHMARK(BM_PrepareDecoderInputs)->Unit(benchmark::kMicrosecond);

void BM_ResetDecoderInputs(benchmark::State& state) {
    auto inputs = BaseSizedDecoder().prepareDecoderInputs({50258});
    for (auto _ : state) {
        inputs->reset(224);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ResetDecoderInputs);

}  // namespace

BENCHMARK_MAIN();
