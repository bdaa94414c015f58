#include "auralith/core/ModelComputeOptions.hpp"

namespace auralith {

namespace {

// The audio encoder's default depends on the platform release: releases from
// the one that brought the stateful model runtime on run it on the neural
// engine, older ones on the GPU. Our runtime stands in for a current release.
constexpr bool kHasCurrentModelRuntime = true;

}  // namespace

ModelComputeOptions::ModelComputeOptions(MLComputeUnits melCompute,
                                         std::optional<MLComputeUnits> audioEncoderCompute,
                                         MLComputeUnits textDecoderCompute)
    : melCompute(melCompute),
      audioEncoderCompute(audioEncoderCompute.value_or(kHasCurrentModelRuntime
                                                           ? MLComputeUnits::cpuAndNeuralEngine
                                                           : MLComputeUnits::cpuAndGPU)),
      textDecoderCompute(textDecoderCompute) {}

ModelComputeOptions ModelComputeOptions::pipelineDefaults() {
    return ModelComputeOptions(MLComputeUnits::cpuAndGPU, std::nullopt,
                               MLComputeUnits::cpuAndNeuralEngine);
}

}  // namespace auralith
