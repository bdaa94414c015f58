// Cost of one 0.1 s frame through the segmenter with a full noise history
// (300 levels), in silence and while an utterance is being collected, and
// the heap traffic of one whole utterance.
//
//   cmake -B build-bench -DVERBOLIN_BUILD_BENCH=ON && cmake --build build-bench --target
//   bench_UtteranceSegmenterBench

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "support/AllocationCounter.hpp"
#include "verbolin/listening/UtteranceSegmenter.hpp"

namespace {

verbolin::UtteranceSegmenter::Config appConfig() {
    return {16000, 0.1, 5, 10, 3, 18.0, 28.0, 0.006f, 4.0f, 300, 0.02f};
}

}  // namespace

static void BM_SilentFrame(benchmark::State& state) {
    verbolin::UtteranceSegmenter s(appConfig());
    std::vector<float> quiet(1600, 0.001f);
    for (int i = 0; i < 300; ++i)
        s.process(std::vector<float>(1600, 0.0005f + 0.00001f * float(i % 50)));
    for (auto _ : state) benchmark::DoNotOptimize(s.process(quiet));
}
BENCHMARK(BM_SilentFrame)->Unit(benchmark::kMicrosecond);

// Frames into an utterance of `range(0)` seconds.
static void BM_SpeakingFrame(benchmark::State& state) {
    const int frames = int(state.range(0) * 10);
    verbolin::UtteranceSegmenter s(appConfig());
    std::vector<float> loud(1600, 0.1f);
    for (int i = 0; i < 300; ++i) s.process(std::vector<float>(1600, 0.001f));
    for (auto _ : state) {
        state.PauseTiming();
        s.isSpeaking = false;
        s.current.clear();
        s.preroll.clear();
        for (int i = 0; i < frames - 1; ++i) s.process(loud);
        state.ResumeTiming();
        benchmark::DoNotOptimize(s.process(loud));
    }
}
BENCHMARK(BM_SpeakingFrame)->Arg(1)->Arg(10)->Arg(27)->Unit(benchmark::kMicrosecond);

// One whole 28 s utterance, from its first voiced frame to the hard cut, as
// a session without previews feeds it. Reports the heap bytes the segmenter
// takes on the way (each copy of audio is an allocation of its size) and the
// cost per frame.
static void BM_WholeUtterance(benchmark::State& state) {
    verbolin::UtteranceSegmenter s(appConfig());
    std::vector<float> loud(1600, 0.1f);
    for (int i = 0; i < 300; ++i) s.process(std::vector<float>(1600, 0.001f));
    std::size_t bytes = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const std::size_t before = testsupport::tAllocatedBytes;
        bool ended = false;
        while (!ended) {
            for (const auto& e : s.process(loud))
                ended =
                    ended || e.kind == verbolin::UtteranceSegmenter::Event::Kind::utteranceEnded;
            ++frames;
        }
        bytes += testsupport::tAllocatedBytes - before;
    }
    state.counters["MB_per_utterance"] = double(bytes) / 1e6 / double(state.iterations());
    state.counters["s_per_frame"] = benchmark::Counter(
        double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WholeUtterance)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
