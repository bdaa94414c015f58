#include "auralith/core/ModelSupportConfig.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <unordered_set>
#include <utility>

#include "auralith/core/FallbackDeviceSupport.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

namespace jv = json_values;
using Json = nlohmann::ordered_json;

namespace {

// ["Mac14", "Mac15"]
std::string arrayText(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += "\"" + items[i] + "\"";
    }
    return out + "]";
}

bool sharesIdentifier(const DeviceSupport& a, const DeviceSupport& b) {
    return std::any_of(a.identifiers.begin(), a.identifiers.end(), [&](const std::string& id) {
        return std::find(b.identifiers.begin(), b.identifiers.end(), id) != b.identifiers.end();
    });
}

}  // namespace

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports,
                                       bool includeFallback)
    : repoName(std::move(repoName)), repoVersion(std::move(repoVersion)) {
    if (includeFallback &&
        FallbackDeviceSupport::repoName.find(this->repoName) != std::string::npos)
        this->deviceSupports = mergeDeviceSupport(deviceSupports, FallbackDeviceSupport::rows());
    else
        this->deviceSupports = std::move(deviceSupports);

    std::vector<std::string> allSupported;
    for (const DeviceSupport& row : this->deviceSupports)
        allSupported.insert(allSupported.end(), row.models.supported.begin(),
                            row.models.supported.end());
    knownModels = vortil::orderedSet(allSupported);

    defaultSupport = DeviceSupport{std::nullopt, {}, {"openai_whisper-base", knownModels, {}}};

    // Disabled lists follow knownModels' order, so they come out the same on
    // every run.
    for (DeviceSupport& row : this->deviceSupports) {
        const std::unordered_set<std::string> supported(row.models.supported.begin(),
                                                        row.models.supported.end());
        row.models.disabled.clear();
        for (const std::string& model : knownModels)
            if (!supported.count(model)) row.models.disabled.push_back(model);
    }
}

std::vector<DeviceSupport> ModelSupportConfig::mergeDeviceSupport(
    const std::vector<DeviceSupport>& remote, const std::vector<DeviceSupport>& fallback) {
    std::unordered_set<std::string> remoteIdentifiers;
    for (const DeviceSupport& row : remote)
        remoteIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());

    std::vector<DeviceSupport> merged;
    for (const DeviceSupport& row : remote) {
        auto match = std::find_if(fallback.begin(), fallback.end(),
                                  [&](const DeviceSupport& f) { return sharesIdentifier(row, f); });
        if (match == fallback.end()) {
            merged.push_back(row);
            continue;
        }
        std::vector<std::string> supported = row.models.supported;
        supported.insert(supported.end(), match->models.supported.begin(),
                         match->models.supported.end());
        merged.push_back(
            DeviceSupport{row.chips,
                          row.identifiers,
                          {row.models.defaultModel, vortil::orderedSet(supported), {}}});
    }
    for (const DeviceSupport& row : fallback) {
        const bool mentioned =
            std::any_of(row.identifiers.begin(), row.identifiers.end(),
                        [&](const std::string& id) { return remoteIdentifiers.count(id) > 0; });
        if (!mentioned) merged.push_back(row);
    }
    return merged;
}

ModelSupportConfig ModelSupportConfig::fromJSON(const Json& j) {
    jv::requireObject(j, "");
    std::string name = jv::requiredMember(j, "name", jv::readString);
    std::string version = jv::requiredMember(j, "version", jv::readString);
    const Json& rows = jv::required(j, "device_support");
    if (!rows.is_array())
        throw DecodingError(DecodingError::Kind::typeMismatch, "device_support",
                            "Expected an array but found another value instead.");
    std::vector<DeviceSupport> devices;
    for (std::size_t i = 0; i < rows.size(); ++i)
        devices.push_back(
            DeviceSupport::fromJSON(rows[i], "device_support[" + std::to_string(i) + "]"));
    return ModelSupportConfig(std::move(name), std::move(version), std::move(devices), true);
}

Json ModelSupportConfig::toJSON() const {
    Json j = Json::object();
    j["name"] = repoName;
    j["version"] = repoVersion;
    Json rows = Json::array();
    for (const DeviceSupport& row : deviceSupports) rows.push_back(row.toJSON());
    j["device_support"] = std::move(rows);
    return j;
}

const ModelSupport& ModelSupportConfig::modelSupport(const std::string& deviceName) const {
    const DeviceSupport* best = nullptr;
    std::size_t bestLength = 0;
    for (const DeviceSupport& row : deviceSupports) {
        for (const std::string& identifier : row.identifiers) {
            if (!deviceName.starts_with(identifier)) continue;
            if (best == nullptr || identifier.size() > bestLength) {
                best = &row;
                bestLength = identifier.size();
            }
        }
    }
    if (best != nullptr) {
        vortil::Logging::debug("Matched " + deviceName +
                               " to devices: " + arrayText(best->identifiers));
        return best->models;
    }
    vortil::Logging::info("No device support found for " + deviceName + ", using default");
    return defaultSupport.models;
}

}  // namespace auralith
