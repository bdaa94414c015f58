#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "vortilcore/tokenizers/ByteEncoder.hpp"
#include "vortilcore/tokenizers/Decoder.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;

namespace {

using Tokens = std::vector<std::string>;

DecoderPtr build(const std::string& json,
                 const std::optional<std::unordered_set<std::string>>& added = std::nullopt) {
    return DecoderFactory::fromConfig(
        Config::fromJson(nlohmann::json::parse(json), Config::JsonSource::configurationFile),
        added);
}

const std::string replacementCharacter = "\xEF\xBF\xBD";

}  // namespace

TEST(Decoder, ExamplesByType) {
    struct Case {
        const char* config;
        Tokens tokens;
        Tokens expected;
    } cases[] = {
        {R"({"type":"ByteLevel"})", {"Hello", "\xC4\xA0world"}, {"Hello world"}},
        {R"({"type":"ByteLevel"})",
         {"\xC3\x83", "\xC2\xA9"},
         {"\xC3\xA9"}},  // "Ã", "©" are the bytes of "é"
        {R"({"type":"ByteLevel"})", {"\xC3\x83"}, {replacementCharacter}},  // a lone lead byte
        {R"({"type":"ByteLevel"})", {"a", "\xC3\x83", "b"}, {"a" + replacementCharacter + "b"}},
        {R"({"type":"ByteLevel"})", {"\xC4\x8A"}, {"\n"}},
        {R"({"type":"ByteLevel"})", {}, {}},
        // A character outside the byte alphabet is kept as it is.
        {R"({"type":"ByteLevel"})", {"\xE4\xB8\xAD", "\xC4\xA0x"}, {"\xE4\xB8\xAD x"}},
        {R"({"type":"ByteFallback"})", {"<0xE4>", "<0xB8>", "<0xAD>", "a"}, {"\xE4\xB8\xAD", "a"}},
        {R"({"type":"ByteFallback"})", {"a", "<0x41>"}, {"a", "A"}},
        {R"({"type":"ByteFallback"})",
         {"<0xZZ>", "<0x4>", "<0x041>"},
         {"<0xZZ>", "<0x4>", "<0x041>"}},
        {R"({"type":"ByteFallback"})",
         {"<0xE4>", "x", "<0xff>"},
         {replacementCharacter, "x", replacementCharacter}},
        {R"({"type":"WordPiece","prefix":"##"})",
         {"un", "##aff", "##able", "is"},
         {"un", "aff", "able", " is"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})",
         {"hello", ",", "world"},
         {"hello", ",", " world"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})",
         {"I", "do", "not", "##n't", "'s"},
         {"I", " do", " not", "n't", "'s"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})",
         {"we do not go ."},
         {"we don't go."}},
        {R"({"type":"WordPiece","prefix":"##"})",
         {"hello", ",", "world"},
         {"hello", " ,", " world"}},
        {R"({"type":"WordPiece","prefix":"##"})", {}, {}},
        {R"({"type":"WordPiece","prefix":""})", {"a", "b"}, {"a", "b"}},
        {R"({"type":"Replace","pattern":{"String":"\u2581"},"content":" "})",
         {"\xE2\x96\x81"
          "a\xE2\x96\x81",
          "b"},
         {" a ", "b"}},
        {R"j({"type":"Replace","pattern":{"Regex":"(a)(b)"},"content":"$2$1"})j",
         {"abab", "a", "b"},
         {"baba", "a", "b"}},
        {R"({"type":"Replace","content":" "})", {"a_b"}, {"a_b"}},
        {R"({"type":"Fuse"})", {"a", "b", "c"}, {"abc"}},
        {R"({"type":"Fuse"})", {}, {""}},
        {R"({"type":"Strip","content":" ","start":1,"stop":0})", {"  a "}, {" a "}},
        {R"({"type":"Strip","content":" ","start":1,"stop":2})", {"  a "}, {" a"}},
        {R"({"type":"Strip","content":"x","start":5,"stop":5})", {"xxaxx", "axa"}, {"a", "axa"}},
        {R"({"type":"Strip","content":" ","start":-3,"stop":0})", {" a"}, {" a"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":true})",
         {"\xE2\x96\x81Hello", "\xE2\x96\x81world"},
         {"Hello", " world"}},
        {R"({"type":"Metaspace","replacement":"\u2581","add_prefix_space":false})",
         {"\xE2\x96\x81Hello", "\xE2\x96\x81world"},
         {" Hello", " world"}},
        {R"({"type":"Metaspace"})", {"a_b"}, {"a b"}},
        {R"({"type":"Metaspace","addPrefixSpace":true})", {"x", "_y"}, {"x", " y"}},
        {R"({"type":"Sequence","decoders":[{"type":"Replace","pattern":{"String":"\u2581"},"content":" "},)"
         R"({"no":"type"},{"type":"ByteFallback"},{"type":"Fuse"},{"type":"Strip","content":" ","start":1,"stop":0}]})",
         {"\xE2\x96\x81"
          "a",
          "<0xE4>", "<0xB8>", "<0xAD>"},
         {"a\xE4\xB8\xAD"}},
        {R"({"type":"Sequence","decoders":[]})", {"a", "b"}, {"a", "b"}},
    };
    for (const auto& c : cases) {
        auto d = build(c.config);
        ASSERT_NE(d, nullptr) << c.config;
        EXPECT_EQ((*d)(c.tokens), c.expected) << c.config;
    }
}

