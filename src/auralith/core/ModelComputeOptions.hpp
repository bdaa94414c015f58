#pragma once
// Where each of the three speech models should run. Our runtime always
// computes on the CPU; the choice is kept so that callers and logs see what was
// asked for.

#include <optional>

#include "platform/ml/MLModelConfiguration.hpp"

namespace auralith {

using platform::ml::MLComputeUnits;

struct ModelComputeOptions {
    // An absent audioEncoderCompute becomes cpuAndNeuralEngine, the choice for
    // current platform releases (older ones would get cpuAndGPU).
    ModelComputeOptions(MLComputeUnits melCompute,
                        std::optional<MLComputeUnits> audioEncoderCompute,
                        MLComputeUnits textDecoderCompute);

    // What the pipeline uses when its configuration gives no compute options:
    // mel on cpuAndGPU, the audio encoder by the rule above, the text decoder
    // on cpuAndNeuralEngine.
    static ModelComputeOptions pipelineDefaults();

    MLComputeUnits melCompute;
    MLComputeUnits audioEncoderCompute;
    MLComputeUnits textDecoderCompute;

    bool operator==(const ModelComputeOptions&) const = default;
};

}  // namespace auralith
