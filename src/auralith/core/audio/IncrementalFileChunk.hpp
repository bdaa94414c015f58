#pragma once
// One chunk of an incrementally loaded file: its samples and their position
// in the whole file (16 kHz samples from the start), and the signal the
// consumer calls, from any thread, when it is done with the chunk.

#include <functional>

#include "auralith/core/AudioChunk.hpp"

namespace auralith {

struct IncrementalFileChunk {
    AudioChunk audioChunk;
    std::function<void()> completionSignal;
};

}  // namespace auralith
