#include "platform/ml/MLModel.hpp"

#include "platform/ml/MLModelError.hpp"

namespace platform::ml {

namespace {

const std::map<std::string, MLFeatureDescription> kNoFeatures;

// MLModelError naming `what` unless `array` is of the declared type and shape.
void checkArray(const MLMultiArray& array, const MLFeatureDescription& feature,
                const std::string& what) {
    const auto& c = *feature.multiArrayConstraint;
    if (array.dataType() != c.dataType)
        throw MLModelError(MLModelError::Code::featureType,
                           what + " is " + dataTypeName(array.dataType()) +
                               " but the model takes " + dataTypeName(c.dataType));
    if (array.shape() != c.shape)
        throw MLModelError(MLModelError::Code::featureType,
                           what + " has shape " + shapeText(array.shape()) +
                               " but the model takes " + shapeText(c.shape));
}

}  // namespace

MLModel::Arrays MLModel::checkedInputs(
    const MLFeatureProvider& input,
    const std::map<std::string, MLFeatureDescription>& skipped) const {
    Arrays inputs;
    for (const auto& [name, feature] : description_.inputDescriptionsByName) {
        if (skipped.count(name)) continue;
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
        checkArray(*array, feature, "Input feature \"" + name + "\"");
        inputs[name] = array;
    }
    return inputs;
}

std::shared_ptr<MLFeatureProvider> MLModel::checkedOutputs(Arrays outputs) const {
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

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions&) const {
    return checkedOutputs(evaluate(checkedInputs(input, kNoFeatures)));
}

std::shared_ptr<MLState> MLModel::makeState() const {
    if (description_.stateDescriptionsByName.empty())
        throw MLModelError(MLModelError::Code::generic,
                           "This model keeps no state between predictions");
    MLState::Arrays arrays;
    for (const auto& [name, feature] : description_.stateDescriptionsByName) {
        const auto& c = *feature.multiArrayConstraint;
        arrays[name] = MLMultiArray::make(c.shape, c.dataType);
    }
    return std::make_shared<MLState>(std::move(arrays));
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       MLState& state,
                                                       const MLPredictionOptions&) const {
    const auto& declared = description_.stateDescriptionsByName;
    if (declared.empty())
        throw MLModelError(MLModelError::Code::generic,
                           "This model keeps no state between predictions; predict without one");
    // The arrays are fixed when the state is made, so they can be checked
    // before taking its lock; only their contents change.
    if (state.arrays_.size() != declared.size())
        throw MLModelError(MLModelError::Code::featureType,
                           "The state was made for another model: it keeps " +
                               std::to_string(state.arrays_.size()) + " arrays, this model " +
                               std::to_string(declared.size()));
    for (const auto& [name, feature] : declared) {
        const auto it = state.arrays_.find(name);
        if (it == state.arrays_.end())
            throw MLModelError(
                MLModelError::Code::featureType,
                "The state was made for another model: it keeps no \"" + name + "\"");
        checkArray(*it->second, feature, "State \"" + name + "\"");
    }
    Arrays inputs = checkedInputs(input, declared);
    std::lock_guard lock(state.mutex_);
    return checkedOutputs(evaluateWithState(inputs, state.arrays_));
}

MLModel::Arrays MLModel::evaluateWithState(const Arrays&, const Arrays&) const {
    // Only reached by a model that declares states but cannot run with them.
    throw MLModelError(MLModelError::Code::generic,
                       "This model cannot run with a state; predict without one");
}

}  // namespace platform::ml
