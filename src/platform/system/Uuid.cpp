#include "platform/system/Uuid.hpp"

#include <random>

namespace platform {

Uuid Uuid::random() {
    // One generator per thread, seeded from the kernel, so ids are cheap to
    // make and never shared across threads without a lock.
    thread_local std::mt19937_64 gen{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }()};
    std::array<uint8_t, 16> b;
    uint64_t hi = gen(), lo = gen();
    for (int i = 0; i < 8; ++i) {
        b[i] = uint8_t(hi >> (56 - 8 * i));
        b[8 + i] = uint8_t(lo >> (56 - 8 * i));
    }
    b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return Uuid(b);
}

std::optional<Uuid> Uuid::parse(std::string_view s) {
    if (s.size() != 36) return std::nullopt;
    std::array<uint8_t, 16> b{};
    size_t bi = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto nib = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int h = nib(s[i]), l = nib(s[i + 1]);
        if (h < 0 || l < 0) return std::nullopt;
        b[bi++] = uint8_t(h << 4 | l);
        i += 2;  // groups have even lengths, so a pair never straddles a dash
    }
    return Uuid(b);
}

std::string Uuid::string() const {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(hex[bytes_[i] >> 4]);
        out.push_back(hex[bytes_[i] & 0xF]);
    }
    return out;
}

}  // namespace platform
