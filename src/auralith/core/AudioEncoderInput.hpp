#pragma once
// The audio encoder's input: one window of mel-spectrogram features. The
// provider hands the model the very array stored here.

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

class AudioEncoderInput : public platform::ml::MLFeatureProvider {
  public:
    static constexpr const char* kMelspectrogramFeatures = "melspectrogram_features";

    explicit AudioEncoderInput(std::shared_ptr<platform::ml::MLMultiArray> melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    // Copies the features into a new multi-array.
    explicit AudioEncoderInput(const platform::ml::MLShapedArray<float>& melspectrogram_features);

    std::set<std::string> featureNames() const override;
    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override;

    std::shared_ptr<platform::ml::MLMultiArray> melspectrogram_features;
};

}  // namespace auralith
