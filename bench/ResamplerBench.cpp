// Cost of turning captured audio into 16 kHz mono, per second of input, for
// the formats microphones commonly deliver. Each iteration converts one
// second in the 4096-frame pieces the capture receives, allocating the output
// as the capture does.
//
//   cmake -B build-bench -DVERBOLIN_BUILD_BENCH=ON && cmake --build build-bench --target
//   bench_ResamplerBench build-bench/bench_ResamplerBench

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "platform/audio/Resampler.hpp"

static void BM_ConvertOneSecond(benchmark::State& state) {
    const double rate = double(state.range(0));
    const auto channels = uint32_t(state.range(1));
    auto r = platform::Resampler::create({rate, channels});
    if (!r) {
        state.SkipWithError("format not convertible");
        return;
    }
    const size_t frames = size_t(rate);
    std::vector<float> in(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            in[i * channels + c] =
                0.3f * std::sin(2.0f * float(M_PI) * 440.0f * float(i) / float(rate));
    for (auto _ : state) {
        size_t produced = 0;
        for (size_t at = 0; at < frames; at += 4096) {
            size_t n = std::min<size_t>(4096, frames - at);
            size_t capacity = size_t(uint32_t(double(n) * r->ratio())) + 32;
            std::vector<float> out(capacity);
            long got = r->convert(in.data() + at * channels, n, out.data(), capacity);
            produced += size_t(got > 0 ? got : 0);
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::DoNotOptimize(produced);
    }
    // Items are seconds of audio: items_per_second is how many times faster
    // than real time one core converts.
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertOneSecond)
    ->Args({48000, 1})
    ->Args({48000, 2})
    ->Args({44100, 2})
    ->Args({16000, 1})
    ->Args({96000, 2})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
