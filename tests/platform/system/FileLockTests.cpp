#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/system/FileLock.hpp"
#include "support/TempDir.hpp"

namespace fs = std::filesystem;
using platform::FileLock;

// Two locks of one process must exclude each other as two processes would:
// a lock kept per process (as fcntl's are) would let two threads in.
TEST(FileLock, TwoLocksOfOneProcessExcludeEachOther) {
    testsupport::TempDir temp;
    const fs::path path = temp / "pack.lock";
    FileLock second(path);
    {
        FileLock first(path);
        ASSERT_TRUE(first.tryLock());
        EXPECT_TRUE(first.held());
        EXPECT_FALSE(second.tryLock());
        EXPECT_FALSE(second.held());
        first.unlock();
        EXPECT_TRUE(second.tryLock());
        EXPECT_FALSE(first.tryLock());
        second.unlock();
        ASSERT_TRUE(first.tryLock());
    }
    // Going away lets go of it.
    EXPECT_TRUE(second.tryLock());
    EXPECT_TRUE(fs::is_regular_file(path)) << "the file stays for the next one to lock";
}

TEST(FileLock, AHolderKilledWithSigkillHoldsNothingUp) {
    testsupport::TempDir temp;
    const fs::path path = temp / "pack.lock";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileLock lock(path);
        const char held = lock.tryLock() ? 'y' : 'n';
        if (::write(ready[1], &held, 1) != 1) _exit(2);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    FileLock lock(path);
    const bool whileHeld = lock.tryLock();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(held, 'y');
    EXPECT_FALSE(whileHeld) << "another process's lock was not seen";
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(lock.tryLock());
}

TEST(FileLock, OnlyARegularFileOfItsOwnIsLocked) {
    testsupport::TempDir temp;
    std::ofstream(temp / "target") << "keep";
    fs::create_symlink(temp / "target", temp / "link");
    fs::create_symlink(temp / "nowhere", temp / "dangling");
    fs::create_directory(temp / "folder");
    ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
    for (const char* name : {"link", "dangling", "folder", "fifo"}) {
        EXPECT_THROW(FileLock(temp / name), fs::filesystem_error) << name;
    }
    EXPECT_FALSE(fs::exists(temp / "nowhere")) << "a dangling link made its target";
    EXPECT_EQ(testsupport::readFile(temp / "target"), "keep");
    EXPECT_THROW(FileLock(temp / "missing" / "x.lock"), fs::filesystem_error);
}
