// The compression ratio runs once per decoded window and per fallback attempt;
// these measure it on window-sized inputs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "auralith/utilities/TextUtilities.hpp"

namespace {

// About one 30 s window of English speech.
std::string windowText() {
    const char* words[] = {" the",  " quick", " brown", " fox", " jumps",
                           " over", " a",     " lazy",  " dog", " and"};
    std::mt19937 random(1);
    std::string text;
    while (text.size() < 450) text += words[random() % 10];
    return text;
}

void BM_CompressionRatioText(benchmark::State& state) {
    const std::string text = windowText();
    for (auto _ : state) benchmark::DoNotOptimize(auralith::TextUtilities::compressionRatio(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CompressionRatioText);

void BM_CompressionRatioTokens(benchmark::State& state) {
    std::mt19937 random(2);
    std::vector<int64_t> tokens(static_cast<size_t>(state.range(0)));
    for (auto& t : tokens) t = static_cast<int64_t>(random() % 50257);
    for (auto _ : state)
        benchmark::DoNotOptimize(auralith::TextUtilities::compressionRatio(tokens));
}
BENCHMARK(BM_CompressionRatioTokens)->Arg(20)->Arg(224);

}  // namespace

BENCHMARK_MAIN();
