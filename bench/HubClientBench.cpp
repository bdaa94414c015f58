// The hub client's costs on the application's live path: building a client
// (which restarts the network monitor subscription) and loading the Whisper
// tokenizer from a model folder (file reading, JSON parsing, tokenizer
// construction). Run by hand:
//   build-bench/bench_HubClientBench

#include <benchmark/benchmark.h>

#include <filesystem>

#include "vortilcore/hub/AutoTokenizerWrapper.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/LanguageModelConfigurationFromHub.hpp"

namespace {

const std::filesystem::path kWhisperFolder =
    std::filesystem::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer";

}  // namespace

static void BM_HubApiConstruction(benchmark::State& state) {
    for (auto _ : state) {
        vortil::HubApi api("/tmp/hub-bench", std::string());
        benchmark::DoNotOptimize(api);
    }
}
BENCHMARK(BM_HubApiConstruction)->Unit(benchmark::kMicrosecond);

static void BM_LoadWhisperTokenizerFromFolder(benchmark::State& state) {
    const vortil::HubApiWrapper hub("/tmp/hub-bench", std::string());
    for (auto _ : state) {
        auto tokenizer = vortil::AutoTokenizerWrapper::from(kWhisperFolder, hub, true);
        benchmark::DoNotOptimize(tokenizer);
    }
}
BENCHMARK(BM_LoadWhisperTokenizerFromFolder)->Unit(benchmark::kMillisecond);

static void BM_ReadWhisperTokenizerFiles(benchmark::State& state) {
    const vortil::HubApiWrapper hub("/tmp/hub-bench", std::string());
    for (auto _ : state) {
        auto configs = vortil::LanguageModelConfigurationFromHub::loadConfig(kWhisperFolder, hub);
        benchmark::DoNotOptimize(configs);
    }
}
BENCHMARK(BM_ReadWhisperTokenizerFiles)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
