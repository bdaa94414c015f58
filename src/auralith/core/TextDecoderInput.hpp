#pragma once
// The text decoder's inputs for one step: the token, the cache position, the
// key/value caches with their update and padding masks, and the encoder's
// output. The decoder fills these arrays in place between steps, and the
// provider always hands the model the arrays stored here at the time of the call.

#include <array>
#include <cstdint>

#include "auralith/core/InputFeatures.hpp"

namespace auralith {

class TextDecoderInput : public InputFeatures<TextDecoderInput> {
  public:
    static constexpr const char* kInputIds = "input_ids";
    static constexpr const char* kCacheLength = "cache_length";
    static constexpr const char* kKeyCache = "key_cache";
    static constexpr const char* kValueCache = "value_cache";
    static constexpr const char* kKvCacheUpdateMask = "kv_cache_update_mask";
    static constexpr const char* kEncoderOutputEmbeds = "encoder_output_embeds";
    static constexpr const char* kDecoderKeyPaddingMask = "decoder_key_padding_mask";

    TextDecoderInput(Array input_ids, Array cache_length, Array key_cache, Array value_cache,
                     Array kv_cache_update_mask, Array encoder_output_embeds,
                     Array decoder_key_padding_mask);
    // Copies every shaped array into a new multi-array.
    TextDecoderInput(const platform::ml::MLShapedArray<std::int32_t>& input_ids,
                     const platform::ml::MLShapedArray<std::int32_t>& cache_length,
                     const platform::ml::MLShapedArray<float>& key_cache,
                     const platform::ml::MLShapedArray<float>& value_cache,
                     const platform::ml::MLShapedArray<float>& kv_cache_update_mask,
                     const platform::ml::MLShapedArray<float>& encoder_output_embeds,
                     const platform::ml::MLShapedArray<float>& decoder_key_padding_mask);

    static constexpr std::array<Feature, 7> features() {
        return {{{kInputIds, &TextDecoderInput::input_ids},
                 {kCacheLength, &TextDecoderInput::cache_length},
                 {kKeyCache, &TextDecoderInput::key_cache},
                 {kValueCache, &TextDecoderInput::value_cache},
                 {kKvCacheUpdateMask, &TextDecoderInput::kv_cache_update_mask},
                 {kEncoderOutputEmbeds, &TextDecoderInput::encoder_output_embeds},
                 {kDecoderKeyPaddingMask, &TextDecoderInput::decoder_key_padding_mask}}};
    }

    Array input_ids;
    Array cache_length;
    Array key_cache;
    Array value_cache;
    Array kv_cache_update_mask;
    Array encoder_output_embeds;
    Array decoder_key_padding_mask;
};

}  // namespace auralith
