#pragma once
// Where a set of models stands: being downloaded, loaded, specialized for the
// device (prewarmed) or unloaded. Each ongoing case is directly followed by its
// settled counterpart. Distinct from the application engine's own state.

#include <cstdint>
#include <ostream>
#include <string_view>

namespace vortil {

enum class ModelState : uint8_t {
    unloading = 0,
    unloaded = 1,
    loading = 2,
    loaded = 3,
    prewarming = 4,
    prewarmed = 5,
    downloading = 6,
    downloaded = 7,
};

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized",
// "Downloading", "Downloaded".
std::string_view description(ModelState state);

// True for the four ongoing cases.
bool isBusy(ModelState state);

inline std::ostream& operator<<(std::ostream& os, ModelState state) {
    return os << description(state);
}

}  // namespace vortil
