#pragma once
// The rows of the built-in device support table, for the devices the
// pipeline knows without asking the model repository. The table itself is
// Constants::fallbackModelSupportConfig(); a remote table merges these rows.

#include <string_view>
#include <vector>

#include "auralith/core/DeviceSupport.hpp"

namespace auralith {

struct FallbackDeviceSupport {
    FallbackDeviceSupport() = delete;

    static constexpr std::string_view repoName = "auralith-coreml-fallback";
    static constexpr std::string_view repoVersion = "0.4";
    // Built once, on first use (safely from several threads), as written:
    // no disabled lists.
    static const std::vector<DeviceSupport>& rows();
};

}  // namespace auralith
