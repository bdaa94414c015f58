#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_set>

#include "auralith/core/TranscriptionSegment.hpp"
#include "auralith/core/WordTiming.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"

using auralith::TranscriptionSegment;
using auralith::WordTiming;

namespace {

TranscriptionSegment sample() {
    return TranscriptionSegment(
        3, 480000, 30.2f, 32.5f, " Hello world", {50364, 2425, 1002, 50257},
        {{{50364, -0.01f}}, {{2425, -0.25f}}, {{1002, -1.5f}}, {{50257, -0.2f}}}, 0.2f, -0.49f,
        1.1f, 0.02f, std::nullopt);
}

}  // namespace

TEST(WordTimingTest, JsonRoundTripWithShortestFloatsAndRequiredKeys) {
    const WordTiming word(" Hello", {2425}, 0.2f, 0.62f, 0.9f);
    EXPECT_FLOAT_EQ(word.duration(), 0.42f);
    const nlohmann::ordered_json j = word;
    EXPECT_EQ(j.dump(),
              R"({"word":" Hello","tokens":[2425],"start":0.2,"end":0.62,"probability":0.9})");
    EXPECT_EQ(j.get<WordTiming>(), word);
    for (const char* key : {"word", "tokens", "start", "end", "probability"}) {
        nlohmann::json partial = j;
        partial.erase(key);
        EXPECT_THROW(partial.get<WordTiming>(), auralith::DecodingError) << key;
    }
}

TEST(TranscriptionSegmentTest, JsonInFieldOrderWithoutWordsWhenAbsent) {
    const auto segment = sample();
    const nlohmann::ordered_json j = segment;
    EXPECT_EQ(
        j.dump(),
        R"({"id":3,"seek":480000,"start":30.2,"end":32.5,"text":" Hello world",)"
        R"("tokens":[50364,2425,1002,50257],)"
        R"("tokenLogProbs":[{"50364":-0.01},{"2425":-0.25},{"1002":-1.5},{"50257":-0.2}],)"
        R"("temperature":0.2,"avgLogprob":-0.49,"compressionRatio":1.1,"noSpeechProb":0.02})");
    const auto back = nlohmann::json::parse(j.dump()).get<TranscriptionSegment>();
    EXPECT_EQ(back, segment);
    EXPECT_FALSE(back.words.has_value());
}

TEST(TranscriptionSegmentTest, WordsRoundTripAndOtherKeysAreRequired) {
    auto segment = sample();
    segment.words = std::vector<WordTiming>{{" Hello", {2425}, 30.2f, 30.9f, 0.8f}};
    const nlohmann::json j = segment;
    EXPECT_EQ(j.get<TranscriptionSegment>(), segment);

    for (const char* key : {"id", "seek", "start", "end", "text", "tokens", "tokenLogProbs",
                            "temperature", "avgLogprob", "compressionRatio", "noSpeechProb"}) {
        nlohmann::json partial = j;
        partial.erase(key);
        EXPECT_THROW(partial.get<TranscriptionSegment>(), auralith::DecodingError) << key;
    }
    nlohmann::json badKey = j;
    badKey["tokenLogProbs"][0] = {{"12x", -1.0}};
    EXPECT_THROW(badKey.get<TranscriptionSegment>(), auralith::DecodingError);
}

TEST(TranscriptionSegmentTest, EqualityAndHashCoverEveryFieldAndTreatSignedZerosAlike) {
    auto a = sample();
    auto b = sample();
    a.start = 0.0f;
    b.start = -0.0f;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<TranscriptionSegment>{}(a), std::hash<TranscriptionSegment>{}(b));

    auto withWords = a;
    withWords.words = std::vector<WordTiming>{};
    EXPECT_NE(withWords, a);  // absent equals only absent
    auto otherProb = a;
    otherProb.tokenLogProbs[1][2425] = -0.26f;
    EXPECT_NE(otherProb, a);

    std::unordered_set<TranscriptionSegment> set{a, b, withWords, otherProb};
    EXPECT_EQ(set.size(), 3u);

    WordTiming w1(" x", {1}, 0.0f, 1.0f, 0.5f);
    WordTiming w2(" x", {1}, -0.0f, 1.0f, 0.5f);
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(std::hash<WordTiming>{}(w1), std::hash<WordTiming>{}(w2));
}

