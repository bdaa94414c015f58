#pragma once
// Appending frames of one PCM buffer to another, used when audio files are
// read in blocks.

#include <cstdint>

#include "platform/audio/PCMBuffer.hpp"

namespace auralith {

// Appends frameCount frames of source, from startingFrame, after the
// destination's current frames, shortening the append to the room left (logged
// at debug level). Returns false, with the destination unchanged, when the
// formats differ ("Format mismatch", debug), when the source does not hold
// those frames or startingFrame is negative ("Insufficient audio in buffer",
// error), or when either buffer has no float data ("Failed to access float
// channel data", error). Only the first channel pointer is copied: the
// pipeline appends mono float buffers.
bool appendContents(platform::PCMBuffer& destination, const platform::PCMBuffer& source,
                    int64_t startingFrame, uint32_t frameCount);

}  // namespace auralith
