// The mel and encoder stages against the bare models they wrap, and voice
// activity detection and chunking over long audio.
//
// BM_StagesOverhead: both stages around a model that does no work, i.e. what
// the stages add per window (checks, lock, signposts, feature providers).
// Divide it by the window's model time (bench_MelSpectrogramBench and
// bench_WhisperModelsBench) for the share; bench_MelSpectrogramBench also
// runs the mel stage beside the bare model.
// BM_EnergyVADHour / BM_ChunkAllHour: one hour of 16 kHz audio, one thread.

#include <benchmark/benchmark.h>

#include <cmath>

#include "auralith/core/AudioEncoder.hpp"
#include "auralith/core/FeatureExtractor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/core/audio/VADAudioChunker.hpp"
#include "platform/ml/MLModel.hpp"

using namespace platform::ml;

namespace {

std::shared_ptr<MLMultiArray> window() {
    auto audio = MLMultiArray::make({480000}, MLMultiArrayDataType::float32);
    auto x = audio->span<float>();
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(0.2 * std::sin(0.07 * i));
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
            a[i] =
                (i % 73600) < 64000 ? 0.3f * std::sin(0.07f * static_cast<float>(i % 9000)) : 0.0f;
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
