#pragma once
// What the models' input classes share: each feature is served from the
// member that holds its array at the time of the call, never a copy, so
// callers may replace or refill the arrays between predictions. A derived
// class lists its features, by name and member, in a static features().

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "auralith/core/FeatureProviderSupport.hpp"
#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLShapedArray.hpp"

namespace auralith {

template <class Derived>
class InputFeatures : public platform::ml::MLFeatureProvider {
  public:
    using Array = std::shared_ptr<platform::ml::MLMultiArray>;

    std::set<std::string> featureNames() const override {
        std::set<std::string> names;
        for (const Feature& feature : Derived::features()) names.insert(feature.name);
        return names;
    }

    std::optional<platform::ml::MLFeatureValue> featureValue(
        const std::string& name) const override {
        for (const Feature& feature : Derived::features())
            if (name == feature.name)
                return detail::inputValue(static_cast<const Derived&>(*this).*feature.array);
        return std::nullopt;
    }

  protected:
    struct Feature {
        const char* name;
        Array Derived::*array;
    };
};

}  // namespace auralith
