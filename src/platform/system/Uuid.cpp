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

namespace {

// Each byte's value as a hex digit, or -1: ids are parsed by the hundred
// thousand when a search finds most of a long transcript.
constexpr std::array<int8_t, 256> kNibble = [] {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = 0; c < 10; ++c) t[size_t('0' + c)] = int8_t(c);
    for (int c = 0; c < 6; ++c) t[size_t('a' + c)] = t[size_t('A' + c)] = int8_t(10 + c);
    return t;
}();

// Where each byte's two digits start in the 36 characters.
constexpr std::array<uint8_t, 16> kDigitsAt = {0,  2,  4,  6,  9,  11, 14, 16,
                                               19, 21, 24, 26, 28, 30, 32, 34};

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view s) {
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        return std::nullopt;
    std::array<uint8_t, 16> b{};
    int bad = 0;
    for (size_t i = 0; i < 16; ++i) {
        const int h = kNibble[uint8_t(s[kDigitsAt[i]])], l = kNibble[uint8_t(s[kDigitsAt[i] + 1])];
        bad |= h | l;
        b[i] = uint8_t((h & 0xF) << 4 | (l & 0xF));
    }
    if (bad < 0) return std::nullopt;
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
