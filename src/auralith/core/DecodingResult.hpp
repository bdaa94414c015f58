#pragma once
// What decoding one 30-second window yields: language, tokens with their
// log-probabilities, text, the quality measures the fallback verdict reads,
// the caches after the last step, timings and the verdict itself.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/DecodingCache.hpp"
#include "auralith/core/DecodingFallback.hpp"
#include "auralith/core/TranscriptionTimings.hpp"

namespace auralith {

struct DecodingResult {
    std::string language;
    // Language code to probability, when detection ran.
    std::map<std::string, float> languageProbs;
    std::vector<std::int64_t> tokens;
    // One map per decoded token: its id to its log-probability.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    std::optional<DecodingFallback> fallback;

    // Empty texts and collections, zero measures, nothing else.
    static DecodingResult emptyResults() { return DecodingResult{}; }
};

}  // namespace auralith
