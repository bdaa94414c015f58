#pragma once
// What a model declares about its features: for each input and output its name,
// its kind and, for multi-arrays, the fixed shape and element type. The pipeline
// reads its sizes (window length, mel bands, cache sizes) from here.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLFeatureValue.hpp"

namespace platform::ml {

struct MLMultiArrayConstraint {
    std::vector<std::int64_t> shape;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

struct MLFeatureDescription {
    std::string name;
    MLFeatureType type = MLFeatureType::multiArray;
    bool isOptional = false;
    std::optional<MLMultiArrayConstraint> multiArrayConstraint;
};

struct MLModelDescription {
    std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
    std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
    // What a stateful model keeps between predictions (MLState); empty for a
    // model without state. A prediction through a state takes these from the
    // state, not from its inputs.
    std::map<std::string, MLFeatureDescription> stateDescriptionsByName;
};

}  // namespace platform::ml
