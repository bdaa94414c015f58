#include "auralith/core/audio/AudioInputOptions.hpp"

#include <nlohmann/json.hpp>

#include "auralith/core/HashCombine.hpp"
#include "auralith/utilities/JSONValues.hpp"

namespace auralith {
namespace jv = json_values;

std::size_t AudioInputOptions::ChannelMode::hashValue() const {
    std::size_t seed = 0;
    if (const auto* specific = std::get_if<SpecificChannel>(&value)) {
        detail::hashValue(seed, 0);
        detail::hashValue(seed, specific->channel);
        return seed;
    }
    const auto& sum = std::get<SumChannels>(value);
    detail::hashValue(seed, 1);
    if (!sum.channels) {
        detail::hashValue(seed, 0);
        return seed;
    }
    detail::hashValue(seed, 1);
    detail::hashValue(seed, sum.channels->size());
    for (std::int64_t c : *sum.channels) detail::hashValue(seed, c);
    return seed;
}

nlohmann::ordered_json AudioInputOptions::ChannelMode::toJSON() const {
    nlohmann::ordered_json payload = nlohmann::ordered_json::object();
    if (const auto* specific = std::get_if<SpecificChannel>(&value)) {
        payload["_0"] = specific->channel;
        return {{"specificChannel", payload}};
    }
    const auto& sum = std::get<SumChannels>(value);
    if (sum.channels) payload["_0"] = *sum.channels;
    return {{"sumChannels", payload}};
}

AudioInputOptions::ChannelMode AudioInputOptions::ChannelMode::fromJSON(
    const nlohmann::ordered_json& json) {
    jv::requireObject(json, "");
    const bool hasSpecific = json.contains("specificChannel");
    const bool hasSum = json.contains("sumChannels");
    if (int(hasSpecific) + int(hasSum) != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, "",
                            "Invalid number of keys found, expected one.");
    if (hasSpecific) {
        const auto& nested = json.at("specificChannel");
        jv::requireObject(nested, "specificChannel");
        return specificChannel(jv::requiredMember(nested, "_0", jv::readInt64));
    }
    const auto& nested = json.at("sumChannels");
    jv::requireObject(nested, "sumChannels");
    return sumChannels(jv::optionalMember(nested, "_0", jv::readInt64Array));
}

void to_json(nlohmann::ordered_json& json, const AudioInputOptions::ChannelMode& mode) {
    json = mode.toJSON();
}
void from_json(const nlohmann::ordered_json& json, AudioInputOptions::ChannelMode& mode) {
    mode = AudioInputOptions::ChannelMode::fromJSON(json);
}

}  // namespace auralith
