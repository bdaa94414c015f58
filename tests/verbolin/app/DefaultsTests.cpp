#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/settings/FileDefaults.hpp"
#include "verbolin/settings/MemoryDefaults.hpp"

using nlohmann::json;
using verbolin::Defaults;
using verbolin::FileDefaults;
using verbolin::MemoryDefaults;

TEST(DefaultsTest, TypedReadsTreatOtherTypesAsAbsent) {
    MemoryDefaults d(json{{"b", true},
                          {"s", "Desk Mic"},
                          {"n", 14.5},
                          {"i", 3},
                          {"z", nullptr},
                          {"sb", "true"},
                          {"nb", 1},
                          {"a", json::array({true})}});
    struct Case {
        const char* key;
        std::optional<bool> boolean;
        std::optional<std::string> string;
        std::optional<double> number;
    };
    const Case cases[] = {
        {"b", true, std::nullopt, std::nullopt},
        {"s", std::nullopt, "Desk Mic", std::nullopt},
        {"n", std::nullopt, std::nullopt, 14.5},
        {"i", std::nullopt, std::nullopt, 3.0},
        {"z", std::nullopt, std::nullopt, std::nullopt},
        {"sb", std::nullopt, "true", std::nullopt},  // a text "true" is not a bool
        {"nb", std::nullopt, std::nullopt, 1.0},     // nor is the number 1
        {"a", std::nullopt, std::nullopt, std::nullopt},
        {"missing", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(d.boolean(c.key), c.boolean) << c.key;
        EXPECT_EQ(d.string(c.key), c.string) << c.key;
        EXPECT_EQ(d.number(c.key), c.number) << c.key;
    }
}

TEST(DefaultsTest, SettersReplaceTheTypeAndOptionalStringNoneRemoves) {
    MemoryDefaults d;
    d.setString(Defaults::kInputDevice, "USB Mic");
    EXPECT_EQ(d.string(Defaults::kInputDevice), "USB Mic");
    d.setBool(Defaults::kInputDevice, false);
    EXPECT_EQ(d.string(Defaults::kInputDevice), std::nullopt);
    EXPECT_EQ(d.boolean(Defaults::kInputDevice), false);
    d.setOptionalString(Defaults::kInputDevice, "Other");
    EXPECT_EQ(d.string(Defaults::kInputDevice), "Other");
    d.setOptionalString(Defaults::kInputDevice, std::nullopt);
    EXPECT_FALSE(d.value(Defaults::kInputDevice));
    d.remove("never-set");  // removing an absent key is harmless
}

TEST(FileDefaultsTest, ChangesSurviveANewInstanceAndLeaveNoTemporaryFiles) {
    testsupport::TempDir tmp;
    const auto file = tmp.path() / "config" / "Verbolin" / "settings.json";
    {
        FileDefaults d(file);
        EXPECT_FALSE(d.value(Defaults::kAlwaysListen));
        d.setBool(Defaults::kAlwaysListen, false);
        d.setString(Defaults::kModelPack, "standard");
        d.setNumber(Defaults::kFontSize, 15);
        d.setString(Defaults::kInputDevice, "Desk");
        d.remove(Defaults::kInputDevice);
    }
    FileDefaults again(file);
    EXPECT_EQ(again.boolean(Defaults::kAlwaysListen), false);
    EXPECT_EQ(again.string(Defaults::kModelPack), "standard");
    EXPECT_EQ(again.number(Defaults::kFontSize), 15.0);
    EXPECT_FALSE(again.value(Defaults::kInputDevice));
    EXPECT_EQ(json::parse(testsupport::readFile(file)),
              (json{{"alwaysListen", false}, {"modelPack", "standard"}, {"fontSize", 15.0}}));

    size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(file.parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(FileDefaultsTest, UnreadableContentStartsEmptyAndIsSetAsideByTheNextWrite) {
    // The last is an object nested 100,000 deep: writing it back out would
    // recurse once per level.
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& content : {std::string("{ not json"), std::string("[1, 2]"),
                                       std::string("\"text\""), std::string(), deep}) {
        testsupport::TempDir tmp;
        const auto file = tmp.path() / "settings.json";
        std::ofstream(file) << content;
        FileDefaults d(file);
        EXPECT_FALSE(d.value(Defaults::kAlwaysOnTop)) << content.substr(0, 20);
        EXPECT_TRUE(testsupport::readFile(file) == content) << "reading alone changes nothing";
        d.setBool(Defaults::kAlwaysOnTop, true);
        d.setNumber(Defaults::kFontSize, 15);
        EXPECT_EQ(FileDefaults(file).boolean(Defaults::kAlwaysOnTop), true)
            << content.substr(0, 20);
        EXPECT_EQ(FileDefaults(file).number(Defaults::kFontSize), 15.0) << content.substr(0, 20);
        EXPECT_TRUE(testsupport::readFile(tmp.path() / "settings.json.damaged") == content);
    }
}

TEST(FileDefaultsTest, AnEarlierDamagedCopyIsNeverOverwritten) {
    testsupport::TempDir tmp;
    const auto file = tmp.path() / "settings.json";
    std::ofstream(tmp.path() / "settings.json.damaged") << "first";
    std::ofstream(file) << "second {";
    FileDefaults d(file);
    d.setBool(Defaults::kAlwaysOnTop, true);
    EXPECT_EQ(d.boolean(Defaults::kAlwaysOnTop), true);
    EXPECT_EQ(testsupport::readFile(tmp.path() / "settings.json.damaged"), "first");
    EXPECT_EQ(testsupport::readFile(file), "second {");
}

TEST(FileDefaultsTest, AFailedWriteKeepsTheValueInMemoryAndLeavesNoTemporaryFile) {
    testsupport::TempDir tmp;
    // The folder cannot be made: a file stands where it should be.
    std::ofstream(tmp.path() / "plain") << "x";
    FileDefaults blocked(tmp.path() / "plain" / "settings.json");
    blocked.setNumber(Defaults::kFontSize, 20);
    EXPECT_EQ(blocked.number(Defaults::kFontSize), 20.0);

    // The file cannot be replaced: a folder stands in its place.
    std::filesystem::create_directories(tmp.path() / "cfg" / "settings.json" / "inside");
    FileDefaults shadowed(tmp.path() / "cfg" / "settings.json");
    shadowed.setBool(Defaults::kAlwaysOnTop, true);
    EXPECT_EQ(shadowed.boolean(Defaults::kAlwaysOnTop), true);
    size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(tmp.path() / "cfg"))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(FileDefaultsTest, StandardPathFollowsTheConfigurationFolder) {
    testsupport::ScopedEnv env("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(FileDefaults::standardPath(),
              std::filesystem::path("/somewhere/config/Verbolin/settings.json"));
}
