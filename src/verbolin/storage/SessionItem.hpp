#pragma once
// One entry of the session sidebar: a session (it carries its marker) or a
// day of segments recorded before the first session (no marker).

#include <optional>
#include <string>

#include "platform/system/Date.hpp"
#include "verbolin/storage/SessionMarker.hpp"

namespace verbolin {

struct SessionItem {
    // The marker's id in upper-case UUID text, or "day:" and the day's start
    // in seconds since 1970 ("day:1714514400.0").
    std::string id;
    std::string title;
    platform::Date start;
    std::optional<platform::Date> end;  // none while the session is open
    std::optional<SessionMarker> marker;

    friend bool operator==(const SessionItem&, const SessionItem&) = default;
};

}  // namespace verbolin

template <>
struct std::hash<verbolin::SessionItem> {
    size_t operator()(const verbolin::SessionItem& item) const noexcept;
};
