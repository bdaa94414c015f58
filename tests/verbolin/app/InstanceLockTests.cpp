// One process per data folder: the lock is the folder's own, however its
// path is spelt and whatever the environment of the process that asks; a
// read-only folder is guarded too; a folder that cannot be locked leaves
// the run unguarded, not refused; and the lock goes with its holder.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/InstanceLock.hpp"

using verbolin::InstanceLock;
namespace fs = std::filesystem;

namespace {

std::string refusedIn(const fs::path& folder, const std::string& process) {
    return "Verbolin is already running for this data folder (" + folder.string() + ") in " +
           process + "; quit that one first.";
}

std::string thisProcess() { return "process " + std::to_string(::getpid()); }

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(InstanceLock, OneHolderPerDataFolderHoweverItIsSpeltAndWhateverTheEnvironment) {
    testsupport::TempDir home, runtime, otherRuntime;
    const testsupport::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.path().string());
    fs::create_directories(home / "Verbolin");
    fs::create_directories(home / "Other");
    fs::create_symlink(home / "Verbolin", home / "link");
    const InstanceLock first(home / "Verbolin");
    ASSERT_TRUE(first.held());
    EXPECT_FALSE(first.problem());
    const struct {
        fs::path folder;
        std::optional<std::string> runtime;  // none: unset
        const char* tmpdir;
        bool held;
    } rows[] = {
        {home / "Verbolin", runtime.path().string(), "/tmp", false},
        {home / "Verbolin", otherRuntime.path().string(), "/tmp", false},
        {home / "Verbolin", std::nullopt, "/tmp", false},
        {home / "Verbolin", std::nullopt, otherRuntime.path().c_str(), false},
        {home / "Verbolin/", otherRuntime.path().string(), "/tmp", false},
        {home / "Other/../Verbolin", runtime.path().string(), "/tmp", false},
        {home / "link", std::nullopt, "/tmp", false},
        {home / "Other", runtime.path().string(), "/tmp", true},
        {home / "Verbolin/models", runtime.path().string(), "/tmp", true},
        {home / "not yet made", runtime.path().string(), "/tmp", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder.string() + " runtime " + row.runtime.value_or("unset") + " tmp " +
                     row.tmpdir);
        const testsupport::ScopedEnv rowRuntime("XDG_RUNTIME_DIR", row.runtime);
        const testsupport::ScopedEnv rowTmp("TMPDIR", row.tmpdir);
        const InstanceLock second(row.folder);
        EXPECT_EQ(second.held(), row.held);
        EXPECT_FALSE(second.problem());
        if (row.held) continue;
        EXPECT_EQ(second.refusal(), refusedIn(row.folder, thisProcess()));
    }
    EXPECT_TRUE(fs::is_empty(runtime.path())) << "nothing is left in the runtime folder";
    EXPECT_TRUE(fs::is_empty(otherRuntime.path()));
}

