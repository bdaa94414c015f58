#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/Constants.hpp"
#include "auralith/core/ModelSupportConfig.hpp"
#include "auralith/utilities/LogCapture.hpp"

using auralith::Constants;
using auralith::DecodingError;
using auralith::DeviceSupport;
using auralith::ModelSupport;
using auralith::ModelSupportConfig;
using Json = nlohmann::ordered_json;
using Names = std::vector<std::string>;

namespace {

class ModelSupportConfigTest : public auralith::testing::LogCaptureTest {};

const ModelSupport& fallbackRow(int number) {
    return Constants::fallbackModelSupportConfig().deviceSupports.at(number - 1).models;
}

DeviceSupport row(std::optional<std::string> chips, Names identifiers, std::string defaultModel,
                  Names supported) {
    return DeviceSupport{std::move(chips), std::move(identifiers),
                         ModelSupport{std::move(defaultModel), std::move(supported), {}}};
}

constexpr const char* kSmallTable =
    R"({"name":"foo","version":"1.2","device_support":[)"
    R"({"chips":"M9","identifiers":["Mac99"],"models":{"default":"b","supported":["a","b"]}},)"
    R"({"identifiers":["Phone1","Phone2"],"models":{"default":"c","supported":["c","a"]}}]})";

}  // namespace

TEST_F(ModelSupportConfigTest, LongestIdentifierPrefixPicksTheRow) {
    const auto& table = Constants::fallbackModelSupportConfig();
    struct Row {
        const char* device;
        int expectedRow;  // 0: no row matches
    };
    const Row rows[] = {
        {"Mac14,2", 4},    {"iPad13,18", 5},    {"iPad13,1", 5},
        {"iPad13,10", 3},  {"iPad14,10", 4},    {"Mac13,1", 3},
        {"iPad15,7", 2},   {"iPhone14,5", 6},   {"Watch7,1", 1},
        {"iPhone10,3", 0}, {"linux-x86_64", 0}, {"Standard PC (Q35 + ICH9, 2009)", 0},
        {"", 0},           {"mac14,2", 0},
    };
    for (const Row& r : rows) {
        const ModelSupport& found = table.modelSupport(r.device);
        if (r.expectedRow == 0) {
            EXPECT_EQ(&found, &table.defaultSupport.models) << r.device;
        } else {
            EXPECT_EQ(&found, &fallbackRow(r.expectedRow)) << r.device;
        }
    }
    EXPECT_EQ(table.modelSupport("Mac14,2").defaultModel, "openai_whisper-large-v3-v20240930");
}

TEST_F(ModelSupportConfigTest, NoMatchGivesTheDefaultSupportOfAllKnownModels) {
    const auto& table = Constants::fallbackModelSupportConfig();
    const ModelSupport& models = table.modelSupport("linux-x86_64");
    EXPECT_EQ(models.defaultModel, "openai_whisper-base");
    EXPECT_EQ(models.supported, Constants::knownModels());
    EXPECT_TRUE(models.disabled.empty());
    EXPECT_FALSE(table.defaultSupport.chips);
    EXPECT_TRUE(table.defaultSupport.identifiers.empty());

    const ModelSupportConfig empty("foo", "1", {}, false);
    EXPECT_EQ(&empty.modelSupport("Mac14,2"), &empty.defaultSupport.models);
    EXPECT_TRUE(empty.defaultSupport.models.supported.empty());
}

TEST_F(ModelSupportConfigTest, LookupLogsTheMatchOrTheFallbackToDefault) {
    capture(vortil::Logging::LogLevel::debug);
    const auto& table = Constants::fallbackModelSupportConfig();
    table.modelSupport("iPhone14,5");
    table.modelSupport("Dell Inc. XPS 13");
    EXPECT_EQ(taken(),
              (Names{R"(Matched iPhone14,5 to devices: ["iPhone14", "iPad14,1", "iPad14,2"])",
                     "No device support found for Dell Inc. XPS 13, using default"}));

    capture(vortil::Logging::LogLevel::info);
    table.modelSupport("Mac15,3");
    table.modelSupport("linux-aarch64");
    EXPECT_EQ(taken(), (Names{"No device support found for linux-aarch64, using default"}));
}

