#pragma once
// The "MelSpectrogram" model kind: one window of 16 kHz audio ("audio", float32
// [n_samples]) to Whisper's log-mel features ("melspectrogram_features",
// float16 [1, n_mels, 1, n_samples / hop_length]).
//
// Periodic Hann window of n_fft, hop of hop_length, reflect padding of n_fft / 2
// at both ends, power spectrum, the folder's mel filters, log10 with a 1e-10
// floor, clamp to (max - 8), then (x + 4) / 4. The last STFT frame is dropped,
// as Whisper does.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/ScratchPool.hpp"

namespace platform::ml {

class MelSpectrogramModel : public MLModel {
  public:
    // The folder must have passed checkAgainstLayout().
    MelSpectrogramModel(const ModelFolder& folder, const MLModelConfiguration& configuration);
    ~MelSpectrogramModel() override;

    // Writes a complete "MelSpectrogram" model folder: model.json and the Slaney
    // mel filters, computed for the sample rate, as weights.
    static void writeFolder(const std::filesystem::path& folder, int nMels, int nSamples = 480000,
                            int nFft = 400, int hopLength = 160, int sampleRate = 16000);

  protected:
    Arrays evaluate(const Arrays& inputs) const override;

  private:
    struct Scratch;
    std::unique_ptr<Scratch> makeScratch() const;
    void compute(const float* audio, Float16* out, Scratch& s) const;

    int nMels_ = 0, nFft_ = 0, hop_ = 0, nSamples_ = 0, nFrames_ = 0, nBins_ = 0;
    std::vector<float> window_;
    AlignedBuffer<float> filters_;          // [nMels][nBins]
    std::vector<int> bandStart_, bandEnd_;  // the non-zero bins of each filter
    void* plan_ = nullptr;                  // fftwf_plan, made once and shared by every prediction

    mutable ScratchPool<Scratch> scratch_;
};

}  // namespace platform::ml
