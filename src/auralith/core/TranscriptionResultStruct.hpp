#pragma once
// The plain-value twin of TranscriptionResult: the same five fields, no locks.

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/TranscriptionTimings.hpp"

namespace auralith {

struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    TranscriptionResultStruct() = default;
    TranscriptionResultStruct(std::string text, std::vector<TranscriptionSegment> segments,
                              std::string language, TranscriptionTimings timings,
                              std::optional<float> seekTime = std::nullopt);

    friend bool operator==(const TranscriptionResultStruct&,
                           const TranscriptionResultStruct&) = default;
};

// "text", "segments", "language" and "timings" are required; "seekTime" is
// written only when present and may be missing (or null) on input.
void to_json(nlohmann::json& out, const TranscriptionResultStruct& value);
void to_json(nlohmann::ordered_json& out, const TranscriptionResultStruct& value);
void from_json(const nlohmann::json& in, TranscriptionResultStruct& value);
void from_json(const nlohmann::ordered_json& in, TranscriptionResultStruct& value);

}  // namespace auralith
