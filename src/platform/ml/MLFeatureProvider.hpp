#pragma once
// A set of named feature values: what a prediction takes and returns. Names match
// exactly (case and white space count).

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/ml/MLFeatureValue.hpp"

namespace platform::ml {

class MLFeatureProvider {
  public:
    virtual ~MLFeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    virtual std::optional<MLFeatureValue> featureValue(const std::string& name) const = 0;
};

class MLDictionaryFeatureProvider : public MLFeatureProvider {
  public:
    MLDictionaryFeatureProvider() = default;
    // Throws MLModelError when a value holds no array.
    explicit MLDictionaryFeatureProvider(
        std::map<std::string, std::shared_ptr<MLMultiArray>> features);

    std::set<std::string> featureNames() const override;
    std::optional<MLFeatureValue> featureValue(const std::string& name) const override;

  private:
    std::map<std::string, std::shared_ptr<MLMultiArray>> features_;
};

}  // namespace platform::ml
