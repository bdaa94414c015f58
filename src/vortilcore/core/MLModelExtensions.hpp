#pragma once
// Prediction as the pipeline's stages call it, and the texts of the compute-unit
// choices.

#include <memory>
#include <string>

#include "platform/ml/MLModel.hpp"
#include "platform/ml/MLState.hpp"

namespace vortil {

// Runs the prediction and returns its output features; the runtime's errors
// pass through unchanged. Like every asynchronous operation of the pipeline it
// blocks the calling worker thread until the result is there. Safe to call from
// several threads on one model.
std::shared_ptr<platform::ml::MLFeatureProvider> asyncPrediction(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    const platform::ml::MLPredictionOptions& options = {});
// The same for a stateful model: what the model keeps between predictions is
// read from and left in `state` (made by the model's makeState()). A model that
// keeps no state, or a state made for another, fails with MLModelError.
// Predictions through one state wait for each other.
std::shared_ptr<platform::ml::MLFeatureProvider> asyncPrediction(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    platform::ml::MLState& state, const platform::ml::MLPredictionOptions& options = {});

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine", else "unknown".
std::string description(platform::ml::MLComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine", else "Unknown".
std::string displayName(platform::ml::MLComputeUnits units);

}  // namespace vortil
