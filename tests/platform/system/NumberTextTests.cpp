#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/system/NumberText.hpp"

using platform::numberText;

TEST(NumberText, WholeValuesKeepAPointAndFractionsTheirShortestDigits) {
    EXPECT_EQ(numberText(2.0), "2.0");
    EXPECT_EQ(numberText(1714521600.0), "1714521600.0");
    EXPECT_EQ(numberText(0.1), "0.1");
    EXPECT_EQ(numberText(0.1f), "0.1");  // not the double's 0.10000000149011612
    EXPECT_EQ(numberText(-0.0), "-0.0");
    EXPECT_EQ(numberText(1e-4), "0.0001");
    EXPECT_EQ(numberText(1234.5f), "1234.5");
}

TEST(NumberText, ExtremesUseExponentFormAndSpecialValuesTheirNames) {
    EXPECT_EQ(numberText(1e-05), "1e-05");
    EXPECT_EQ(numberText(1e20), "1e+20");
    EXPECT_EQ(numberText(std::numeric_limits<float>::max()), "3.4028235e+38");
    EXPECT_EQ(numberText(std::nan("")), "nan");
    EXPECT_EQ(numberText(-INFINITY), "-inf");
    EXPECT_EQ(numberText(INFINITY), "inf");
}
