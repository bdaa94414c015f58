#pragma once
// A note as earlier versions of the application kept it in "notes.json";
// read only to bring old notes into the transcript.

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "platform/system/Date.hpp"

namespace verbolin {

struct LegacyNote {
    platform::Date createdAt;
    std::string text;

    friend bool operator==(const LegacyNote&, const LegacyNote&) = default;
};

// Members "createdAt" (ISO 8601) and "text", both required. Decoding throws
// RecordDecodingError.
void to_json(nlohmann::json& j, const LegacyNote& note);
void to_json(nlohmann::ordered_json& j, const LegacyNote& note);
void from_json(const nlohmann::json& j, LegacyNote& note);

}  // namespace verbolin
