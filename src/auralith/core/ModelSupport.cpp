#include "auralith/core/ModelSupport.hpp"

#include <nlohmann/json.hpp>

namespace auralith {

namespace jv = json_values;
using Json = nlohmann::ordered_json;

Json ModelSupport::toJSON() const {
    Json j = Json::object();
    j["default"] = defaultModel;
    j["supported"] = supported;
    return j;
}

ModelSupport ModelSupport::fromJSON(const Json& j, const std::string& path) {
    jv::requireObject(j, path);
    ModelSupport models;
    models.defaultModel = jv::readString(jv::required(j, "default"), path + ".default");
    models.supported = jv::readStringArray(jv::required(j, "supported"), path + ".supported");
    return models;
}

}  // namespace auralith
