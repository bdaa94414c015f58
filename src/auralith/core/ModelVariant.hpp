#pragma once
// The Whisper model sizes the pipeline recognises.

#include <array>
#include <ostream>
#include <string_view>

namespace auralith {

enum class ModelVariant {
    tiny,
    tinyEn,
    base,
    baseEn,
    small,
    smallEn,
    medium,
    mediumEn,
    large,
    largev2,
    largev3,
};

inline constexpr std::array<ModelVariant, 11> allModelVariants = {
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,    ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium,  ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3,
};

// The size's name as model folders spell it: "tiny.en", "large-v2", ...
std::string_view description(ModelVariant variant);
// False for the English-only ".en" sizes.
bool isMultilingual(ModelVariant variant);

inline std::ostream& operator<<(std::ostream& os, ModelVariant variant) {
    return os << description(variant);
}

}  // namespace auralith
