// One listener per data folder: the lock is the folder's, however its path
// is spelt, and no other's; a lock file that is not what it should be
// leaves the run unguarded, not refused, and is never followed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/InstanceLock.hpp"

using verbolin::InstanceLock;
namespace fs = std::filesystem;

TEST(InstanceLock, OneHolderPerDataFolderHoweverItIsSpelt) {
    testsupport::TempDir home, runtime;
    const testsupport::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.path().string());
    fs::create_directories(home / "Verbolin");
    fs::create_directories(home / "Other");
    fs::create_symlink(home / "Verbolin", home / "link");
    const InstanceLock first(home / "Verbolin");
    ASSERT_TRUE(first.held());
    EXPECT_FALSE(first.problem());
    const struct {
        fs::path folder;
        bool held;
    } rows[] = {
        {home / "Verbolin", false},
        {home / "Verbolin/", false},
        {home / "Other/../Verbolin", false},
        {home / "link", false},
        {home / "Other", true},
        {home / "Verbolin/models", true},
        {home / "not yet made", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder.string());
        const InstanceLock second(row.folder);
        EXPECT_EQ(second.held(), row.held);
        if (row.held) continue;
        EXPECT_EQ(second.refusal(), "Verbolin is already listening for this data folder (" +
                                        row.folder.string() + ") in process " +
                                        std::to_string(::getpid()) + "; quit that one first.");
    }
    EXPECT_EQ(InstanceLock::lockFile(home / "Verbolin").parent_path(), runtime.path());
}

// What another holder left in the file is only read for the message:
// anything but a process id is not repeated.
TEST(InstanceLock, ALockFileThatIsNotOursIsHandledSafely) {
    testsupport::TempDir home, runtime;
    const testsupport::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.path().string());
    const fs::path lock = InstanceLock::lockFile(home / "Verbolin");
    {
        // A link in its place (planted by someone else) is not followed.
        fs::create_symlink(home / "target", lock);
        const InstanceLock linked(home / "Verbolin");
        EXPECT_TRUE(linked.held());
        ASSERT_TRUE(linked.problem());
        EXPECT_NE(linked.problem()->find(lock.string()), std::string::npos) << *linked.problem();
        EXPECT_FALSE(fs::exists(home / "target"));
        fs::remove(lock);
    }
    const InstanceLock holder(home / "Verbolin");
    ASSERT_TRUE(holder.held());
    std::ofstream(lock) << "12; rm -rf /\n";
    const InstanceLock second(home / "Verbolin");
    EXPECT_FALSE(second.held());
    EXPECT_EQ(second.refusal(), "Verbolin is already listening for this data folder (" +
                                    (home / "Verbolin").string() + "); quit that one first.");
}
