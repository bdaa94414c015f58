#pragma once
// Where a model should run. Our runtime always runs on the CPU; the choice is
// accepted and kept so that callers and logs see what was asked for.

#include <cstdint>

namespace platform::ml {

enum class MLComputeUnits : std::int32_t {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3
};

struct MLModelConfiguration {
    MLComputeUnits computeUnits = MLComputeUnits::all;
    // Threads a model computes with; 0 means one per physical core.
    int threadCount = 0;
};

// Per-prediction options; none are needed by the speech models.
struct MLPredictionOptions {};

}  // namespace platform::ml
