// The log-mel model over one 30 s window (480000 samples), as the pipeline
// runs it once per window: 80 and 128 bands, and several windows at once.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "auralith/core/FeatureExtractor.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFactory.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<MLModel> loadMel(int nMels) {
    const fs::path folder =
        fs::temp_directory_path() / ("verbolin-bench-mel-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(nMels) + ".mlmodelc");
    MelSpectrogramModel::writeFolder(folder, nMels);
    auto model = ModelFactory::load(folder);
    fs::remove_all(folder);  // the weights stay mapped
    return model;
}

std::shared_ptr<MLMultiArray> speechLikeWindow() {
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    auto x = audio->span<float>();
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(0.2 * std::sin(0.07 * i) * std::sin(0.0003 * i) +
                                  0.01 * std::sin(1.3 * i));
    return audio;
}

void BM_MelSpectrogram30s(benchmark::State& state) {
    static auto model80 = loadMel(80);
    static auto model128 = loadMel(128);
    const auto& model = state.range(0) == 80 ? model80 : model128;
    static auto audio = speechLikeWindow();
    MLDictionaryFeatureProvider input({{"audio", audio}});
    for (auto _ : state) {
        auto out = model->prediction(input);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(std::to_string(state.range(0)) + " bands");
}
BENCHMARK(BM_MelSpectrogram30s)->Arg(80)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MelSpectrogram30s)->Arg(80)->Threads(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same window through the pipeline's mel stage: the difference to
// BM_MelSpectrogram30s/80 is what the stage adds.
void BM_MelStage30s(benchmark::State& state) {
    static auto model = loadMel(80);
    static auto audio = speechLikeWindow();
    auralith::FeatureExtractor extractor;
    extractor.setModel(model);
    for (auto _ : state) benchmark::DoNotOptimize(extractor.logMelSpectrogram(audio));
}
BENCHMARK(BM_MelStage30s)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadMelModel(benchmark::State& state) {
    const fs::path folder = fs::temp_directory_path() /
                            ("verbolin-bench-load-" + std::to_string(::getpid()) + ".mlmodelc");
    MelSpectrogramModel::writeFolder(folder, 80);
    for (auto _ : state) benchmark::DoNotOptimize(ModelFactory::load(folder));
    fs::remove_all(folder);
}
BENCHMARK(BM_LoadMelModel)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
