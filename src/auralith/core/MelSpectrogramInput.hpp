#pragma once
// The mel-spectrogram model's input: the window of audio samples, under the
// feature name the model file declares. The provider hands the model the very
// array stored here, so callers may refill it between predictions.

#include <array>

#include "auralith/core/InputFeatures.hpp"

namespace auralith {

class MelSpectrogramInput : public InputFeatures<MelSpectrogramInput> {
  public:
    static constexpr const char* kAudio = "audio";

    explicit MelSpectrogramInput(Array audio) : audio(std::move(audio)) {}
    // Copies the samples into a new multi-array.
    explicit MelSpectrogramInput(const platform::ml::MLShapedArray<float>& audio)
        : audio(detail::copyToMultiArray(audio)) {}

    static constexpr std::array<Feature, 1> features() {
        return {{{kAudio, &MelSpectrogramInput::audio}}};
    }

    Array audio;
};

}  // namespace auralith
