#include "auralith/core/MelSpectrogramInput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

MelSpectrogramInput::MelSpectrogramInput(const platform::ml::MLShapedArray<float>& audio)
    : audio(detail::copyToMultiArray(audio)) {}

std::set<std::string> MelSpectrogramInput::featureNames() const { return {kAudio}; }

std::optional<platform::ml::MLFeatureValue> MelSpectrogramInput::featureValue(
    const std::string& name) const {
    if (name == kAudio) return detail::inputValue(audio);
    return std::nullopt;
}

}  // namespace auralith