TEST(TranscriptionSegmentTest, NonFiniteCompressionRatioIsRefusedOnEncoding) {
    auto segment = sample();
    segment.compressionRatio = std::numeric_limits<float>::infinity();
    EXPECT_THROW(nlohmann::json j = segment, auralith::EncodingError);
}

TEST(TranscriptionSegmentTest, ValuesOfTheWrongTypeFailToDecode) {
    const nlohmann::json j = sample();
    const struct {
        const char* key;
        nlohmann::json value;
    } cases[] = {
        {"id", 1.5},       {"seek", true},         {"start", true},
        {"end", "1.0"},    {"temperature", 1e300}, {"noSpeechProb", false},
        {"tokens", {1.5}},
    };
    for (const auto& c : cases) {
        nlohmann::json bad = j;
        bad[c.key] = c.value;
        EXPECT_THROW(bad.get<TranscriptionSegment>(), auralith::DecodingError)
            << c.key << " " << c.value.dump();
    }
    nlohmann::json badWord = j;
    badWord["words"] = {
        {{"word", " a"}, {"tokens", {1}}, {"start", true}, {"end", 1.0}, {"probability", 1.0}}};
    EXPECT_THROW(badWord.get<TranscriptionSegment>(), auralith::DecodingError);
}

TEST(TranscriptionSegmentTest, ExtremeFloatsAndIntegralSpellingsReadBack) {
    auto segment = sample();
    segment.start = std::numeric_limits<float>::max();
    segment.end = -std::numeric_limits<float>::max();
    segment.tokenLogProbs = {{{7, std::numeric_limits<float>::lowest()}}};
    segment.words = std::vector<WordTiming>{{" a", {7}, std::numeric_limits<float>::max(), 0, 1}};
    const auto text = nlohmann::ordered_json(segment).dump();
    EXPECT_EQ(nlohmann::json::parse(text).get<TranscriptionSegment>(), segment) << text;

    // A writer that prints every number as a double still means the integers.
    nlohmann::json spelled = nlohmann::json::parse(text);
    spelled["id"] = 3.0;
    spelled["seek"] = 480000.0;
    spelled["tokens"] = {50364.0};
    spelled["words"][0]["tokens"] = {7.0};
    const auto read = spelled.get<TranscriptionSegment>();
    EXPECT_EQ(read.id, 3);
    EXPECT_EQ(read.seek, 480000);
    EXPECT_EQ(read.tokens, std::vector<int64_t>{50364});
    EXPECT_EQ(read.words->front().tokens, std::vector<int64_t>{7});
}

TEST(TranscriptionSegmentTest, TwoSpellingsOfOneTokenIdAreRefused) {
    const nlohmann::json j = sample();
    const struct {
        nlohmann::json entry;
        std::optional<std::map<int64_t, float>> expected;
    } cases[] = {
        {{{"05", -1.0}}, std::map<int64_t, float>{{5, -1.0f}}},
        {{{"05", -1.0}, {"5", -2.0}}, std::nullopt},
        {{{"-0", -1.0}, {"0", -2.0}}, std::nullopt},
        {{{"5", -1.0}, {"6", -2.0}}, std::map<int64_t, float>{{5, -1.0f}, {6, -2.0f}}},
        {{{"+5", -1.0}}, std::nullopt},
        {{{"", -1.0}}, std::nullopt},
        {{{"99999999999999999999", -1.0}}, std::nullopt},
        {{{"5", nullptr}}, std::nullopt},
    };
    for (const auto& c : cases) {
        nlohmann::json changed = j;
        changed["tokenLogProbs"] = nlohmann::json::array({c.entry});
        std::optional<std::map<int64_t, float>> read;
        try {
            read = changed.get<TranscriptionSegment>().tokenLogProbs.at(0);
        } catch (const auralith::DecodingError& error) {
            EXPECT_TRUE(std::string(error.codingPath()).starts_with("tokenLogProbs[0]."))
                << error.what();
        }
        EXPECT_EQ(read, c.expected) << c.entry.dump();
    }
}
