#include "vortilcore/tokenizers/ByteEncoder.hpp"

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/Utils.hpp"

namespace vortil {

const std::array<std::string, 256>& byteEncoder() {
    static const std::array<std::string, 256> table = [] {
        // Printable Latin-1 bytes stand for themselves; the other 68 take the
        // code points from U+0100 upward, in byte order.
        std::array<std::string, 256> t;
        char32_t next = 0x100;
        for (int b = 0; b < 256; ++b) {
            bool printable =
                (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
            unicode::appendScalar(t[size_t(b)], printable ? char32_t(b) : next++);
        }
        return t;
    }();
    return table;
}

const std::unordered_map<std::string, uint8_t>& byteDecoder() {
    static const std::unordered_map<std::string, uint8_t> table = [] {
        std::unordered_map<uint8_t, std::string> forward;
        const auto& enc = byteEncoder();
        for (int b = 0; b < 256; ++b) forward.emplace(uint8_t(b), enc[size_t(b)]);
        return Utils::invert(forward);
    }();
    return table;
}

void appendByteEncoded(std::string& out, std::string_view bytes) {
    const auto& enc = byteEncoder();
    for (unsigned char b : bytes) out += enc[b];
}

}  // namespace vortil
