#pragma once
// The verdict on one decoded window: whether it must be decoded again at a
// higher temperature, and why.

#include <optional>
#include <string>

#include "auralith/core/DecodingOptions.hpp"

namespace auralith {

struct DecodingFallback {
    bool needsFallback = false;
    std::string fallbackReason;

    // The first rule that applies decides:
    // 1. the first token's log-probability is too low: fallback,
    //    "firstTokenLogProbThreshold";
    // 2. noSpeechProb above noSpeechThreshold: no fallback, "silence" (the
    //    window is silence and is not decoded again);
    // 3. compressionRatio above compressionRatioThreshold: fallback,
    //    "compressionRatioThreshold";
    // 4. avgLogProb below logProbThreshold: fallback, "logProbThreshold".
    // Otherwise there is no verdict. Comparisons are strict, so a value equal
    // to its threshold and a NaN trigger nothing; an absent threshold
    // disables its rule.
    static std::optional<DecodingFallback> fromOptions(const DecodingOptions& options,
                                                       bool isFirstTokenLogProbTooLow,
                                                       float noSpeechProb, float compressionRatio,
                                                       float avgLogProb);

    bool operator==(const DecodingFallback&) const = default;
};

}  // namespace auralith
