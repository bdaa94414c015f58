#include "platform/ml/MLModel.hpp"

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions&) const {
    Arrays inputs;
    for (const auto& [name, feature] : description_.inputDescriptionsByName) {
        auto value = input.featureValue(name);
        if (!value) {
            if (feature.isOptional) continue;
            throw MLModelError(MLModelError::Code::featureType,
                               "Required input feature \"" + name + "\" is missing");
        }
        const auto& array = value->multiArrayValue();
        if (feature.type != MLFeatureType::multiArray || !array)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" is not a multi-array");
        const auto& c = *feature.multiArrayConstraint;
        if (array->dataType() != c.dataType)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" is " +
                                   dataTypeName(array->dataType()) + " but the model takes " +
                                   dataTypeName(c.dataType));
        if (array->shape() != c.shape)
            throw MLModelError(MLModelError::Code::featureType,
                               "Input feature \"" + name + "\" has shape " +
                                   shapeText(array->shape()) + " but the model takes " +
                                   shapeText(c.shape));
        inputs[name] = array;
    }
    Arrays outputs = evaluate(inputs);
    for (const auto& [name, feature] : description_.outputDescriptionsByName) {
        auto it = outputs.find(name);
        if (it == outputs.end() || !it->second) {
            if (feature.isOptional) continue;
            throw MLModelError(MLModelError::Code::generic,
                               "The model produced no \"" + name + "\"");
        }
    }
    return std::make_shared<MLDictionaryFeatureProvider>(std::move(outputs));
}

}  // namespace platform::ml
