#include "platform/ml/MelSpectrogramModel.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <numbers>

#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MelFilterBank.hpp"
#include "platform/ml/SafetensorsFile.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace platform::ml {

namespace {
// FFTW's planner is not thread-safe; executing a finished plan is.
std::mutex& fftwPlannerMutex() {
    static std::mutex m;
    return m;
}
}  // namespace

struct MelSpectrogramModel::Scratch {
    AlignedBuffer<float> padded;            // nSamples + nFft
    AlignedBuffer<float> frames;            // nFrames × nFft, windowed
    AlignedBuffer<fftwf_complex> spectrum;  // nFrames × nBins
    AlignedBuffer<float> power;             // nFrames × nBins
    AlignedBuffer<float> mel;               // nMels × nFrames
};

MelSpectrogramModel::MelSpectrogramModel(const ModelFolder& folder,
                                         const MLModelConfiguration& configuration)
    : MLModel(folder.description(), configuration) {
    const auto& dims = folder.dimensions();
    nMels_ = static_cast<int>(WhisperModelLayout::dimension(dims, "n_mels"));
    nFft_ = static_cast<int>(WhisperModelLayout::dimension(dims, "n_fft"));
    hop_ = static_cast<int>(WhisperModelLayout::dimension(dims, "hop_length"));
    nSamples_ = static_cast<int>(WhisperModelLayout::dimension(dims, "n_samples"));
    nFrames_ = nSamples_ / hop_;
    nBins_ = nFft_ / 2 + 1;

    window_.resize(nFft_);
    for (int k = 0; k < nFft_; ++k)
        window_[k] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * k / nFft_));

    const auto weights = tensorToFloats(folder.tensor("mel_filters"));
    filters_ = AlignedBuffer<float>(weights.size());
    std::copy(weights.begin(), weights.end(), filters_.data());
    bandStart_.assign(nMels_, 0);
    bandEnd_.assign(nMels_, 0);
    for (int m = 0; m < nMels_; ++m) {
        const float* w = filters_.data() + static_cast<std::size_t>(m) * nBins_;
        int first = 0, last = nBins_;
        while (first < nBins_ && w[first] == 0.0f) ++first;
        while (last > first && w[last - 1] == 0.0f) --last;
        bandStart_[m] = first;
        bandEnd_[m] = last;
    }

    // The plan is made on the first scratch set, which then waits in the pool
    // for the first prediction. Estimated (not measured) plans keep results
    // identical from one load to the next.
    auto scratch = scratch_.acquire([this] { return makeScratch(); });
    {
        std::lock_guard lock(fftwPlannerMutex());
        int n[] = {nFft_};
        plan_ =
            fftwf_plan_many_dft_r2c(1, n, nFrames_, scratch->frames.data(), nullptr, 1, nFft_,
                                    scratch->spectrum.data(), nullptr, 1, nBins_, FFTW_ESTIMATE);
    }
    if (!plan_)
        throw MLModelError(MLModelError::Code::generic,
                           "Cannot plan the mel spectrogram's transform");
}

void MelSpectrogramModel::writeFolder(const std::filesystem::path& folder, int nMels, int nSamples,
                                      int nFft, int hopLength, int sampleRate) {
    const nlohmann::json dims = {{"n_mels", nMels},
                                 {"n_fft", nFft},
                                 {"hop_length", hopLength},
                                 {"n_samples", nSamples},
                                 {"sample_rate", sampleRate}};
    const auto description =
        WhisperModelLayout::description(WhisperModelLayout::kMelSpectrogram, dims);
    const auto filters = MelFilterBank::make(sampleRate, nFft, nMels);
    ModelFolder::writeDescription(folder, WhisperModelLayout::kMelSpectrogram, dims, description);
    writeSafetensors(
        folder / ModelFolder::kWeightsFile,
        {{"mel_filters", "F32", {nMels, nFft / 2 + 1}, std::as_bytes(std::span(filters))}});
}

MelSpectrogramModel::~MelSpectrogramModel() {
    std::lock_guard lock(fftwPlannerMutex());
    if (plan_) fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
}

