#include "vortilcore/hub/ModelInfo.hpp"

#include <vector>

#include "vortilcore/core/MLModelExtensions.hpp"

namespace vortil {

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::string ModelInfo::description() const {
    std::string out = name;
    for (const auto& part : {version, variant}) {
        if (part) out += "/" + *part;
    }
    return out;
}

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") +
           ", variant: " + variant.value_or("nil") +
           ", computeUnit: " + vortil::description(computeUnits) + ")";
}

std::filesystem::path ModelInfo::modelURL(const std::filesystem::path& baseURL) const {
    std::filesystem::path url = baseURL / name;
    if (version) url /= *version;
    if (variant) url /= *variant;
    return url;
}

std::optional<std::filesystem::path> ModelInfo::findBaseFolder(
    const std::filesystem::path& url) const {
    // Path components with the root counted as one; a trailing "/" adds none.
    std::vector<std::string> components;
    for (const auto& part : url) {
        if (!part.empty()) components.push_back(part.string());
    }
    while (components.size() >= 2) {
        const bool found = components.back() == name;
        components.pop_back();
        if (found) {
            std::filesystem::path base;
            for (const auto& part : components) base /= part;
            return base;
        }
    }
    return std::nullopt;
}

}  // namespace vortil
