#pragma once
// The mel-spectrogram model's input: the window of audio samples, under the
// feature name the model file declares. The provider hands the model the very
// array stored here, so callers may refill it between predictions.

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

class MelSpectrogramInput : public platform::ml::MLFeatureProvider {
  public:
    static constexpr const char* kAudio = "audio";

    explicit MelSpectrogramInput(std::shared_ptr<platform::ml::MLMultiArray> audio)
        : audio(std::move(audio)) {}
    // Copies the samples into a new multi-array.
    explicit MelSpectrogramInput(const platform::ml::MLShapedArray<float>& audio);

    std::set<std::string> featureNames() const override;
    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override;

    std::shared_ptr<platform::ml::MLMultiArray> audio;
};

}  // namespace auralith
