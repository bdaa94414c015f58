#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

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

// A holder that removes the file as it lets go leaves nothing behind, and
// never lets two in: one that opened the old file before the removal and one
// that opens the new file after it must still exclude each other.
TEST(FileLock, RemovingTheFileOnUnlockNeverLetsTwoIn) {
    testsupport::TempDir temp;
    const fs::path path = temp / "pack.lock";
    {
        FileLock holder(path), waiter(path);
        ASSERT_TRUE(holder.tryLock());
        EXPECT_FALSE(waiter.tryLock());
        holder.unlockAndRemove();
        EXPECT_FALSE(fs::exists(path));
        FileLock newcomer(path);  // makes a new file at the path
        ASSERT_TRUE(newcomer.tryLock());
        EXPECT_FALSE(waiter.tryLock()) << "the waiter took the removed file's lock";
        newcomer.unlockAndRemove();
        EXPECT_TRUE(waiter.tryLock());
        waiter.unlockAndRemove();
    }
    EXPECT_FALSE(fs::exists(path));

    // Threads that take and remove it in turns: at most one inside at a time.
    std::atomic<int> inside{0}, most{0}, entries{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                FileLock lock(path);
                while (!lock.tryLock()) std::this_thread::yield();
                const int now = ++inside;
                most = std::max(most.load(), now);
                ++entries;
                --inside;
                lock.unlockAndRemove();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(entries.load(), 800);
    EXPECT_FALSE(fs::exists(path));
}
