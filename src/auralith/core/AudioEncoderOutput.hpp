#pragma once
// The audio encoder's output, read by name from the provider the prediction
// returned. The shaped view expects the half-precision array the model
// produces and reads it in place.

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "auralith/core/FeatureProviderSupport.hpp"
#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

class AudioEncoderOutput : public platform::ml::MLFeatureProvider {
  public:
    static constexpr const char* kEncoderOutputEmbeds = "encoder_output_embeds";

    // Wraps the provider a prediction returned.
    explicit AudioEncoderOutput(std::shared_ptr<const platform::ml::MLFeatureProvider> features)
        : provider(detail::requireProvider(std::move(features))) {}
    // A provider holding exactly this feature.
    explicit AudioEncoderOutput(std::shared_ptr<platform::ml::MLMultiArray> encoder_output_embeds);

    // Both throw MLModelError when the feature is missing; the view also when
    // the array is not half precision.
    std::shared_ptr<platform::ml::MLMultiArray> encoder_output_embeds() const;
    platform::ml::MLShapedArray<platform::ml::Float16> encoder_output_embedsShapedArray() const;

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override {
        return provider->featureValue(name);
    }

    const std::shared_ptr<const platform::ml::MLFeatureProvider> provider;
};

}  // namespace auralith
