#pragma once
// A loaded model: its description, the configuration it was loaded with, and
// predictions. A model is immutable once loaded and shared by reference; any
// number of threads may call prediction() on it at once. ModelFactory loads one
// from its folder.

#include <map>
#include <memory>
#include <string>

#include "platform/ml/MLFeatureProvider.hpp"
#include "platform/ml/MLModelConfiguration.hpp"
#include "platform/ml/MLModelDescription.hpp"

namespace platform::ml {

class MLModel {
  public:
    virtual ~MLModel() = default;
    MLModel(const MLModel&) = delete;
    MLModel& operator=(const MLModel&) = delete;

    const MLModelDescription& modelDescription() const { return description_; }
    const MLModelConfiguration& configuration() const { return configuration_; }

    // Checks every declared input (present, a multi-array of the declared type
    // and shape; MLModelError otherwise) and runs the model. The result holds
    // every declared output as a new array.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                  const MLPredictionOptions& options = {}) const;

  protected:
    using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

    MLModel(MLModelDescription description, MLModelConfiguration configuration)
        : description_(std::move(description)), configuration_(configuration) {}

    // Receives validated inputs; returns the outputs. Must be safe to call concurrently.
    virtual Arrays evaluate(const Arrays& inputs) const = 0;

  private:
    MLModelDescription description_;
    MLModelConfiguration configuration_;
};

}  // namespace platform::ml
