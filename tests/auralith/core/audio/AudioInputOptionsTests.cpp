#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

#include "auralith/core/audio/AudioInputOptions.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"

namespace {

using auralith::AudioInputOptions;
using ChannelMode = AudioInputOptions::ChannelMode;
using Json = nlohmann::ordered_json;

TEST(ChannelModeJSON, EncodesEachCaseAndDecodesItBack) {
    const struct {
        ChannelMode mode;
        const char* json;
    } cases[] = {
        {ChannelMode::specificChannel(2), R"({"specificChannel":{"_0":2}})"},
        {ChannelMode::sumChannels(std::vector<int64_t>{0, 1}), R"({"sumChannels":{"_0":[0,1]}})"},
        {ChannelMode::sumChannels(std::nullopt), R"({"sumChannels":{}})"},
        {ChannelMode::sumChannels(std::vector<int64_t>{}), R"({"sumChannels":{"_0":[]}})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.mode.toJSON().dump(), c.json);
        EXPECT_EQ(ChannelMode::fromJSON(Json::parse(c.json)), c.mode) << c.json;
    }
    EXPECT_EQ(ChannelMode::fromJSON(Json::parse(R"({"sumChannels":{"_0":null}})")),
              ChannelMode::sumChannels());
}

TEST(ChannelModeJSON, RefusesDocumentsWithoutExactlyOneCase) {
    for (const char* text : {"{}", R"({"specificChannel":{"_0":0},"sumChannels":{}})"}) {
        try {
            ChannelMode::fromJSON(Json::parse(text));
            ADD_FAILURE() << text;
        } catch (const auralith::DecodingError& e) {
            EXPECT_EQ(e.kind(), auralith::DecodingError::Kind::typeMismatch);
            EXPECT_EQ(e.debugDescription(), "Invalid number of keys found, expected one.");
        }
    }
    for (const char* text :
         {R"({"specificChannel":{}})", R"({"specificChannel":{"_0":"1"}})",
          R"({"sumChannels":{"_0":[1.5]}})", R"([1])", R"({"specificChannel":3})"})
        EXPECT_THROW(ChannelMode::fromJSON(Json::parse(text)), auralith::DecodingError) << text;
}

TEST(ChannelModeEquality, AbsentListDiffersFromEmptyAndHashesFollowEquality) {
    EXPECT_NE(ChannelMode::sumChannels(std::nullopt),
              ChannelMode::sumChannels(std::vector<int64_t>{}));
    EXPECT_NE(ChannelMode::specificChannel(0), ChannelMode::sumChannels(std::vector<int64_t>{0}));
    std::unordered_set<ChannelMode> set{
        ChannelMode::sumChannels(), ChannelMode::sumChannels(std::vector<int64_t>{}),
        ChannelMode::specificChannel(1), ChannelMode::specificChannel(1)};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_EQ(ChannelMode::sumChannels(std::vector<int64_t>{1, 0}).hashValue(),
              ChannelMode::sumChannels(std::vector<int64_t>{1, 0}).hashValue());
}

}  // namespace
