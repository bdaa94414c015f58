#include "auralith/core/TextDecoderOutput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLMultiArray;

TextDecoderOutput::TextDecoderOutput(Array logits, Array key_cache_updates,
                                     Array value_cache_updates, Array /*logits_argmax*/)
    : provider(std::make_shared<MLDictionaryFeatureProvider>(
          std::map<std::string, std::shared_ptr<MLMultiArray>>{
              {kLogits, std::move(logits)},
              {kKeyCacheUpdates, std::move(key_cache_updates)},
              {kValueCacheUpdates, std::move(value_cache_updates)}})) {}

TextDecoderOutput::Array TextDecoderOutput::logits() const {
    return detail::requiredArray(*provider, kLogits);
}

TextDecoderOutput::HalfView TextDecoderOutput::logitsShapedArray() const {
    return HalfView(logits());
}

TextDecoderOutput::Array TextDecoderOutput::key_cache_updates() const {
    return detail::requiredArray(*provider, kKeyCacheUpdates);
}

TextDecoderOutput::HalfView TextDecoderOutput::key_cache_updatesShapedArray() const {
    return HalfView(key_cache_updates());
}

TextDecoderOutput::Array TextDecoderOutput::value_cache_updates() const {
    return detail::requiredArray(*provider, kValueCacheUpdates);
}

TextDecoderOutput::HalfView TextDecoderOutput::value_cache_updatesShapedArray() const {
    return HalfView(value_cache_updates());
}

TextDecoderOutput::Array TextDecoderOutput::alignment_heads_weights() const {
    return detail::optionalArray(*provider, kAlignmentHeadsWeights);
}

std::optional<TextDecoderOutput::HalfView> TextDecoderOutput::alignment_heads_weightsShapedArray()
    const {
    auto array = alignment_heads_weights();
    if (!array) return std::nullopt;
    return HalfView(std::move(array));
}

}  // namespace auralith
