#pragma once
// The text decoder's output for one step, read by name from the provider the
// prediction returned: the logits, the cache updates and, from models that
// support word timestamps, the alignment-head weights.

#include <optional>

#include "auralith/core/OutputFeatures.hpp"

namespace auralith {

class TextDecoderOutput : public OutputFeatures {
  public:
    static constexpr const char* kLogits = "logits";
    static constexpr const char* kKeyCacheUpdates = "key_cache_updates";
    static constexpr const char* kValueCacheUpdates = "value_cache_updates";
    static constexpr const char* kAlignmentHeadsWeights = "alignment_heads_weights";

    // Wraps the provider a prediction returned.
    using OutputFeatures::OutputFeatures;
    // A provider holding the logits and the two cache updates; the arg-max
    // array is accepted for the model's sake and not kept.
    TextDecoderOutput(Array logits, Array key_cache_updates, Array value_cache_updates,
                      Array /*logits_argmax*/)
        : OutputFeatures(Arrays{{kLogits, std::move(logits)},
                                {kKeyCacheUpdates, std::move(key_cache_updates)},
                                {kValueCacheUpdates, std::move(value_cache_updates)}}) {}

    // The required features throw MLModelError when missing; the views also
    // when the array is not half precision.
    Array logits() const { return required(kLogits); }
    HalfView logitsShapedArray() const { return HalfView(logits()); }
    Array key_cache_updates() const { return required(kKeyCacheUpdates); }
    HalfView key_cache_updatesShapedArray() const { return HalfView(key_cache_updates()); }
    Array value_cache_updates() const { return required(kValueCacheUpdates); }
    HalfView value_cache_updatesShapedArray() const { return HalfView(value_cache_updates()); }
    // Absent when the model does not produce them.
    Array alignment_heads_weights() const { return optional(kAlignmentHeadsWeights); }
    std::optional<HalfView> alignment_heads_weightsShapedArray() const {
        auto array = alignment_heads_weights();
        if (!array) return std::nullopt;
        return HalfView(std::move(array));
    }
};

}  // namespace auralith
