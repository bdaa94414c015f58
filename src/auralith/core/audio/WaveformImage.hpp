#pragma once
// A bitmap whose pixels are audio samples' raw bytes: 8 bits per component, 4
// bytes per pixel in blue-green-red-alpha order (32-bit little-endian,
// premultiplied alpha first), rows of width x 4 bytes. One sample is one
// pixel; the values are not scaled or drawn.

#include <cstdint>
#include <vector>

namespace auralith {

struct WaveformImage {
    int64_t width = 0;
    int64_t height = 0;
    int64_t bytesPerRow = 0;
    std::vector<uint8_t> pixels;  // height x bytesPerRow bytes
};

}  // namespace auralith
