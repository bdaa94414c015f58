#pragma once
// One word of a segment with its token ids, its time span in seconds and the
// probability the decoder gave it.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace auralith {

struct WordTiming {
    std::string word;
    std::vector<int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    WordTiming() = default;
    WordTiming(std::string word, std::vector<int64_t> tokens, float start, float end,
               float probability);

    float duration() const { return end - start; }

    friend bool operator==(const WordTiming&, const WordTiming&) = default;
};

// Keys "word", "tokens", "start", "end", "probability", all required.
void to_json(nlohmann::json& out, const WordTiming& value);
void to_json(nlohmann::ordered_json& out, const WordTiming& value);
void from_json(const nlohmann::json& in, WordTiming& value);
void from_json(const nlohmann::ordered_json& in, WordTiming& value);

}  // namespace auralith

template <>
struct std::hash<auralith::WordTiming> {
    size_t operator()(const auralith::WordTiming& value) const noexcept;
};
