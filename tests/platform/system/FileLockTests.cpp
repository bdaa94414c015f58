#include <gtest/gtest.h>
#include <sys/stat.h>

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
