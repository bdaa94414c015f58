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
#include "platform/ml/MLState.hpp"

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

    // A fresh state for stateful predictions: every declared state zero-filled.
    // MLModelError for a model that keeps no state.
    std::shared_ptr<MLState> makeState() const;
    // prediction() with what the model keeps between predictions held in
    // `state` rather than passed in: the declared states are not read from
    // `input` (their inputs, if given, are ignored), and the run leaves in the
    // state what the next prediction needs. MLModelError for a model that keeps
    // no state, or a state whose arrays do not fit this model's declared states.
    // Predictions through one state wait for each other; through different
    // states they run at once.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input, MLState& state,
                                                  const MLPredictionOptions& options = {}) const;

  protected:
    using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

    MLModel(MLModelDescription description, MLModelConfiguration configuration)
        : description_(std::move(description)), configuration_(configuration) {}

    // Receives validated inputs; returns the outputs. Must be safe to call concurrently.
    virtual Arrays evaluate(const Arrays& inputs) const = 0;
    // The same with the state's arrays (one per declared state, already checked
    // against the description), which it reads and updates in place. Called
    // only for models that declare states, one call per state at a time.
    virtual Arrays evaluateWithState(const Arrays& inputs, const Arrays& state) const;

  private:
    // The declared inputs taken from `input` and checked, those of `skipped` left out.
    Arrays checkedInputs(const MLFeatureProvider& input,
                         const std::map<std::string, MLFeatureDescription>& skipped) const;
    std::shared_ptr<MLFeatureProvider> checkedOutputs(Arrays outputs) const;

    MLModelDescription description_;
    MLModelConfiguration configuration_;
};

}  // namespace platform::ml
