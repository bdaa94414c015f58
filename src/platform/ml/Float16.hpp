#pragma once
// IEEE 754 binary16, the element type of every speech model's arrays.
//
// Conversions round to nearest, ties to even, and keep infinities, NaN and
// subnormals. When the processor has F16C the hardware instructions do the
// work; otherwise an exact scalar routine does. The choice is made once, at
// run time, so one binary serves every x86-64 machine.

#include <cstddef>
#include <cstdint>

namespace platform::ml {

struct Float16 {
    std::uint16_t bits = 0;

    constexpr Float16() = default;
    Float16(float value);  // NOLINT(google-explicit-constructor): a numeric type
    static constexpr Float16 fromBits(std::uint16_t b) {
        Float16 h;
        h.bits = b;
        return h;
    }

    operator float() const;  // NOLINT(google-explicit-constructor)

    static constexpr Float16 infinity() { return fromBits(0x7C00); }
    static constexpr Float16 negativeInfinity() { return fromBits(0xFC00); }
    static constexpr Float16 quietNaN() { return fromBits(0x7E00); }
    bool isNaN() const { return (bits & 0x7C00) == 0x7C00 && (bits & 0x03FF) != 0; }

    friend constexpr bool bitwiseEqual(Float16 a, Float16 b) { return a.bits == b.bits; }
};
static_assert(sizeof(Float16) == 2);

// Portable reference conversions; always available and exact.
std::uint16_t floatToHalfBitsScalar(float value);
float halfBitsToFloatScalar(std::uint16_t bits);

// The conversions chosen for this processor.
std::uint16_t floatToHalfBits(float value);
float halfBitsToFloat(std::uint16_t bits);

// Bulk conversions of n contiguous values; these are what hot loops call.
void convertFloatToHalf(const float* src, Float16* dst, std::size_t n);
void convertHalfToFloat(const Float16* src, float* dst, std::size_t n);

// Whether the F16C path is in use (for tests and diagnostics).
bool hasHardwareFloat16();

// Whether the processor and the system support F16C (with the AVX state it
// needs). Asked through CPUID, which every compiler we build with offers.
bool processorHasF16C();

// Forces the portable path (tests compare the two); returns the previous setting.
bool setHardwareFloat16Enabled(bool enabled);

}  // namespace platform::ml
