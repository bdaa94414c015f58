#pragma once
// The start of a recording session, named by the user or not.

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"

namespace verbolin {

struct SessionMarker {
    platform::Uuid id = platform::Uuid::random();
    platform::Date start;
    std::optional<std::string> name;

    friend bool operator==(const SessionMarker&, const SessionMarker&) = default;
};

// JSON members "id", "start" (both required) and "name" (absent or null: no
// name; written only when present). Decoding throws RecordDecodingError.
// With nlohmann::ordered_json the members are written in field order.
void to_json(nlohmann::json& j, const SessionMarker& m);
void to_json(nlohmann::ordered_json& j, const SessionMarker& m);
void from_json(const nlohmann::json& j, SessionMarker& m);

}  // namespace verbolin

template <>
struct std::hash<verbolin::SessionMarker> {
    size_t operator()(const verbolin::SessionMarker& m) const noexcept;
};