std::unique_ptr<MelSpectrogramModel::Scratch> MelSpectrogramModel::makeScratch() const {
    auto s = std::make_unique<Scratch>();
    s->padded = AlignedBuffer<float>(static_cast<std::size_t>(nSamples_) + nFft_);
    s->frames = AlignedBuffer<float>(static_cast<std::size_t>(nFrames_) * nFft_);
    s->spectrum = AlignedBuffer<fftwf_complex>(static_cast<std::size_t>(nFrames_) * nBins_);
    s->power = AlignedBuffer<float>(static_cast<std::size_t>(nFrames_) * nBins_);
    s->mel = AlignedBuffer<float>(static_cast<std::size_t>(nMels_) * nFrames_);
    return s;
}

MLModel::Arrays MelSpectrogramModel::evaluate(const Arrays& inputs) const {
    const auto& audio = *inputs.at("audio");
    auto out = MLMultiArray::make({1, nMels_, 1, nFrames_}, MLMultiArrayDataType::float16);
    auto scratch = scratch_.acquire([this] { return makeScratch(); });
    compute(audio.span<float>().data(), out->span<Float16>().data(), *scratch);
    return {{"melspectrogram_features", out}};
}

void MelSpectrogramModel::compute(const float* audio, Float16* out, Scratch& s) const {
    const int pad = nFft_ / 2;
    float* padded = s.padded.data();
    // Reflect padding: the edge sample itself is not repeated.
    for (int i = 0; i < pad; ++i) padded[i] = audio[pad - i];
    std::copy(audio, audio + nSamples_, padded + pad);
    for (int i = 0; i < pad; ++i) padded[pad + nSamples_ + i] = audio[nSamples_ - 2 - i];

    const float* __restrict window = window_.data();
    for (int f = 0; f < nFrames_; ++f) {
        const float* __restrict src = padded + static_cast<std::size_t>(f) * hop_;
        float* __restrict dst = s.frames.data() + static_cast<std::size_t>(f) * nFft_;
        for (int k = 0; k < nFft_; ++k) dst[k] = src[k] * window[k];
    }
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(plan_), s.frames.data(), s.spectrum.data());

    const std::size_t cells = static_cast<std::size_t>(nFrames_) * nBins_;
    const float* __restrict spec = reinterpret_cast<const float*>(s.spectrum.data());
    float* __restrict power = s.power.data();
    for (std::size_t i = 0; i < cells; ++i)
        power[i] = spec[2 * i] * spec[2 * i] + spec[2 * i + 1] * spec[2 * i + 1];

    // mel[m][f] = sum_b filters[m][b] * power[f][b], over the few bins each
    // triangle covers (a dense product would be ~40 times the work).
    float* melOut = s.mel.data();
    for (int f = 0; f < nFrames_; ++f) {
        const float* row = power + static_cast<std::size_t>(f) * nBins_;
        for (int m = 0; m < nMels_; ++m) {
            const float* w = filters_.data() + static_cast<std::size_t>(m) * nBins_;
            float sum = 0.0f;
            for (int b = bandStart_[m]; b < bandEnd_[m]; ++b) sum += w[b] * row[b];
            melOut[static_cast<std::size_t>(m) * nFrames_ + f] = sum;
        }
    }

    const std::size_t n = static_cast<std::size_t>(nMels_) * nFrames_;
    float* mel = s.mel.data();
    float maxLog = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        // A NaN or infinite sample must not poison the maximum and with it every
        // feature of the window; the frames it reaches get the floor instead.
        const float v = std::isfinite(mel[i]) && mel[i] > 1e-10f ? mel[i] : 1e-10f;
        mel[i] = std::log10(v);
        maxLog = std::max(maxLog, mel[i]);
    }
    const float floor = maxLog - 8.0f;
    for (std::size_t i = 0; i < n; ++i) mel[i] = (std::max(mel[i], floor) + 4.0f) / 4.0f;
    convertFloatToHalf(mel, out, n);
}

}  // namespace platform::ml
