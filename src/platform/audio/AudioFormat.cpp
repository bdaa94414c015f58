#include "platform/audio/AudioFormat.hpp"

#include <cstdio>

namespace platform {

std::string AudioFormat::description() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%u ch, %.0f Hz, Float32, interleaved", unsigned(channels),
                  sampleRate);
    return buf;
}

}  // namespace platform
