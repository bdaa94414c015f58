#pragma once
// Loads a model folder as the model of the kind it declares. The one place
// that knows every kind of model this runtime runs; the models themselves know
// only MLModel.

#include <filesystem>
#include <memory>

#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLModelConfiguration.hpp"

namespace platform::ml {

class ModelFactory {
  public:
    // Loads a "<Name>.mlmodelc" folder. Throws MLModelError for a missing,
    // malformed or truncated folder, an unknown kind, or features and weights
    // that do not fit the kind.
    static std::shared_ptr<MLModel> load(const std::filesystem::path& folder,
                                         const MLModelConfiguration& configuration = {});
};

}  // namespace platform::ml
