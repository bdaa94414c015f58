#include "platform/ml/MLFeatureProvider.hpp"

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

MLDictionaryFeatureProvider::MLDictionaryFeatureProvider(
    std::map<std::string, std::shared_ptr<MLMultiArray>> features)
    : features_(std::move(features)) {
    for (const auto& [name, array] : features_)
        if (!array)
            throw MLModelError(MLModelError::Code::featureType,
                               "Feature \"" + name + "\" holds no value");
}

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& entry : features_) names.insert(entry.first);
    return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(
    const std::string& name) const {
    auto it = features_.find(name);
    if (it == features_.end()) return std::nullopt;
    return MLFeatureValue(it->second);
}

}  // namespace platform::ml
