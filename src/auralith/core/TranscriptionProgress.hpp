#pragma once
// Handed to progress callbacks while a window is being decoded.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "auralith/core/TranscriptionTimings.hpp"

namespace auralith {

struct TranscriptionProgress {
    TranscriptionTimings timings;
    std::string text;
    std::vector<int64_t> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    // Which window is being decoded.
    int64_t windowId = 0;

    TranscriptionProgress() = default;
    TranscriptionProgress(TranscriptionTimings timings, std::string text,
                          std::vector<int64_t> tokens, std::optional<float> temperature,
                          std::optional<float> avgLogprob, std::optional<float> compressionRatio,
                          int64_t windowId)
        : timings(std::move(timings)),
          text(std::move(text)),
          tokens(std::move(tokens)),
          temperature(temperature),
          avgLogprob(avgLogprob),
          compressionRatio(compressionRatio),
          windowId(windowId) {}
};

}  // namespace auralith
