#include "vortilcore/core/ModelState.hpp"

namespace vortil {

std::string_view description(ModelState state) {
    switch (state) {
        case ModelState::unloading:
            return "Unloading";
        case ModelState::unloaded:
            return "Unloaded";
        case ModelState::loading:
            return "Loading";
        case ModelState::loaded:
            return "Loaded";
        case ModelState::prewarming:
            return "Specializing";
        case ModelState::prewarmed:
            return "Specialized";
        case ModelState::downloading:
            return "Downloading";
        case ModelState::downloaded:
            return "Downloaded";
    }
    return "Unloaded";  // unreachable for the declared cases
}

bool isBusy(ModelState state) {
    switch (state) {
        case ModelState::unloading:
        case ModelState::loading:
        case ModelState::prewarming:
        case ModelState::downloading:
            return true;
        default:
            return false;
    }
}

}  // namespace vortil
