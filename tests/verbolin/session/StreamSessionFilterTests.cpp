#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "verbolin/listening/StreamSession.hpp"

using verbolin::StreamSession;

TEST(StreamSessionFilters, HallucinationsAreWholeTextMatchesIgnoringCase) {
    struct Case {
        const char* text;
        bool hallucination;
    };
    const Case cases[] = {
        {"", true},
        {"Thank you.", true},
        {"THANK YOU.", true},
        {"thanks for watching.", true},
        {"Thank you for watching.", true},
        {"you", true},
        {"You.", true},
        {"Bye.", true},
        {"[BLANK_AUDIO]", true},
        {"(music)", true},
        {"[", true},
        // A longer text that merely contains a phrase is real speech.
        {"Thank you. See you tomorrow.", false},
        {"thank you", false},
        {"you know", false},
        {"bye", false},
        {"Hello (again)", false},
        {" [BLANK_AUDIO]", false},  // the filter sees trimmed text; only the first character counts
    };
    for (const Case& c : cases)
        EXPECT_EQ(StreamSession::isHallucination(c.text), c.hallucination) << c.text;
}

TEST(StreamSessionFilters, CollapseRepeats) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"the the the The cat", ""},     // 5 words, 2 kept: mostly repetition
        {"I I think so", "I think so"},  // 4 words, 3 kept
        {"no no", "no no"},              // fewer than 4 words: untouched
        {"no no no", "no no no"},
        {"x x y y", "x y"},      // exactly half kept is enough
        {"x x x y z", "x y z"},  // 5 words need 3 kept
        {"x x x x y", ""},
        {"Hello hello HELLO world there friend", "Hello world there friend"},
        {"one  two   three four", "one two three four"},  // empty pieces dropped, single spaces
        {"a\tb a\tb c d", "a\tb c d"},                    // only the space splits words
        {"go stop go stop", "go stop go stop"},           // only neighbours count
        {"Ünïcode ünïcode ÜNÏCODE word again", "Ünïcode word again"},
    };
    for (const Case& c : cases) EXPECT_EQ(StreamSession::collapseRepeats(c.in), c.out) << c.in;
}

TEST(StreamSessionFilters, TrimRemovesUnicodeSpaceAndLineBreaksAtBothEnds) {
    EXPECT_EQ(StreamSession::trimmed("  hello world \n"), "hello world");
    EXPECT_EQ(StreamSession::trimmed("\t\r\n"), "");
    EXPECT_EQ(StreamSession::trimmed("\u00a0\u3000hi\u2028\u2003"), "hi");
    EXPECT_EQ(StreamSession::trimmed("a \n b"), "a \n b");
    // A zero-width space is not white space.
    EXPECT_EQ(StreamSession::trimmed("\u200bx\u200b"), "\u200bx\u200b");
    EXPECT_EQ(StreamSession::trimmed(""), "");
}

TEST(StreamSessionFilters, LevelMapsDecibelsOntoTheMeter) {
    struct Case {
        float rms;
        float level;
    };
    const Case cases[] = {
        {1.0f, 1.0f},  {2.0f, 1.0f},          {0.1f, 0.6f},
        {0.01f, 0.2f}, {0.0031622776f, 0.0f}, {0.001f, 0.0f},
        {0.0f, 0.0f},  {-1.0f, 0.0f},         {std::numeric_limits<float>::quiet_NaN(), 0.0f},
    };
    for (const Case& c : cases) EXPECT_NEAR(StreamSession::levelOf(c.rms), c.level, 1e-5f) << c.rms;
}
