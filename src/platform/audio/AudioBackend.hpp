#pragma once
// The machine's audio system as the listening engine needs it: the input
// devices, capture streams and the microphone permission. The real backend
// talks to the desktop's sound server (PulseAudio or PipeWire's PulseAudio
// service); tests substitute FakeAudioBackend.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioInputStream.hpp"

namespace platform {

struct AudioDeviceInfo {
    uint32_t id = 0;   // stable while the device stays plugged in
    std::string name;  // the human-readable name
    uint32_t inputChannels = 0;

    friend bool operator==(const AudioDeviceInfo&, const AudioDeviceInfo&) = default;
};

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    // Devices with at least one input channel, in the system's order.
    // Never throws: a failed query gives an empty list (the reason goes to
    // the log), and a device that cannot be read is left out.
    virtual std::vector<AudioDeviceInfo> inputDevices() = 0;

    // The system's default input, if it has one.
    virtual std::optional<AudioDeviceInfo> defaultInputDevice() = 0;

    // Opens (without starting) a capture stream on the device, or on the
    // default input when `deviceID` is empty or names no current input
    // device. Throws when the sound system cannot be reached.
    virtual std::unique_ptr<AudioInputStream> openInput(std::optional<uint32_t> deviceID) = 0;

    // Whether the user lets the application record. Linux has no such
    // permission, so the real backend always grants it.
    virtual bool requestPermission() { return true; }

    // The process's backend on the desktop's sound server.
    static std::shared_ptr<AudioBackend> system();
};

}  // namespace platform
