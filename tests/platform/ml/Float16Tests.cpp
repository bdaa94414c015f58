#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/ml/Float16.hpp"

using namespace platform::ml;

namespace {

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
float floatOf(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// Runs the body once on the portable path and, when the processor has it, once on F16C.
template <class F>
void onBothPaths(F body) {
    const bool previous = setHardwareFloat16Enabled(false);
    body("scalar");
    if (setHardwareFloat16Enabled(true) || hasHardwareFloat16()) body("f16c");
    setHardwareFloat16Enabled(previous);
}

}  // namespace

TEST(Float16, KnownConversions) {
    struct Case {
        float in;
        std::uint16_t bits;
        float back;
    };
    const Case cases[] = {
        {0.2f, 0x3266, 0.199951171875f},
        {0.6f, 0x38CD, 0.60009765625f},
        {1.0f, 0x3C00, 1.0f},
        {-2.5f, 0xC100, -2.5f},
        {65504.0f, 0x7BFF, 65504.0f},
        {65519.0f, 0x7BFF, 65504.0f},  // just below the rounding boundary
        {65520.0f, 0x7C00, INFINITY},  // the boundary rounds to even: infinity
        {-INFINITY, 0xFC00, -INFINITY},
        {std::ldexp(1.0f, -24), 0x0001, std::ldexp(1.0f, -24)},  // smallest subnormal
        {std::ldexp(1.0f, -25), 0x0000, 0.0f},                   // tie between 0 and it: even is 0
        {std::ldexp(3.0f, -26), 0x0001, std::ldexp(1.0f, -24)},  // above the tie rounds up
        {std::ldexp(3.0f, -25), 0x0002,
         std::ldexp(2.0f, -24)},  // tie between 1 and 2 ulps: even is 2
        {std::ldexp(1.0f, -14), 0x0400, std::ldexp(1.0f, -14)},  // smallest normal
        {1.0f + std::ldexp(1.0f, -11), 0x3C00, 1.0f},            // tie, stays even
        {1.0f + std::ldexp(3.0f, -11), 0x3C02,
         1.0f + std::ldexp(1.0f, -9)},  // tie, rounds up to even
        {-0.0f, 0x8000, -0.0f},
    };
    onBothPaths([&](const char* path) {
        for (const auto& c : cases) {
            Float16 h(c.in);
            EXPECT_EQ(h.bits, c.bits) << path << " " << c.in;
            EXPECT_EQ(bitsOf(static_cast<float>(h)), bitsOf(c.back)) << path << " " << c.in;
        }
        Float16 nan(std::nanf(""));
        EXPECT_TRUE(nan.isNaN()) << path;
        EXPECT_TRUE(std::isnan(static_cast<float>(nan))) << path;
    });
}

TEST(Float16, ScalarAndHardwareAgreeOnEveryHalf) {
    if (!setHardwareFloat16Enabled(true)) GTEST_SKIP() << "no F16C on this processor";
    for (std::uint32_t b = 0; b < 65536; ++b) {
        const auto h = static_cast<std::uint16_t>(b);
        const float hw = halfBitsToFloat(h);
        const float sw = halfBitsToFloatScalar(h);
        ASSERT_EQ(bitsOf(hw), bitsOf(sw)) << std::hex << b;
        // Every half survives the round trip on both paths (NaNs come back quiet).
        const std::uint16_t expected = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) ? (h | 0x200) : h;
        ASSERT_EQ(floatToHalfBits(hw), expected) << std::hex << b;
        ASSERT_EQ(floatToHalfBitsScalar(sw), expected) << std::hex << b;
    }
}

TEST(Float16, ScalarAndHardwareAgreeAroundEveryRoundingBoundary) {
    if (!setHardwareFloat16Enabled(true)) GTEST_SKIP() << "no F16C on this processor";
    // For each pair of neighbouring halves, the floats at, just below and just
    // above their midpoint decide the rounding; check them all, plus random floats.
    std::vector<float> probes;
    for (std::uint32_t b = 0; b < 0x7C00; ++b) {
        const float lo = halfBitsToFloatScalar(static_cast<std::uint16_t>(b));
        const float hi =
            b + 1 == 0x7C00 ? 65520.0f : halfBitsToFloatScalar(static_cast<std::uint16_t>(b + 1));
        const float mid = static_cast<float>((static_cast<double>(lo) + hi) / 2);
        for (float f : {lo, mid, std::nextafter(mid, 0.0f), std::nextafter(mid, INFINITY),
                        std::nextafter(lo, INFINITY)}) {
            probes.push_back(f);
            probes.push_back(-f);
        }
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 1000000; ++i) probes.push_back(floatOf(static_cast<std::uint32_t>(rng())));
    std::vector<Float16> bulk(probes.size());
    convertFloatToHalf(probes.data(), bulk.data(), probes.size());
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const std::uint16_t sw = floatToHalfBitsScalar(probes[i]);
        ASSERT_EQ(floatToHalfBits(probes[i]), sw) << std::hexfloat << probes[i];
        ASSERT_EQ(bulk[i].bits, sw) << std::hexfloat << probes[i];
    }
}

TEST(Float16, BulkConversionsMatchElementwiseOnBothPaths) {
    std::vector<float> values;
    for (int i = 0; i < 37; ++i)
        values.push_back(static_cast<float>(i) * 0.37f - 5.0f);  // not a multiple of 8
    onBothPaths([&](const char* path) {
        std::vector<Float16> halves(values.size());
        convertFloatToHalf(values.data(), halves.data(), values.size());
        std::vector<float> back(values.size());
        convertHalfToFloat(halves.data(), back.data(), values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(halves[i].bits, floatToHalfBitsScalar(values[i])) << path << i;
            EXPECT_EQ(back[i], halfBitsToFloatScalar(halves[i].bits)) << path << i;
        }
    });
}
