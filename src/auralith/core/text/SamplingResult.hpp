#pragma once
// What a token sampler returns at each step: the whole sequence after the
// step, one natural-log probability per token, and whether the sequence ended.

#include <cstdint>
#include <vector>

namespace auralith {

struct SamplingResult {
    std::vector<std::int64_t> tokens;
    std::vector<float> logProbs;
    bool completed = false;
};

}  // namespace auralith
