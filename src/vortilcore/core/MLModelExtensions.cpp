#include "vortilcore/core/MLModelExtensions.hpp"

namespace vortil {

using platform::ml::MLComputeUnits;

std::shared_ptr<platform::ml::MLFeatureProvider> asyncPrediction(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    const platform::ml::MLPredictionOptions& options) {
    return model.prediction(input, options);
}

std::shared_ptr<platform::ml::MLFeatureProvider> asyncPrediction(
    const platform::ml::MLModel& model, const platform::ml::MLFeatureProvider& input,
    platform::ml::MLState& state, const platform::ml::MLPredictionOptions& options) {
    return model.prediction(input, state, options);
}

std::string description(MLComputeUnits units) {
    switch (units) {
        case MLComputeUnits::cpuOnly:
            return "cpuOnly";
        case MLComputeUnits::cpuAndGPU:
            return "cpuAndGPU";
        case MLComputeUnits::all:
            return "all";
        case MLComputeUnits::cpuAndNeuralEngine:
            return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::string displayName(MLComputeUnits units) {
    switch (units) {
        case MLComputeUnits::cpuOnly:
            return "CPU";
        case MLComputeUnits::cpuAndGPU:
            return "GPU";
        case MLComputeUnits::all:
            return "All";
        case MLComputeUnits::cpuAndNeuralEngine:
            return "Neural Engine";
    }
    return "Unknown";
}

}  // namespace vortil
