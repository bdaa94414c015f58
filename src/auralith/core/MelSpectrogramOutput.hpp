#pragma once
// The mel-spectrogram model's output, read by name from the provider the
// prediction returned.

#include "auralith/core/OutputFeatures.hpp"

namespace auralith {

class MelSpectrogramOutput : public OutputFeatures {
  public:
    static constexpr const char* kMelspectrogramFeatures = "melspectrogram_features";

    // Wraps the provider a prediction returned.
    using OutputFeatures::OutputFeatures;
    // A provider holding exactly this feature.
    explicit MelSpectrogramOutput(Array melspectrogram_features)
        : OutputFeatures(Arrays{{kMelspectrogramFeatures, std::move(melspectrogram_features)}}) {}

    // Both throw MLModelError when the feature is missing; the view also when
    // the array is not half precision.
    Array melspectrogramFeatures() const { return required(kMelspectrogramFeatures); }
    HalfView melspectrogram_featuresShapedArray() const {
        return HalfView(melspectrogramFeatures());
    }
};

}  // namespace auralith
