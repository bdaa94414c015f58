#include "auralith/core/AudioEncoderOutput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

using platform::ml::Float16;
using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLMultiArray;
using platform::ml::MLShapedArray;

AudioEncoderOutput::AudioEncoderOutput(std::shared_ptr<MLMultiArray> encoder_output_embeds)
    : provider(std::make_shared<MLDictionaryFeatureProvider>(
          std::map<std::string, std::shared_ptr<MLMultiArray>>{
              {kEncoderOutputEmbeds, std::move(encoder_output_embeds)}})) {}

std::shared_ptr<MLMultiArray> AudioEncoderOutput::encoder_output_embeds() const {
    return detail::requiredArray(*provider, kEncoderOutputEmbeds);
}

MLShapedArray<Float16> AudioEncoderOutput::encoder_output_embedsShapedArray() const {
    return MLShapedArray<Float16>(encoder_output_embeds());
}

}  // namespace auralith