TEST(Decoder, ByteLevelKeepsAddedTokensApart) {
    auto d = build(R"({"type":"ByteLevel"})",
                   std::unordered_set<std::string>{"<|endoftext|>", "<|0.00|>"});
    ASSERT_NE(d, nullptr);
    EXPECT_EQ((*d)({"Hello", "\xC4\xA0world", "<|endoftext|>", "!"}),
              (Tokens{"Hello world", "<|endoftext|>", "!"}));
    EXPECT_EQ((*d)({"<|0.00|>", "<|endoftext|>",
                    "\xC4\xA0"
                    "a"}),
              (Tokens{"<|0.00|>", "<|endoftext|>", " a"}));
    // A multi-byte character cut by an added token is broken on both sides.
    EXPECT_EQ((*d)({"\xC3\x83", "<|0.00|>", "\xC2\xA9"}),
              (Tokens{replacementCharacter, "<|0.00|>", replacementCharacter}));

    // Inside a Sequence the byte-level member knows no added tokens.
    auto seq = build(R"({"type":"Sequence","decoders":[{"type":"ByteLevel"}]})",
                     std::unordered_set<std::string>{"<|endoftext|>"});
    EXPECT_EQ((*seq)({"a", "<|endoftext|>"}), (Tokens{"a<|endoftext|>"}));
}

TEST(Decoder, ByteLevelRestoresEveryByte) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(char(b));
    // Valid UTF-8 built from every byte image comes back exactly.
    std::string text = "A\tz\n\x7F \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x8E\x89";
    std::string encoded;
    appendByteEncoded(encoded, text);
    auto d = build(R"({"type":"ByteLevel"})");
    EXPECT_EQ((*d)({encoded}), Tokens{text});
    std::string allEncoded;
    appendByteEncoded(allEncoded, all);
    auto decoded = (*d)({allEncoded});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].substr(0, 128), all.substr(0, 128));  // the ASCII half survives
    EXPECT_NE(decoded[0].find(replacementCharacter), std::string::npos);
}

TEST(Decoder, MissingOrNonStringTypeGivesNone) {
    EXPECT_EQ(DecoderFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(build(R"({"type":1})"), nullptr);
    EXPECT_EQ(build(R"({"prefix":"##"})"), nullptr);
}

TEST(Decoder, RejectionsCarryExactMessages) {
    struct Case {
        Config config;
        const char* message;
    } cases[] = {
        {Config{{"type", ""}}, "Unsupported Decoder type: "},
        {Config{{"type", "Fancy"}}, "Unsupported Decoder type: Fancy"},
        {Config{{"type", "Sequence"}}, "No decoders in Sequence"},
        {Config{{"type", "Sequence"}, {"decoders", Config::array({Config{{"type", "X"}}})}},
         "Unsupported Decoder type: X"},
        {Config{{"type", "WordPiece"}}, "Missing `prefix` configuration for WordPieceDecoder."},
        {Config{{"type", "Strip"}, {"start", 1}, {"stop", 0}},
         "Incorrect StripDecoder configuration: can't parse `content`."},
        {Config{{"type", "Strip"}, {"content", " "}, {"start", 1.0f}, {"stop", 0}},
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {Config{{"type", "Strip"}, {"content", " "}, {"start", "1"}, {"stop", 0}},
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {Config{{"type", "Strip"}, {"content", " "}, {"start", 1}},
         "Incorrect StripDecoder configuration: can't parse `stop`."},
        {Config{{"type", "Strip"}}, "Incorrect StripDecoder configuration: can't parse `content`."},
        {Config{{"type", "Replace"}, {"content", " "}, {"pattern", Config{{"Regex", "("}}}},
         "Cannot build regexp from ("},
    };
    for (const auto& c : cases) {
        try {
            DecoderFactory::fromConfig(c.config);
            ADD_FAILURE() << "accepted " << c.config.description();
        } catch (const TokenizerConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.config.description();
        }
    }
}

// A JSON 1.0 is read as the integer 1, as every whole JSON number is; only a
// number with a fraction is refused.
TEST(Decoder, StripAcceptsWholeJsonNumbers) {
    auto d = build(R"({"type":"Strip","content":" ","start":1.0,"stop":0})");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ((*d)({"  a"}), Tokens{" a"});
    EXPECT_THROW(build(R"({"type":"Strip","content":" ","start":1.5,"stop":0})"),
                 TokenizerConfigurationError);
}
