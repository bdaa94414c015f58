#include "auralith/core/FeatureProviderSupport.hpp"

#include "platform/ml/MLModelError.hpp"

namespace auralith::detail {

using platform::ml::MLFeatureType;
using platform::ml::MLModelError;
using platform::ml::MLMultiArray;

std::shared_ptr<MLMultiArray> requiredArray(const platform::ml::MLFeatureProvider& provider,
                                            const std::string& name) {
    auto value = provider.featureValue(name);
    if (!value)
        throw MLModelError(MLModelError::Code::featureType,
                           "Model output \"" + name + "\" is missing");
    if (value->type() != MLFeatureType::multiArray || !value->multiArrayValue())
        throw MLModelError(MLModelError::Code::featureType,
                           "Model output \"" + name + "\" is not a multi-array");
    return value->multiArrayValue();
}

std::shared_ptr<MLMultiArray> optionalArray(const platform::ml::MLFeatureProvider& provider,
                                            const std::string& name) {
    auto value = provider.featureValue(name);
    if (!value || value->type() != MLFeatureType::multiArray) return nullptr;
    return value->multiArrayValue();
}

std::shared_ptr<const platform::ml::MLFeatureProvider> requireProvider(
    std::shared_ptr<const platform::ml::MLFeatureProvider> provider) {
    if (!provider) throw MLModelError(MLModelError::Code::featureType, "Model output is missing");
    return provider;
}

std::optional<platform::ml::MLFeatureValue> inputValue(const std::shared_ptr<MLMultiArray>& array) {
    if (!array) return std::nullopt;
    return platform::ml::MLFeatureValue(array);
}

}  // namespace auralith::detail
