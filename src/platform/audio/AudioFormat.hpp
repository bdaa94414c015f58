#pragma once
// The shape of interleaved 32-bit float audio as a device delivers it.

#include <cstdint>
#include <string>

namespace platform {

struct AudioFormat {
    double sampleRate = 0;
    uint32_t channels = 0;

    // Usable for capture: a positive rate and at least one channel.
    bool isUsable() const { return sampleRate > 0 && channels > 0; }

    // "2 ch, 48000 Hz, Float32, interleaved"
    std::string description() const;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

}  // namespace platform
