#pragma once
// What the models' output classes share: the provider a prediction returned,
// served as it is, and its arrays read by name. The shaped views expect the
// half-precision arrays the models produce and read them in place.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "auralith/core/FeatureProviderSupport.hpp"
#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

class OutputFeatures : public platform::ml::MLFeatureProvider {
  public:
    using Array = std::shared_ptr<platform::ml::MLMultiArray>;
    using HalfView = platform::ml::MLShapedArray<platform::ml::Float16>;

    // Wraps the provider a prediction returned; MLModelError when there is none.
    explicit OutputFeatures(std::shared_ptr<const platform::ml::MLFeatureProvider> features)
        : provider(detail::requireProvider(std::move(features))) {}

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override {
        return provider->featureValue(name);
    }

    const std::shared_ptr<const platform::ml::MLFeatureProvider> provider;

  protected:
    using Arrays = std::map<std::string, Array>;
    // A provider holding exactly these arrays.
    explicit OutputFeatures(Arrays arrays)
        : provider(std::make_shared<platform::ml::MLDictionaryFeatureProvider>(std::move(arrays))) {
    }

    // MLModelError when the feature is missing or not a multi-array.
    Array required(const char* name) const { return detail::requiredArray(*provider, name); }
    // Null when the feature is absent.
    Array optional(const char* name) const { return detail::optionalArray(*provider, name); }
};

}  // namespace auralith