// A first start makes the data folder private to the user whatever the
// umask; a folder the user made read-only is locked without a write, and
// the one that comes second is refused all the same.
TEST(InstanceLock, AMissingFolderIsMadePrivateAndAReadOnlyOneIsLockedWithoutAWrite) {
    testsupport::TempDir home;
    const mode_t before = ::umask(022);
    {
        const InstanceLock fresh(home / "data/Verbolin");
        EXPECT_TRUE(fresh.held());
        EXPECT_FALSE(fresh.problem());
    }
    ::umask(before);
    EXPECT_EQ(modeOf(home / "data/Verbolin"), 0700u);

    const fs::path readOnly = home / "read-only";
    fs::create_directories(readOnly);
    std::ofstream(readOnly / "transcript.sqlite") << "kept";
    fs::permissions(readOnly, fs::perms(0555));
    struct stat unchanged {};
    ASSERT_EQ(::stat(readOnly.c_str(), &unchanged), 0);
    {
        const InstanceLock holder(readOnly);
        EXPECT_TRUE(holder.held());
        EXPECT_FALSE(holder.problem());
        const InstanceLock second(readOnly);
        EXPECT_FALSE(second.held());
        EXPECT_EQ(second.refusal(), refusedIn(readOnly, thisProcess()));
    }
    struct stat after {};
    ASSERT_EQ(::stat(readOnly.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, unchanged.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, unchanged.st_mtim.tv_nsec) << "something was written there";
    EXPECT_EQ(modeOf(readOnly), 0555u) << "the user's mode is kept";
    fs::permissions(readOnly, fs::perms(0700));
}

// What cannot be a data folder leaves the run unguarded with the reason,
// and nothing is made or followed in its place.
TEST(InstanceLock, AFolderThatCannotBeLockedLeavesTheRunUnguardedAndSaysWhy) {
    testsupport::TempDir home;
    std::ofstream(home / "a file") << "keep";
    fs::create_symlink(home / "nowhere", home / "dangling");
    const struct {
        fs::path folder;
        const char* reason;
    } rows[] = {
        {home / "a file", "Not a directory"},
        {home / "a file/Verbolin", "Not a directory"},
        {home / "dangling", "No such file or directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder.string());
        const InstanceLock lock(row.folder);
        EXPECT_TRUE(lock.held());
        ASSERT_TRUE(lock.problem());
        EXPECT_EQ(lock.problem()->rfind("cannot make sure no other Verbolin runs for " +
                                            row.folder.string() + " (" + row.reason,
                                        0),
                  0u)
            << *lock.problem();
    }
    EXPECT_EQ(testsupport::readFile(home / "a file"), "keep");
    EXPECT_FALSE(fs::exists(home / "nowhere")) << "a dangling link's target was made";
}

// A first start takes an older folder over by moving it into the data
// folder's place. Until then the older folder is what is locked: a start
// beside it is refused before the move and after it, since the move keeps
// the folder and its lock; and no empty data folder is made in its way.
TEST(InstanceLock, TheFolderAFirstStartTakesOverIsLockedInItsStead) {
    testsupport::TempDir home;
    fs::create_directories(home / "Echovane");
    const InstanceLock first(home / "Verbolin", home / "Echovane");
    ASSERT_TRUE(first.held());
    EXPECT_FALSE(first.problem());
    EXPECT_FALSE(fs::exists(home / "Verbolin"));
    {
        const InstanceLock beforeTheMove(home / "Verbolin", home / "Echovane");
        EXPECT_FALSE(beforeTheMove.held());
        EXPECT_EQ(beforeTheMove.refusal(), refusedIn(home / "Verbolin", thisProcess()));
    }
    fs::rename(home / "Echovane", home / "Verbolin");
    const InstanceLock afterTheMove(home / "Verbolin", home / "Echovane");
    EXPECT_FALSE(afterTheMove.held());
    EXPECT_EQ(InstanceLock::holder(home / "Verbolin"), ::getpid());
}

// The kernel lets go of a killed holder's lock; until then the refusal
// names the holder's process, as the kernel's lock table does.
TEST(InstanceLock, TheLockDiesWithAKilledHolder) {
    testsupport::TempDir home;
    fs::create_directories(home / "Verbolin");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const InstanceLock holder(home / "Verbolin");
        const char held = holder.held() ? 'y' : 'n';
        if (::write(ready[1], &held, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(held, 'y');
    {
        const InstanceLock second(home / "Verbolin");
        EXPECT_FALSE(second.held());
        EXPECT_EQ(second.refusal(),
                  refusedIn(home / "Verbolin", "process " + std::to_string(child)));
        EXPECT_EQ(InstanceLock::holder(home / "Verbolin"), child);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(InstanceLock::holder(home / "Verbolin"), std::nullopt);
    const InstanceLock after(home / "Verbolin");
    EXPECT_TRUE(after.held());
}
