// The mel and encoder stages against the bare models they wrap, and voice
// activity detection and chunking over long audio.
//
// BM_MelModelBare / BM_MelStage: one 30 s window through the mel model, bare
// and through FeatureExtractor. BM_StagesOverhead: both stages around a model
// that does no work, i.e. what the stages add per window (checks, lock,
// signposts, feature providers). Divide it by the window's model time
// (mel + encoder, see bench_WhisperModelsBench) for the share.
// BM_EnergyVADHour / BM_ChunkAllHour: one hour of 16 kHz audio, one thread.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/MelSpectrogramInput.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/core/audio/VADAudioChunker.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<MLModel> loadMel() {
    const fs::path folder = fs::temp_directory_path() /
                            ("verbolin-bench-stage-mel-" + std::to_string(::getpid()) + ".mlmodelc");
    MelSpectrogramModel::writeFolder(folder, 80);
    auto model = MLModel::load(folder);
    fs::remove_all(folder);  // the weights stay mapped
    return model;
}

std::shared_ptr<MLMultiArray> window() {
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    auto x = audio->span<float>();
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(0.2 * std::sin(0.07 * i) * std::sin(0.0003 * i));
    return audio;
}

// Answers every prediction with the same array: only the wrapper's cost remains.
class IdleModel : public MLModel {
  public:
    IdleModel(const std::string& in, std::vector<std::int64_t> inShape, MLMultiArrayDataType inType,
              const std::string& out, std::shared_ptr<MLMultiArray> answer)
        : MLModel(describe(in, std::move(inShape), inType, out, answer->shape()), {}),
          out_(out),
          answer_(std::move(answer)) {}

  protected:
    Arrays evaluate(const Arrays&) const override { return {{out_, answer_}}; }

  private:
    static MLModelDescription describe(const std::string& in, std::vector<std::int64_t> inShape,
                                       MLMultiArrayDataType inType, const std::string& out,
                                       std::vector<std::int64_t> outShape) {
        MLModelDescription d;
        d.inputDescriptionsByName[in] = {in, MLFeatureType::multiArray, false,
                                         MLMultiArrayConstraint{std::move(inShape), inType}};
        d.outputDescriptionsByName[out] = {
            out, MLFeatureType::multiArray, false,
            MLMultiArrayConstraint{std::move(outShape), MLMultiArrayDataType::float16}};
        return d;
    }
    std::string out_;
    std::shared_ptr<MLMultiArray> answer_;
};

void BM_MelModelBare(benchmark::State& state) {
    static auto model = loadMel();
    static auto audio = window();
    for (auto _ : state)
        benchmark::DoNotOptimize(model->prediction(auralith::MelSpectrogramInput(audio)));
}
BENCHMARK(BM_MelModelBare)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MelStage(benchmark::State& state) {
    static auto model = loadMel();
    static auto audio = window();
    auralith::FeatureExtractor extractor;
    extractor.setModel(model);
    for (auto _ : state) benchmark::DoNotOptimize(extractor.logMelSpectrogram(audio));
}
BENCHMARK(BM_MelStage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StagesOverhead(benchmark::State& state) {
    auto mel = MLMultiArray::make({1, 80, 1, 3000}, MLMultiArrayDataType::float16);
    auto embeds = MLMultiArray::make({1, 384, 1, 1500}, MLMultiArrayDataType::float16);
    auralith::FeatureExtractor extractor;
    auralith::AudioEncoder encoder;
    extractor.setModel(std::make_shared<IdleModel>("audio", std::vector<std::int64_t>{480000},
                                                   MLMultiArrayDataType::float32,
                                                   "melspectrogram_features", mel));
    encoder.setModel(std::make_shared<IdleModel>(
        "melspectrogram_features", std::vector<std::int64_t>{1, 80, 1, 3000},
        MLMultiArrayDataType::float16, "encoder_output_embeds", embeds));
    const auto audio = window();
    for (auto _ : state)
        benchmark::DoNotOptimize(encoder.encodeFeatures(extractor.logMelSpectrogram(audio)));
}
BENCHMARK(BM_StagesOverhead)->Unit(benchmark::kMicrosecond);

// Speech-like: 4 s bursts of tone and 0.6 s pauses.
const std::vector<float>& hourOfAudio() {
    static const std::vector<float> audio = [] {
        std::vector<float> a(3600 * 16000);
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = (i % 73600) < 64000 ? 0.3f * std::sin(0.07f * static_cast<float>(i % 9000)) : 0.0f;
        return a;
    }();
    return audio;
}

void BM_EnergyVADHour(benchmark::State& state) {
    const auto& audio = hourOfAudio();
    const auralith::EnergyVAD vad;
    for (auto _ : state) benchmark::DoNotOptimize(vad.voiceActivity(audio));
}
BENCHMARK(BM_EnergyVADHour)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ChunkAllHour(benchmark::State& state) {
    const auto& audio = hourOfAudio();
    const auralith::VADAudioChunker chunker;
    for (auto _ : state) benchmark::DoNotOptimize(chunker.chunkAll(audio, 480000, std::nullopt));
}
BENCHMARK(BM_ChunkAllHour)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
