#pragma once
// The text decoder's output for one step, read by name from the provider the
// prediction returned: the logits, the cache updates and, from models that
// support word timestamps, the alignment-head weights. The shaped views expect
// the half-precision arrays the model produces and read them in place.

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "auralith/core/FeatureProviderSupport.hpp"
#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

class TextDecoderOutput : public platform::ml::MLFeatureProvider {
  public:
    using Array = std::shared_ptr<platform::ml::MLMultiArray>;
    using HalfView = platform::ml::MLShapedArray<platform::ml::Float16>;

    static constexpr const char* kLogits = "logits";
    static constexpr const char* kKeyCacheUpdates = "key_cache_updates";
    static constexpr const char* kValueCacheUpdates = "value_cache_updates";
    static constexpr const char* kAlignmentHeadsWeights = "alignment_heads_weights";

    // Wraps the provider a prediction returned.
    explicit TextDecoderOutput(std::shared_ptr<const platform::ml::MLFeatureProvider> features)
        : provider(detail::requireProvider(std::move(features))) {}
    // A provider holding the logits and the two cache updates; the arg-max
    // array is accepted for the model's sake and not kept.
    TextDecoderOutput(Array logits, Array key_cache_updates, Array value_cache_updates,
                      Array logits_argmax);

    // The required features throw MLModelError when missing; the views also
    // when the array is not half precision.
    Array logits() const;
    HalfView logitsShapedArray() const;
    Array key_cache_updates() const;
    HalfView key_cache_updatesShapedArray() const;
    Array value_cache_updates() const;
    HalfView value_cache_updatesShapedArray() const;
    // Absent when the model does not produce them.
    Array alignment_heads_weights() const;
    std::optional<HalfView> alignment_heads_weightsShapedArray() const;

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override {
        return provider->featureValue(name);
    }

    const std::shared_ptr<const platform::ml::MLFeatureProvider> provider;
};

}  // namespace auralith
