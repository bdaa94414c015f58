#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "auralith/ResultExtensions.hpp"

using namespace auralith;

TEST(ResultExtensionsTest, ContainsComparesOnlyTheStart) {
    TranscriptionSegment a;
    a.start = 1.5f;
    a.text = "a";
    TranscriptionSegment b;
    b.start = 1.5f;
    b.end = 9;
    b.text = "other";
    TranscriptionSegment c;
    c.start = 1.5000001f;
    EXPECT_TRUE(contains({a}, b));
    EXPECT_FALSE(contains({a}, c));
    EXPECT_FALSE(contains({}, a));
}

TEST(ResultExtensionsTest, ToOptionalArraysKeepsLengthAndOrder) {
    using Outcome = std::variant<std::vector<std::string>, std::exception_ptr>;
    const std::vector<Outcome> outcomes{
        std::vector<std::string>{"a"},
        std::make_exception_ptr(std::runtime_error("x")),
        std::vector<std::string>{},
        std::make_exception_ptr(std::runtime_error("y")),
    };
    const auto out = toOptionalArrays(outcomes);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], std::vector<std::string>{"a"});
    EXPECT_FALSE(out[1].has_value());
    EXPECT_EQ(out[2], std::vector<std::string>{});
    EXPECT_FALSE(out[3].has_value());
}
