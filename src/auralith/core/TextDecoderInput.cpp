#include "auralith/core/TextDecoderInput.hpp"

#include "auralith/core/FeatureProviderSupport.hpp"

namespace auralith {

using detail::copyToMultiArray;

TextDecoderInput::TextDecoderInput(Array input_ids, Array cache_length, Array key_cache,
                                   Array value_cache, Array kv_cache_update_mask,
                                   Array encoder_output_embeds, Array decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(
    const platform::ml::MLShapedArray<std::int32_t>& input_ids,
    const platform::ml::MLShapedArray<std::int32_t>& cache_length,
    const platform::ml::MLShapedArray<float>& key_cache,
    const platform::ml::MLShapedArray<float>& value_cache,
    const platform::ml::MLShapedArray<float>& kv_cache_update_mask,
    const platform::ml::MLShapedArray<float>& encoder_output_embeds,
    const platform::ml::MLShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(
          copyToMultiArray(input_ids), copyToMultiArray(cache_length), copyToMultiArray(key_cache),
          copyToMultiArray(value_cache), copyToMultiArray(kv_cache_update_mask),
          copyToMultiArray(encoder_output_embeds), copyToMultiArray(decoder_key_padding_mask)) {}

}  // namespace auralith
