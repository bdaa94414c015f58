#pragma once
// One timestamped piece of a transcription. start and end are seconds from the
// start of the audio; seek is the sample index where the window that produced
// the segment begins.

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/WordTiming.hpp"

namespace auralith {

struct TranscriptionSegment {
    int64_t id = 0;
    int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<int64_t> tokens;
    // One map per token: token id to its log-probability.
    std::vector<std::map<int64_t, float>> tokenLogProbs;
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    // Absent unless word timestamps were computed.
    std::optional<std::vector<WordTiming>> words;

    TranscriptionSegment() = default;
    TranscriptionSegment(int64_t id, int64_t seek, float start, float end, std::string text,
                         std::vector<int64_t> tokens,
                         std::vector<std::map<int64_t, float>> tokenLogProbs, float temperature,
                         float avgLogprob, float compressionRatio, float noSpeechProb,
                         std::optional<std::vector<WordTiming>> words);

    float duration() const { return end - start; }

    friend bool operator==(const TranscriptionSegment&, const TranscriptionSegment&) = default;
};

// Keys are the field names in field order. "words" is left out when absent and
// may be missing on input; every other key is required. A token-probability
// map is an object keyed by the decimal token id.
void to_json(nlohmann::json& out, const TranscriptionSegment& value);
void to_json(nlohmann::ordered_json& out, const TranscriptionSegment& value);
void from_json(const nlohmann::json& in, TranscriptionSegment& value);
void from_json(const nlohmann::ordered_json& in, TranscriptionSegment& value);

}  // namespace auralith

template <>
struct std::hash<auralith::TranscriptionSegment> {
    size_t operator()(const auralith::TranscriptionSegment& value) const noexcept;
};
