#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "support/ScopedEnv.hpp"
#include "support/SmallDisk.hpp"
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

// Every write or removal is told with its key, once the new value reads
// back; removing an absent key is no change; an ended observation hears no more.
TEST(DefaultsTest, ChangesAreToldWithTheValueInPlaceUntilTheObservationEnds) {
    testsupport::TempDir tmp;
    MemoryDefaults memory;
    FileDefaults file(tmp.path() / "settings.json");
    for (Defaults* d : std::initializer_list<Defaults*>{&memory, &file}) {
        std::vector<std::string> heard;
        auto token = d->observeChanges([&](std::string_view key) {
            const auto v = d->value(key);
            heard.push_back(std::string(key) + "=" + (v ? v->dump() : "absent"));
        });
        struct Step {
            std::function<void()> change;
            std::vector<std::string> heard;  // all told so far
        } steps[] = {
            {[&] { d->setBool(Defaults::kAlwaysOnTop, true); }, {"alwaysOnTop=true"}},
            {[&] { d->setNumber(Defaults::kFontSize, 40); }, {"alwaysOnTop=true", "fontSize=40.0"}},
            {[&] { d->remove(Defaults::kAlwaysOnTop); },
             {"alwaysOnTop=true", "fontSize=40.0", "alwaysOnTop=absent"}},
            {[&] { d->remove("never-set"); },
             {"alwaysOnTop=true", "fontSize=40.0", "alwaysOnTop=absent"}},
            {[&] {
                 token.cancel();
                 d->setBool(Defaults::kAlwaysOnTop, false);
             },
             {"alwaysOnTop=true", "fontSize=40.0", "alwaysOnTop=absent"}},
        };
        for (auto& step : steps) {
            step.change();
            EXPECT_EQ(heard, step.heard);
        }
    }
}

// A handler may write a setting itself, and may end its own or another's
// observation; one ended on the way is not called.
TEST(DefaultsTest, HandlersMayWriteAndEndObservations) {
    MemoryDefaults d;
    std::vector<std::string> calls;
    platform::ObservationToken first, second;
    first = d.observeChanges([&](std::string_view key) {
        calls.push_back("first " + std::string(key));
        if (key == "a") d.setBool("b", true);  // told to both, inside this call
        if (key == "c") {
            first.cancel();
            second.cancel();
        }
    });
    second = d.observeChanges(
        [&](std::string_view key) { calls.push_back("second " + std::string(key)); });
    d.setBool("a", true);
    d.setBool("c", true);
    d.setBool("d", true);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"first a", "first b", "second b", "second a", "first c"}));
    EXPECT_EQ(d.boolean("b"), true);
}

