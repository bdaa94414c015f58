#pragma once
// A piece of a long audio array, with the index of its first sample in the
// whole array (16 kHz).

#include <cstdint>
#include <vector>

namespace auralith {

struct AudioChunk {
    std::int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples;
};

}  // namespace auralith
