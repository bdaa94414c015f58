#pragma once
// One finished utterance of the transcript: its time span and its text, and,
// once the user has rewritten it, the text as it was before the first edit.

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"
#include "verbolin/storage/OptionalText.hpp"

namespace verbolin {

struct Segment {
    platform::Uuid id = platform::Uuid::random();
    platform::Date start;
    platform::Date end;
    std::string text;
    bool edited = false;
    OptionalText original;

    friend bool operator==(const Segment&, const Segment&) = default;
};

// JSON members "id", "start", "end", "text", "edited", "original". "edited"
// may be absent or null (false), "original" likewise (none); "original" is
// written only when present. Decoding throws RecordDecodingError. With
// nlohmann::ordered_json the members are written in field order.
void to_json(nlohmann::json& j, const Segment& s);
void to_json(nlohmann::ordered_json& j, const Segment& s);
void from_json(const nlohmann::json& j, Segment& s);

}  // namespace verbolin

template <>
struct std::hash<verbolin::Segment> {
    size_t operator()(const verbolin::Segment& s) const noexcept;
};
