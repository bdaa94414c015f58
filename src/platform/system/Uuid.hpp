#pragma once
// A 128-bit UUID value. New ones are random (version 4); the text form is the
// canonical 8-4-4-4-12 hexadecimal digits in upper case, and parsing accepts
// either case.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Uuid {
  public:
    Uuid() = default;  // all zero; use random() for a fresh identity
    explicit Uuid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    static Uuid random();
    static std::optional<Uuid> parse(std::string_view text);

    std::string string() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

  private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace platform

template <>
struct std::hash<platform::Uuid> {
    size_t operator()(const platform::Uuid& u) const noexcept {
        uint64_t a = 0, b = 0;
        for (int i = 0; i < 8; ++i) a = (a << 8) | u.bytes()[i];
        for (int i = 8; i < 16; ++i) b = (b << 8) | u.bytes()[i];
        return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
    }
};
