#pragma once
// The device support table: for each family of devices, the model folders of
// the model repository it can run and its default. It is read from the
// repository's "config.json"; a built-in fallback table fills in the devices
// and models that a remote table lacks. The pipeline asks it for the models of
// the running device's machine identifier.

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "auralith/core/DeviceSupport.hpp"
#include "auralith/core/ModelSupport.hpp"

namespace auralith {

struct ModelSupportConfig {
    // Builds the table from its rows. With includeFallback, and when the
    // built-in table's name contains repoName, the rows are merged with the
    // built-in rows first: each row gains the supported models of the first
    // built-in row that shares an identifier with it, and the built-in rows
    // for devices the given rows do not mention follow them. Then knownModels,
    // defaultSupport and every row's disabled list are derived.
    ModelSupportConfig(std::string repoName, std::string repoVersion,
                       std::vector<DeviceSupport> deviceSupports, bool includeFallback);

    // The form of "config.json": {"name", "version", "device_support": [...]}.
    // Decoding merges the built-in table as above. Throws DecodingError.
    static ModelSupportConfig fromJSON(const nlohmann::ordered_json& json);
    nlohmann::ordered_json toJSON() const;

    // The models of the row with the longest identifier that is a prefix of
    // deviceName (the earlier row on equal length); defaultSupport's models
    // when no row matches.
    const ModelSupport& modelSupport(const std::string& deviceName) const;

    std::string repoName;
    std::string repoVersion;
    std::vector<DeviceSupport> deviceSupports;
    // Every supported model of any row, first-seen order, no repeats.
    std::vector<std::string> knownModels;
    // No chips, no identifiers; default "openai_whisper-base", all known models.
    DeviceSupport defaultSupport;

  private:
    static std::vector<DeviceSupport> mergeDeviceSupport(
        const std::vector<DeviceSupport>& remote, const std::vector<DeviceSupport>& fallback);
};

}  // namespace auralith
