// Verbolin's own folders left open are narrowed to their owner at start,
// keeping the owner's own access; a link's target, a file and the XDG base
// folders are untouched.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/PrivateFolders.hpp"

namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

}  // namespace

TEST(PrivateFolders, OnlyOurOwnFoldersLoseGroupAndOthersAccess) {
    testsupport::TempDir home;
    const struct {
        const char* name;
        mode_t before, after;
    } folders[] = {
        {"open", 0755, 0700},     {"read-only", 0555, 0500},   {"private", 0700, 0700},
        {"sticky", 01777, 01700}, {"others-only", 0707, 0700}, {"link-target", 0755, 0755},
    };
    for (const auto& f : folders) {
        fs::create_directories(home / f.name);
        ASSERT_EQ(::chmod((home / f.name).c_str(), f.before), 0) << f.name;
    }
    fs::create_symlink(home / "link-target", home / "link");
    std::ofstream(home / "file") << "kept";
    fs::permissions(home / "file", fs::perms(0644));

    for (const auto& f : folders) {
        if (std::string(f.name) == "link-target") continue;  // reached through the link only
        EXPECT_EQ(verbolin::makePrivate(home / f.name), "") << f.name;
    }
    for (const char* other : {"link", "file", "missing"})
        EXPECT_EQ(verbolin::makePrivate(home / other), "") << other;
    for (const auto& f : folders) EXPECT_EQ(modeOf(home / f.name), f.after) << f.name;
    EXPECT_EQ(modeOf(home / "file"), 0644u);
    EXPECT_EQ(verbolin::makePrivate(home / "file/below"), "")
        << "a path through a file is nothing to narrow";
}

// Ours: Verbolin's folders under the data, state and settings homes, or the
// older data folder a first start takes over; not the homes themselves.
TEST(PrivateFolders, TheDataStateAndSettingsFoldersAreNarrowedNotTheirHomes) {
    testsupport::TempDir home;
    const testsupport::ScopedEnv data("XDG_DATA_HOME", (home / "data").string());
    const testsupport::ScopedEnv state("XDG_STATE_HOME", (home / "state").string());
    const testsupport::ScopedEnv config("XDG_CONFIG_HOME", (home / "config").string());
    for (const char* folder :
         {"data/Echovane", "state/Verbolin", "config/Verbolin", "data/Other"}) {
        fs::create_directories(home / folder);
        fs::permissions(home / folder, fs::perms(0755));
    }
    for (const char* base : {"data", "state", "config"})
        fs::permissions(home / base, fs::perms(0755));

    EXPECT_TRUE(verbolin::makeOwnFoldersPrivate().empty());
    for (const char* folder : {"data/Echovane", "state/Verbolin", "config/Verbolin"})
        EXPECT_EQ(modeOf(home / folder), 0700u) << folder;
    for (const char* folder : {"data", "state", "config", "data/Other"})
        EXPECT_EQ(modeOf(home / folder), 0755u) << folder;

    // Once the data folder is there, the older one is someone else's again.
    fs::permissions(home / "data/Echovane", fs::perms(0755));
    fs::create_directories(home / "data/Verbolin");
    fs::permissions(home / "data/Verbolin", fs::perms(0755));
    EXPECT_TRUE(verbolin::makeOwnFoldersPrivate().empty());
    EXPECT_EQ(modeOf(home / "data/Verbolin"), 0700u);
    EXPECT_EQ(modeOf(home / "data/Echovane"), 0755u);
}
