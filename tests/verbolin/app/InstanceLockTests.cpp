// One process per data folder, however its path is spelt and whatever the
// environment; read-only folders too; the lock goes with its holder.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/ScopedEnv.hpp"
#include "support/ScopedUmask.hpp"
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
        std::optional<std::string> runtime;  // none: unset, with TMPDIR elsewhere
        bool held;
    } rows[] = {
        {home / "Verbolin", runtime.path().string(), false},
        {home / "Verbolin", std::nullopt, false},
        {home / "Verbolin/", otherRuntime.path().string(), false},
        {home / "Other/../Verbolin", runtime.path().string(), false},
        {home / "link", std::nullopt, false},
        {home / "Other", runtime.path().string(), true},
        {home / "Verbolin/models", runtime.path().string(), true},
        {home / "not yet made", runtime.path().string(), true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder.string() + " runtime " + row.runtime.value_or("unset"));
        const testsupport::ScopedEnv rowRuntime("XDG_RUNTIME_DIR", row.runtime);
        const testsupport::ScopedEnv rowTmp("TMPDIR",
                                            row.runtime ? "/tmp" : otherRuntime.path().string());
        const InstanceLock second(row.folder);
        EXPECT_EQ(second.held(), row.held);
        EXPECT_FALSE(second.problem());
        if (row.held) continue;
        EXPECT_EQ(second.refusal(), refusedIn(row.folder, thisProcess()));
    }
    EXPECT_TRUE(fs::is_empty(runtime.path())) << "nothing is left in the runtime folder";
    EXPECT_TRUE(fs::is_empty(otherRuntime.path()));
}

// A first start makes the data folder private whatever the umask; a
// read-only folder is locked without a write, and a second start refused.
TEST(InstanceLock, AMissingFolderIsMadePrivateAndAReadOnlyOneIsLockedWithoutAWrite) {
    testsupport::TempDir home;
    {
        const testsupport::ScopedUmask umask(022);
        const InstanceLock fresh(home / "data/Verbolin");
        EXPECT_TRUE(fresh.held());
        EXPECT_FALSE(fresh.problem());
    }
    EXPECT_EQ(fs::status(home / "data/Verbolin").permissions(), fs::perms(0700));

    const fs::path readOnly = home / "read-only";
    fs::create_directories(readOnly);
    std::ofstream(readOnly / "transcript.sqlite") << "kept";
    fs::permissions(readOnly, fs::perms(0555));
    const auto changed = fs::last_write_time(readOnly);
    {
        const InstanceLock holder(readOnly);
        EXPECT_TRUE(holder.held());
        EXPECT_FALSE(holder.problem());
        const InstanceLock second(readOnly);
        EXPECT_FALSE(second.held());
        EXPECT_EQ(second.refusal(), refusedIn(readOnly, thisProcess()));
    }
    EXPECT_EQ(fs::last_write_time(readOnly), changed) << "something was written there";
    EXPECT_EQ(fs::status(readOnly).permissions(), fs::perms(0555)) << "the user's mode is kept";
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

// Until a first start moves the older folder into the data folder's place,
// the older folder is locked: a start beside it is refused before the move
// and after; no empty data folder is made in its way.
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

// A killed holder's lock is gone; until then the refusal names its process.
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
