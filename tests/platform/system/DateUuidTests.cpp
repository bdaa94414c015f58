#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <unordered_set>

#include "platform/system/Date.hpp"
#include "platform/system/Uuid.hpp"

using namespace platform;

TEST(ISO8601, ParsesZoneDesignatorsAndFractions) {
    auto z = parseISO8601("2024-05-01T10:00:00Z");
    ASSERT_TRUE(z);
    EXPECT_DOUBLE_EQ(secondsSince1970(*z), 1714557600.0);
    auto plus = parseISO8601("2024-05-01T12:00:00+02:00");
    ASSERT_TRUE(plus);
    EXPECT_EQ(*plus, *z);
    auto compact = parseISO8601("2024-05-01T07:30:00-0230");
    ASSERT_TRUE(compact);
    EXPECT_EQ(*compact, *z);
    auto frac = parseISO8601("2024-05-01T10:00:00.25Z");
    ASSERT_TRUE(frac);
    EXPECT_DOUBLE_EQ(secondsSince1970(*frac), 1714557600.25);
}

TEST(ISO8601, RejectsTextsWithoutZoneOrWithBadFields) {
    for (const char* bad :
         {"2024-05-01T10:00:00", "1714557600", "2024-05-01", "2024-13-01T10:00:00Z",
          "2024-02-30T10:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01T10:00:00Zjunk",
          "2024-05-01T10:00:00+2", "", "2024-05-01T10:00:00.Z"}) {
        EXPECT_FALSE(parseISO8601(bad)) << bad;
    }
}

TEST(ISO8601, FormatsUtcAndRoundTrips) {
    Date d = dateFromSecondsSince1970(1714557600.5);
    EXPECT_EQ(formatISO8601(d), "2024-05-01T10:00:00Z");
    EXPECT_EQ(formatISO8601Milliseconds(d), "2024-05-01T10:00:00.500Z");
    EXPECT_EQ(*parseISO8601(formatISO8601Milliseconds(d)), d);
    // Before 1970 the day arithmetic must still floor, not truncate.
    EXPECT_EQ(formatISO8601(dateFromSecondsSince1970(-1.0)), "1969-12-31T23:59:59Z");
}

TEST(Uuid, RandomIdsAreVersion4AndDistinct) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        Uuid u = Uuid::random();
        EXPECT_EQ(u.bytes()[6] >> 4, 4);
        EXPECT_EQ(u.bytes()[8] & 0xC0, 0x80);
        EXPECT_TRUE(seen.insert(u).second);
    }
}

TEST(Uuid, TextIsUpperCaseAndParsingAcceptsEitherCase) {
    auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse(u->string()), u);
    for (const char* bad :
         {"", "not-a-uuid", "E621E1F8C36C495A93FC0C247A3E6E5F",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5G", "E621E1F8-C36C-495A-93FC_0C247A3E6E5F",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "E621E1F8-C36C-495A-93FC-0C247A3E6-5F",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5\xC6", "-621E1F8-C36C-495A-93FC-0C247A3E6E5F",
          "E621E1F8-C36C-495A-93FC-0C247A3E6E5 ", "E621E1F8--36C-495A-93FC-0C247A3E6E5F",
          "E621E1F-8C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
    // Every byte in a digit's place: only the hex digits, of either case, are one.
    for (const size_t at : {size_t(0), size_t(9), size_t(35)}) {
        for (int c = 0; c < 256; ++c) {
            std::string text = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
            text[at] = char(c);
            const auto parsed = Uuid::parse(text);
            ASSERT_EQ(parsed.has_value(), std::isxdigit(c) != 0) << at << " " << c;
            if (parsed) {
                EXPECT_EQ(parsed->string()[at], std::toupper(c)) << at << " " << c;
            }
        }
    }
}

TEST(Dates, SecondsOutsideTheClockRangeAreClampedNotUndefined) {
    EXPECT_EQ(secondsSince1970(dateFromSecondsSince1970(std::nan(""))), 0.0);
    EXPECT_DOUBLE_EQ(secondsSince1970(dateFromSecondsSince1970(1e300)), 9.0e9);
    EXPECT_DOUBLE_EQ(secondsSince1970(dateFromSecondsSince1970(-INFINITY)), -9.0e9);
    EXPECT_DOUBLE_EQ(secondsSince1970(dateFromSecondsSince1970(1714557600.25)), 1714557600.25);
}

// A Date spans 1677-09-21 to 2262-04-11; a time outside it has no Date and
// must not come back as some other time.
// A damaged file's dates are clamped to the clock's ends; the gaps between
// them exceed what its nanoseconds count and must still come out right.
TEST(Dates, SecondsBetweenDatesAtTheClocksEndsAreExactOrClose) {
    struct Case {
        Date a, b;
        double seconds;
    };
    const Case cases[] = {
        {dateFromSecondsSince1970(-1e300), dateFromSecondsSince1970(1e300), 1.8e10},
        {dateFromSecondsSince1970(1e300), dateFromSecondsSince1970(-1e300), -1.8e10},
        {dateFromSecondsSince1970(-1e300), dateFromSecondsSince1970(1714557600), 1.07145576e10},
        {Date::min(), Date::max(), 18446744073.709551615},
        {dateFromSecondsSince1970(10), dateFromSecondsSince1970(12.5), 2.5},
        {Date::max() - std::chrono::nanoseconds(3), Date::max(), 3e-9},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(secondsBetween(c.a, c.b), c.seconds, std::abs(c.seconds) * 1e-9) << c.seconds;
    }
}

TEST(ISO8601, TimesOutsideTheClocksRangeAreRefused) {
    for (const char* outside :
         {"9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z", "1677-09-20T00:00:00Z",
          "2262-04-12T00:00:00Z", "2262-04-11T23:00:00-02:00"}) {
        EXPECT_FALSE(parseISO8601(outside)) << outside;
    }
    for (const char* inside :
         {"1677-09-22T00:00:00Z", "2262-04-11T00:00:00.999Z", "1900-01-01T00:00:00Z"}) {
        auto d = parseISO8601(inside);
        ASSERT_TRUE(d) << inside;
        EXPECT_EQ(formatISO8601Milliseconds(*d).substr(0, 19), std::string(inside).substr(0, 19));
    }
}
