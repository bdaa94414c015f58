#include <gtest/gtest.h>

#include <set>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"

using namespace vortil;

TEST(ByteEncoder, KnownImages) {
    struct Case {
        uint8_t byte;
        const char* image;
    } cases[] = {{0x20, "\xC4\xA0"} /* Ġ */, {0x0A, "\xC4\x8A"} /* Ċ */,
                 {0xAD, "\xC5\x83"} /* Ń */, {0x41, "A"},
                 {0x00, "\xC4\x80"} /* Ā */, {0xFF, "\xC3\xBF"} /* ÿ */,
                 {0x7F, "\xC4\xA1"} /* ġ */};
    for (auto c : cases) {
        EXPECT_EQ(byteEncoder()[c.byte], c.image) << int(c.byte);
        EXPECT_EQ(byteDecoder().at(c.image), c.byte);
    }
}

TEST(ByteEncoder, EveryByteHasADistinctOneCharacterImageThatDecodesBack) {
    std::set<std::string> images;
    for (int b = 0; b < 256; ++b) {
        const std::string& image = byteEncoder()[size_t(b)];
        EXPECT_EQ(unicode::graphemeCount(std::string_view(image)), 1u) << b;
        images.insert(image);
        EXPECT_EQ(byteDecoder().at(image), b);
    }
    EXPECT_EQ(images.size(), 256u);
    EXPECT_EQ(byteDecoder().size(), 256u);

    std::string encoded;
    appendByteEncoded(encoded, " \xC3\xA9");
    EXPECT_EQ(encoded, "\xC4\xA0\xC3\x83\xC2\xA9");  // Ġ Ã ©
}
