#pragma once
// The audio encoder's input: one window of mel-spectrogram features. The
// provider hands the model the very array stored here.

#include <array>

#include "auralith/core/InputFeatures.hpp"

namespace auralith {

class AudioEncoderInput : public InputFeatures<AudioEncoderInput> {
  public:
    static constexpr const char* kMelspectrogramFeatures = "melspectrogram_features";

    explicit AudioEncoderInput(Array melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    // Copies the features into a new multi-array.
    explicit AudioEncoderInput(const platform::ml::MLShapedArray<float>& melspectrogram_features)
        : melspectrogram_features(detail::copyToMultiArray(melspectrogram_features)) {}

    static constexpr std::array<Feature, 1> features() {
        return {{{kMelspectrogramFeatures, &AudioEncoderInput::melspectrogram_features}}};
    }

    Array melspectrogram_features;
};

}  // namespace auralith
