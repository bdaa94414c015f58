#pragma once
// The audio encoder's output, read by name from the provider the prediction
// returned.

#include "auralith/core/OutputFeatures.hpp"

namespace auralith {

class AudioEncoderOutput : public OutputFeatures {
  public:
    static constexpr const char* kEncoderOutputEmbeds = "encoder_output_embeds";

    // Wraps the provider a prediction returned.
    using OutputFeatures::OutputFeatures;
    // A provider holding exactly this feature.
    explicit AudioEncoderOutput(Array encoder_output_embeds)
        : OutputFeatures(Arrays{{kEncoderOutputEmbeds, std::move(encoder_output_embeds)}}) {}

    // Both throw MLModelError when the feature is missing; the view also when
    // the array is not half precision.
    Array encoder_output_embeds() const { return required(kEncoderOutputEmbeds); }
    HalfView encoder_output_embedsShapedArray() const { return HalfView(encoder_output_embeds()); }
};

}  // namespace auralith
