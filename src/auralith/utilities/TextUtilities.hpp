#pragma once
// Text measures used by the decoder. A window that repeats itself compresses
// unusually well, which the compression ratio detects.

#include <cstdint>
#include <string_view>
#include <vector>

namespace auralith {

struct TextUtilities {
    // UTF-8 byte count divided by the size of its raw DEFLATE stream (no zlib
    // header or checksum), in single precision. "" gives +infinity, as does
    // text that is not valid UTF-8 or a compression failure (both logged at
    // debug level). Safe from any thread.
    static float compressionRatio(std::string_view text);

    // The same over the ids as little-endian 32-bit integers, 4 bytes each. An
    // id beyond 32 bits keeps its low 32 bits.
    static float compressionRatio(const std::vector<int64_t>& tokens);
};

}  // namespace auralith
