#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "auralith/utilities/JSONCodingErrors.hpp"
#include "auralith/utilities/JSONValues.hpp"

namespace jv = auralith::json_values;
using auralith::DecodingError;

namespace {

std::optional<float> floatFromText(const std::string& text) {
    try {
        return jv::readFloat(jv::Json::parse(text), "x");
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << text;
        return std::nullopt;
    }
}

}  // namespace

TEST(JSONValues, FloatsReadBackUpToTheRoundingLimit) {
    // The written form of the largest float is a little above its exact
    // value; everything below the midpoint to 2^128 rounds to a finite float.
    const struct {
        const char* text;
        std::optional<float> expected;
    } cases[] = {
        {"3.4028235e+38", FLT_MAX},
        {"-3.4028235e+38", -FLT_MAX},
        {"3.4028234663852886e+38", FLT_MAX},
        {"3.40282356e+38", FLT_MAX},
        {"3.4028235677973362e+38", FLT_MAX},       // just below the midpoint
        {"3.4028235677973366e+38", std::nullopt},  // the midpoint rounds to infinity
        {"-3.4028236e+38", std::nullopt},
        {"1e39", std::nullopt},
        {"1e300", std::nullopt},
        {"3.4028233e+38", std::nextafter(FLT_MAX, 0.0f)},
        {"1e-50", 0.0f},
        {"3", 3.0f},
    };
    for (const auto& c : cases) EXPECT_EQ(floatFromText(c.text), c.expected) << c.text;
}

TEST(JSONValues, LargestFloatsRoundTripThroughText) {
    for (float value : {FLT_MAX, -FLT_MAX, std::nextafter(FLT_MAX, 0.0f), FLT_MIN, FLT_TRUE_MIN}) {
        const std::string text = jv::floatNumber(value, "x").dump();
        EXPECT_EQ(jv::readFloat(jv::Json::parse(text), "x"), value) << text;
    }
    EXPECT_EQ(jv::floatNumber(FLT_MAX, "x").dump(), "3.4028235e+38");
}
