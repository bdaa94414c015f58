#pragma once
// One row of the device support table: the devices it covers, named by
// machine-identifier prefixes ("Mac14", "iPad13,4"), and the models they run.

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/ModelSupport.hpp"

namespace auralith {

struct DeviceSupport {
    // Human-readable chip list, such as "M2, M3, M4".
    std::optional<std::string> chips;
    std::vector<std::string> identifiers;
    ModelSupport models;

    // {"chips"?: ..., "identifiers": [...], "models": {...}}; chips only when present.
    nlohmann::ordered_json toJSON() const;
    // identifiers and models required, chips may be missing or null.
    static DeviceSupport fromJSON(const nlohmann::ordered_json& json, const std::string& path);

    bool operator==(const DeviceSupport&) const = default;
};

}  // namespace auralith