// Writers on other threads while the observation ends: once the token's end
// returns, no call is running or starts, so what the handler uses may go.
TEST(DefaultsTest, EndingAnObservationWaitsForACallInProgress) {
    testsupport::TempDir tmp;
    MemoryDefaults memory;
    FileDefaults file(tmp.path() / "settings.json");
    for (Defaults* d : std::initializer_list<Defaults*>{&memory, &file}) {
        auto counter = std::make_unique<std::atomic<int>>(0);
        std::atomic<bool> stop{false};
        auto token = d->observeChanges([&d, raw = counter.get()](std::string_view) {
            raw->fetch_add(1);
            (void)d->value("k");  // a handler may read settings
        });
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&, t] {
                for (int i = 0; !stop.load() && i < 2000; ++i)
                    d->setNumber("k" + std::to_string(t), i);
            });
        while (counter->load() < 20) std::this_thread::yield();
        token.cancel();
        const int atEnd = counter->load();
        counter.reset();  // would be used after free by a late call
        stop = true;
        for (auto& w : writers) w.join();
        EXPECT_GE(atEnd, 20);
    }
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
    EXPECT_FALSE(again.problem()) << *again.problem();
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
    // Why, as said: where a hand edit broke it, so that it can be mended there.
    const struct {
        std::string content;
        std::string why;
    } rows[] = {
        {"{ not json", "it does not parse as JSON at line 1, column 4"},
        {"{\n  \"alwaysOnTop\": true,\n  \"fontSize\": 15,\n}\n",
         "it does not parse as JSON at line 4, column 1"},
        {"{\"fontSize\": 1e400}", "it does not parse as JSON"},
        {"{\"inputDevice\": \"mic\xff\"}", "it does not parse as JSON at line 1, column 21"},
        {"[1, 2]", "it holds no settings object"},
        {"\"text\"", "it holds no settings object"},
        {"", "it does not parse as JSON at line 1, column 1"},
        {deep, "it does not parse as JSON at byte 517"},
    };
    for (const auto& [content, why] : rows) {
        testsupport::TempDir tmp;
        const auto file = tmp.path() / "settings.json";
        std::ofstream(file) << content;
        FileDefaults d(file);
        EXPECT_FALSE(d.value(Defaults::kAlwaysOnTop)) << content.substr(0, 20);
        // Said, for the window to show: what was reset, which file, where it goes.
        ASSERT_TRUE(d.problem());
        EXPECT_EQ(*d.problem(), "Settings reset: " + file.string() + " could not be read (" + why +
                                    "); it is kept, and set aside as settings.json.damaged when "
                                    "a setting changes.");
        EXPECT_TRUE(testsupport::readFile(file) == content) << "reading alone changes nothing";
        d.setBool(Defaults::kAlwaysOnTop, true);
        d.setNumber(Defaults::kFontSize, 15);
        EXPECT_EQ(FileDefaults(file).boolean(Defaults::kAlwaysOnTop), true)
            << content.substr(0, 20);
        EXPECT_EQ(FileDefaults(file).number(Defaults::kFontSize), 15.0) << content.substr(0, 20);
        EXPECT_TRUE(testsupport::readFile(tmp.path() / "settings.json.damaged") == content);
    }
}

// Only a regular file can be set aside; a folder in its place is not
// promised to be, and a missing file is no problem at all.
TEST(FileDefaultsTest, WhatIsSaidOfSettingsThatAreNotAFile) {
    testsupport::TempDir tmp;
    std::filesystem::create_directories(tmp.path() / "settings.json");
    FileDefaults folder(tmp.path() / "settings.json");
    ASSERT_TRUE(folder.problem());
    EXPECT_NE(folder.problem()->find("(not a file)"), std::string::npos) << *folder.problem();
    EXPECT_EQ(folder.problem()->find(".damaged"), std::string::npos) << *folder.problem();
    EXPECT_FALSE(FileDefaults(tmp.path() / "missing.json").problem());
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

namespace {

// What the process writes to standard error while it lives.
class StderrCapture {
  public:
    explicit StderrCapture(std::filesystem::path file) : file_(std::move(file)) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return testsupport::readFile(file_);
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::filesystem::path file_;
    int saved_ = -1;
};

}  // namespace

// A change made while the disk is full is said, leaves the file as it was,
// and is written with the next change once there is room.
TEST(FileDefaultsTest, AChangeOnAFullDiskIsSaidAndWrittenWithTheNextOne) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    testsupport::TempDir logs;
    const auto file = disk / "settings.json";
    FileDefaults d(file);
    d.setNumber(Defaults::kFontSize, 20);
    const std::string before = testsupport::readFile(file);
    disk.fill();
    std::string said;
    {
        StderrCapture capture(logs / "stderr.txt");
        d.setString(Defaults::kInputDevice, std::string(8192, 'm'));  // more than a page
        said = capture.text();
    }
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
    EXPECT_NE(said.find(file.string()), std::string::npos) << said;
    EXPECT_EQ(testsupport::readFile(file), before);
    for (const auto& entry : std::filesystem::directory_iterator(disk.path()))
        EXPECT_EQ(entry.path().filename().string().find("settings.json."), std::string::npos)
            << entry.path();
    disk.makeRoom();
    d.setBool(Defaults::kAlwaysOnTop, true);
    EXPECT_EQ(
        json::parse(testsupport::readFile(file)),
        (json{{"fontSize", 20.0}, {"inputDevice", std::string(8192, 'm')}, {"alwaysOnTop", true}}));
}
