#pragma once
// One audio input device of the host, as listed for live capture: the sound
// server's identifier of the device (a PulseAudio source index) and its name.

#include <cstddef>
#include <cstdint>
#include <string>

#include "auralith/core/HashCombine.hpp"

namespace auralith {

class AudioDevice {
  public:
    AudioDevice(uint32_t id, std::string name) : id_(id), name_(std::move(name)) {}

    uint32_t id() const { return id_; }
    const std::string& name() const { return name_; }

    bool operator==(const AudioDevice&) const = default;

    std::size_t hashValue() const {
        std::size_t seed = 0;
        detail::hashValue(seed, id_);
        detail::hashValue(seed, name_);
        return seed;
    }

  private:
    uint32_t id_;
    std::string name_;
};

}  // namespace auralith

template <>
struct std::hash<auralith::AudioDevice> {
    std::size_t operator()(const auralith::AudioDevice& device) const { return device.hashValue(); }
};
