#include "auralith/utilities/TextUtilities.hpp"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <string>

#include "platform/system/Text.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The size of the raw DEFLATE stream (no zlib header or checksum) of the
// bytes, at the level the reference compressor uses; the error text on failure.
bool deflatedSize(const unsigned char* data, size_t size, size_t& compressed, std::string& error) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int status = deflateInit2(&stream, 5, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        error = zError(status);
        return false;
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(size)), '\0');
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = reinterpret_cast<unsigned char*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    status = deflate(&stream, Z_FINISH);
    compressed = stream.total_out;
    if (status != Z_STREAM_END) error = stream.msg ? stream.msg : zError(status);
    deflateEnd(&stream);
    return status == Z_STREAM_END;
}

float ratio(const unsigned char* data, size_t size) {
    if (size > std::numeric_limits<uInt>::max()) {
        vortil::Logging::debug("Compression error: input too large");
        return kInfinity;
    }
    size_t compressed = 0;
    std::string error;
    if (!deflatedSize(data, size, compressed, error)) {
        vortil::Logging::debug("Compression error: " + error);
        return kInfinity;
    }
    return static_cast<float>(size) / static_cast<float>(compressed);
}

}  // namespace

float TextUtilities::compressionRatio(std::string_view text) {
    if (text.empty()) return kInfinity;
    if (!platform::text::isValidUtf8(text)) {
        vortil::Logging::debug("String encoding error");
        return kInfinity;
    }
    return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

float TextUtilities::compressionRatio(const std::vector<int64_t>& tokens) {
    std::string bytes;
    bytes.reserve(tokens.size() * 4);
    for (int64_t token : tokens) {
        // The low 32 bits, little-endian: the memory image of an int32 array.
        const auto bits = static_cast<uint32_t>(token);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((bits >> shift) & 0xff));
    }
    return ratio(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace auralith
