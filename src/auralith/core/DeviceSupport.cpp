#include "auralith/core/DeviceSupport.hpp"

#include <nlohmann/json.hpp>

namespace auralith {

namespace jv = json_values;
using Json = nlohmann::ordered_json;

Json DeviceSupport::toJSON() const {
    Json j = Json::object();
    if (chips) j["chips"] = *chips;
    j["identifiers"] = identifiers;
    j["models"] = models.toJSON();
    return j;
}

DeviceSupport DeviceSupport::fromJSON(const Json& j, const std::string& path) {
    jv::requireObject(j, path);
    DeviceSupport device;
    if (const Json* chips = jv::optional(j, "chips"))
        device.chips = jv::readString(*chips, path + ".chips");
    device.identifiers = jv::readStringArray(jv::required(j, "identifiers"), path + ".identifiers");
    device.models = ModelSupport::fromJSON(jv::required(j, "models"), path + ".models");
    return device;
}

}  // namespace auralith