TEST_F(ModelSupportConfigTest, EqualLengthMatchesKeepTheEarlierRow) {
    const ModelSupportConfig table("foo", "1",
                                   {row(std::nullopt, {"Mac9"}, "first", {"a"}),
                                    row(std::nullopt, {"Mac9", "Mac9,1"}, "second", {"b"}),
                                    row(std::nullopt, {"Mac9,1"}, "third", {"c"})},
                                   false);
    EXPECT_EQ(table.modelSupport("Mac9,2").defaultModel, "first");
    EXPECT_EQ(table.modelSupport("Mac9,1").defaultModel, "second");
}

TEST_F(ModelSupportConfigTest, KnownModelsAndDisabledListsAreDerivedFromTheRows) {
    const ModelSupportConfig table(
        "foo", "1",
        {row("X1", {"A"}, "m2", {"m2", "m1"}), row("X2", {"B"}, "m3", {"m1", "m3", "m4"})}, false);
    EXPECT_EQ(table.knownModels, (Names{"m2", "m1", "m3", "m4"}));
    EXPECT_EQ(table.deviceSupports[0].models.disabled, (Names{"m3", "m4"}));
    EXPECT_EQ(table.deviceSupports[1].models.disabled, (Names{"m2"}));
    EXPECT_EQ(table.defaultSupport.models,
              (ModelSupport{"openai_whisper-base", {"m2", "m1", "m3", "m4"}, {}}));
}

TEST_F(ModelSupportConfigTest, RemoteTableNamedLikeTheFallbackIsMerged) {
    const Names own = {"custom-model", "openai_whisper-small"};
    const ModelSupportConfig merged("auralith-coreml", "1.0",
                                    {row("M2", {"Mac14"}, "custom-model", own)}, true);
    const auto& fallback = Constants::fallbackModelSupportConfig().deviceSupports;
    ASSERT_EQ(merged.deviceSupports.size(), 6u);

    const DeviceSupport& first = merged.deviceSupports[0];
    EXPECT_EQ(first.chips, "M2");
    EXPECT_EQ(first.identifiers, Names{"Mac14"});
    EXPECT_EQ(first.models.defaultModel, "custom-model");
    // Its own models first; a fallback model it already lists keeps its own place.
    Names expectedSupported = own;
    for (const std::string& name : fallback[3].models.supported)
        if (name != "openai_whisper-small") expectedSupported.push_back(name);
    EXPECT_EQ(first.models.supported, expectedSupported);
    EXPECT_EQ(first.models.supported.size(), 23u);
    EXPECT_TRUE(first.models.disabled.empty());  // it supports every known model

    const int followers[] = {0, 1, 2, 4, 5};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(merged.deviceSupports[i + 1].identifiers, fallback[followers[i]].identifiers);
        EXPECT_EQ(merged.deviceSupports[i + 1].models.supported,
                  fallback[followers[i]].models.supported);
    }
    EXPECT_EQ(merged.knownModels, expectedSupported);
    EXPECT_EQ(merged.deviceSupports[1].models.disabled.size(), 23u - 4u);
}

TEST_F(ModelSupportConfigTest, RemoteTableWithAnotherNameOrWithoutFallbackStandsAlone) {
    const struct {
        const char* name;
        bool includeFallback;
    } cases[] = {{"foo", true}, {"auralith-coreml-fallback-v2", true}, {"auralith-coreml", false}};
    for (const auto& c : cases) {
        const ModelSupportConfig table(c.name, "1", {row(std::nullopt, {"Mac14"}, "a", {"a"})},
                                       c.includeFallback);
        ASSERT_EQ(table.deviceSupports.size(), 1u) << c.name;
        EXPECT_EQ(table.knownModels, Names{"a"});
        EXPECT_EQ(&table.modelSupport("iPhone15,2"), &table.defaultSupport.models);
    }
}

