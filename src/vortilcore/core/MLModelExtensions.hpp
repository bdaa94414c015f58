#pragma once
// Prediction as the pipeline's stages call it, and the texts of the compute-unit
// choices.

#include <memory>
#include <string>

#include "platform/ml/MLModel.hpp"

namespace vortil {

// Runs the prediction and returns its output features; the runtime's errors
// pass through unchanged. Like every asynchronous operation of the pipeline it
// blocks the calling worker thread until the result is there. Safe to call from
// several threads on one model.
std::shared_ptr<platform::ml::MLFeatureProvider> asyncPrediction(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    const platform::ml::MLPredictionOptions& options = {});

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine", else "unknown".
std::string description(platform::ml::MLComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine", else "Unknown".
std::string displayName(platform::ml::MLComputeUnits units);

}  // namespace vortil
