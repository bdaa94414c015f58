#pragma once
// The user's clip timestamps (seconds: start, end, start, end, ...) as ranges
// of 16 kHz sample indices to transcribe.

#include <cstdint>
#include <utility>
#include <vector>

namespace auralith {

// Each timestamp × 16000 in single precision, rounded halves away from zero.
// No timestamps give [0]; an odd count is closed by contentFrames; the
// entries are then paired in order. Clips are neither sorted nor clamped.
// NaN becomes 0 and values beyond the 64-bit range the nearest limit.
std::vector<std::pair<int64_t, int64_t>> prepareSeekClips(const std::vector<float>& clipTimestamps,
                                                          int64_t contentFrames);

// One timestamp as a sample index, by the rule above.
int64_t sampleIndex(float seconds);

}  // namespace auralith
