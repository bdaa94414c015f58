#include "auralith/core/ModelVariant.hpp"

namespace auralith {

std::string_view description(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tiny:
            return "tiny";
        case ModelVariant::tinyEn:
            return "tiny.en";
        case ModelVariant::base:
            return "base";
        case ModelVariant::baseEn:
            return "base.en";
        case ModelVariant::small:
            return "small";
        case ModelVariant::smallEn:
            return "small.en";
        case ModelVariant::medium:
            return "medium";
        case ModelVariant::mediumEn:
            return "medium.en";
        case ModelVariant::large:
            return "large";
        case ModelVariant::largev2:
            return "large-v2";
        case ModelVariant::largev3:
            return "large-v3";
    }
    return "unknown";
}

bool isMultilingual(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tinyEn:
        case ModelVariant::baseEn:
        case ModelVariant::smallEn:
        case ModelVariant::mediumEn:
            return false;
        default:
            return true;
    }
}

}  // namespace auralith
