#include "auralith/core/AudioEncoderInput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

AudioEncoderInput::AudioEncoderInput(
    const platform::ml::MLShapedArray<float>& melspectrogram_features)
    : melspectrogram_features(detail::copyToMultiArray(melspectrogram_features)) {}

std::set<std::string> AudioEncoderInput::featureNames() const { return {kMelspectrogramFeatures}; }

std::optional<platform::ml::MLFeatureValue> AudioEncoderInput::featureValue(
    const std::string& name) const {
    if (name == kMelspectrogramFeatures) return detail::inputValue(melspectrogram_features);
    return std::nullopt;
}

}  // namespace auralith
