#pragma once
// Which model folders one family of devices can run, and which one it uses
// by default. `disabled` is derived from the whole table (the known models the
// device cannot run) and is never read from or written to JSON.

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "auralith/utilities/JSONValues.hpp"

namespace auralith {

struct ModelSupport {
    // JSON "default" (a reserved word here).
    std::string defaultModel;
    std::vector<std::string> supported;
    std::vector<std::string> disabled;

    // {"default": ..., "supported": [...]}.
    nlohmann::ordered_json toJSON() const;
    // Both keys required; disabled starts empty. Throws DecodingError.
    static ModelSupport fromJSON(const nlohmann::ordered_json& json, const std::string& path);

    bool operator==(const ModelSupport&) const = default;
};

}  // namespace auralith