TEST_F(ModelSupportConfigTest, RemoteRowWithoutSharedIdentifierIsKeptUnchanged) {
    const ModelSupportConfig merged("coreml", "1", {row("Z", {"Mac99"}, "z", {"z"})}, true);
    ASSERT_EQ(merged.deviceSupports.size(), 7u);
    EXPECT_EQ(merged.deviceSupports[0].models.supported, Names{"z"});
    EXPECT_EQ(merged.modelSupport("Mac99,1").defaultModel, "z");
    EXPECT_EQ(merged.modelSupport("Mac14,1").defaultModel, "openai_whisper-large-v3-v20240930");
}

TEST_F(ModelSupportConfigTest, JSONRoundTripWritesOnlyTheFileKeys) {
    const ModelSupportConfig table = ModelSupportConfig::fromJSON(Json::parse(kSmallTable));
    EXPECT_EQ(table.repoName, "foo");
    EXPECT_EQ(table.repoVersion, "1.2");
    ASSERT_EQ(table.deviceSupports.size(), 2u);
    EXPECT_EQ(table.deviceSupports[0].models.disabled, Names{"c"});
    EXPECT_EQ(table.deviceSupports[1].models.disabled, Names{"b"});
    EXPECT_FALSE(table.deviceSupports[1].chips);

    const std::string text = table.toJSON().dump();
    EXPECT_EQ(text, kSmallTable);
    const ModelSupportConfig again = ModelSupportConfig::fromJSON(Json::parse(text));
    EXPECT_EQ(again.deviceSupports, table.deviceSupports);
    EXPECT_EQ(again.knownModels, (Names{"a", "b", "c"}));
}

TEST_F(ModelSupportConfigTest, DecodedTableIsMergedWithTheFallback) {
    Json json = Json::parse(kSmallTable);
    json["name"] = "coreml";
    const ModelSupportConfig table = ModelSupportConfig::fromJSON(json);
    EXPECT_EQ(table.deviceSupports.size(), 8u);
    EXPECT_EQ(table.modelSupport("Mac99").defaultModel, "b");
    EXPECT_EQ(table.modelSupport("iPad13,10").defaultModel,
              "openai_whisper-large-v3-v20240930_626MB");
}

TEST_F(ModelSupportConfigTest, MissingRequiredKeysFailAndNullChipsIsAbsent) {
    const Json base = Json::parse(kSmallTable);
    struct Row {
        const char* description;
        std::function<void(Json&)> edit;
        std::string missingKey;
    };
    const Row rows[] = {
        {"name", [](Json& j) { j.erase("name"); }, "name"},
        {"version", [](Json& j) { j.erase("version"); }, "version"},
        {"device_support", [](Json& j) { j.erase("device_support"); }, "device_support"},
        {"identifiers", [](Json& j) { j["device_support"][1].erase("identifiers"); },
         "identifiers"},
        {"models", [](Json& j) { j["device_support"][0].erase("models"); }, "models"},
        {"default", [](Json& j) { j["device_support"][0]["models"].erase("default"); }, "default"},
        {"supported", [](Json& j) { j["device_support"][1]["models"].erase("supported"); },
         "supported"},
    };
    for (const Row& r : rows) {
        Json json = base;
        r.edit(json);
        try {
            ModelSupportConfig::fromJSON(json);
            ADD_FAILURE() << "decoded without " << r.description;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << r.description;
            EXPECT_EQ(error.codingPath(), r.missingKey);
        }
    }
    Json json = base;
    json["device_support"][0]["chips"] = nullptr;
    EXPECT_FALSE(ModelSupportConfig::fromJSON(json).deviceSupports[0].chips);
    json["device_support"][0]["identifiers"] = "Mac99";
    EXPECT_THROW(ModelSupportConfig::fromJSON(json), DecodingError);
}
