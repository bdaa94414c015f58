#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "auralith/utilities/TextUtilities.hpp"

using auralith::TextUtilities;
using Level = vortil::Logging::LogLevel;

namespace {

class TextUtilitiesTest : public auralith::testing::LogCaptureTest {};

std::string repeated(const std::string& word, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += word;
    return out;
}

}  // namespace

TEST_F(TextUtilitiesTest, KnownRatiosOfRawDeflate) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(TextUtilities::compressionRatio(""), inf);
    // One literal in a fixed-Huffman block takes 3 bytes; with a zlib header
    // and checksum it would take 9.
    EXPECT_FLOAT_EQ(TextUtilities::compressionRatio("a"), 1.0f / 3.0f);
    // "é" is two UTF-8 bytes.
    EXPECT_FLOAT_EQ(TextUtilities::compressionRatio("é"), 2.0f / 4.0f);
    EXPECT_GT(TextUtilities::compressionRatio(repeated("hello ", 1000)), 50.0f);

    std::mt19937 random(7);
    std::string noise;
    for (int i = 0; i < 4000; ++i) noise.push_back(static_cast<char>('!' + random() % 94));
    const float noiseRatio = TextUtilities::compressionRatio(noise);
    EXPECT_GT(noiseRatio, 1.0f);
    EXPECT_LT(noiseRatio, 1.3f);  // 94 symbols carry about 6.55 bits of 8
}

TEST_F(TextUtilitiesTest, MidSizedTextCompressesAtLevelFive) {
    // 1500 words drawn from twelve: levels 4, 5 and 6 give 1523, 1443 and
    // 1430 bytes, so a change of level shows in the ratio.
    const char* words[] = {"the",  "quick", "brown",  "fox",   "jumps",  "over",
                           "lazy", "dog",   "speech", "model", "window", "token"};
    std::string text;
    std::uint32_t state = 12345;
    for (int i = 0; i < 1500; ++i) {
        state = (state * 1103515245u + 12345u) & 0x7fffffffu;
        if (i > 0) text += ' ';
        text += words[(state >> 16) % 12];
    }
    ASSERT_EQ(text.size(), 8215u);
    EXPECT_EQ(TextUtilities::compressionRatio(text), 8215.0f / 1443.0f);
}

TEST_F(TextUtilitiesTest, TokensAreFourLittleEndianBytesEach) {
    // Ten ids are the 40 bytes of their little-endian int32 image.
    const std::vector<int64_t> tokens{1, 2, 3, 4, 5, 6, 7, 8, 9, 2425};
    std::string bytes;
    for (int64_t t : tokens) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((t >> shift) & 0xff));
    }
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(TextUtilities::compressionRatio(tokens), TextUtilities::compressionRatio(bytes));
    EXPECT_GT(TextUtilities::compressionRatio(std::vector<int64_t>(500, 50364)), 2.4f);

    // Beyond 32 bits only the low 32 bits count.
    EXPECT_EQ(TextUtilities::compressionRatio({(int64_t{1} << 32) + 5, 7}),
              TextUtilities::compressionRatio({5, 7}));
    // Empty input is not special: no bytes over the two bytes of an empty stream.
    EXPECT_EQ(TextUtilities::compressionRatio(std::vector<int64_t>{}), 0.0f);
}

TEST_F(TextUtilitiesTest, MalformedUtf8IsInfiniteAndLogged) {
    capture(Level::debug);
    EXPECT_EQ(TextUtilities::compressionRatio(std::string("ab\xff")),
              std::numeric_limits<float>::infinity());
    EXPECT_EQ(taken(), (std::vector<std::string>{"String encoding error"}));
}
