#pragma once
// The audio backend on a PulseAudio server (PipeWire serves the same
// protocol). Each query opens a short connection; each capture stream keeps
// its own, so streams and queries never wait on one another.

#include <optional>
#include <string>

#include "platform/audio/AudioBackend.hpp"

namespace platform {

class PulseAudioBackend final : public AudioBackend {
  public:
    // `server` is a libpulse server string such as "unix:/run/user/1000/pulse/native";
    // empty means the user's default server.
    explicit PulseAudioBackend(std::optional<std::string> server = std::nullopt);

    // Every source except monitors of outputs and our own echo cancellers;
    // the name is the source's description (its identifier when it has none).
    std::vector<AudioDeviceInfo> inputDevices() override;
    std::optional<AudioDeviceInfo> defaultInputDevice() override;
    std::unique_ptr<AudioInputStream> openInput(std::optional<uint32_t> deviceID) override;

  private:
    std::optional<std::string> server_;
};

}  // namespace platform
