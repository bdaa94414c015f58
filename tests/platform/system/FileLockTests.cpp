#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/system/FileLock.hpp"
#include "platform/system/FolderLock.hpp"
#include "support/TempDir.hpp"

namespace fs = std::filesystem;
using platform::FileLock;
using platform::FolderLock;

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

// The folder's own lock, met through any name of it, by threads of one
// process as by processes: of many that race for it, one gets it.
TEST(FolderLock, OneHolderOfAFolderHoweverItIsReached) {
    testsupport::TempDir temp;
    const fs::path folder = temp / "Verbolin";
    fs::create_directories(folder / "models");
    fs::create_symlink(folder, temp / "link");
    EXPECT_EQ(FolderLock::holder(folder), std::nullopt);
    {
        FolderLock first(folder);
        ASSERT_TRUE(first.tryLock());
        EXPECT_TRUE(first.tryLock()) << "taking it again keeps it";
        for (const fs::path& same : {folder, temp / "link", folder / "models/.."}) {
            FolderLock second(same);
            EXPECT_FALSE(second.tryLock()) << same;
            EXPECT_EQ(FolderLock::holder(same), ::getpid()) << same;
        }
        FolderLock inside(folder / "models");
        EXPECT_TRUE(inside.tryLock());
    }
    EXPECT_EQ(FolderLock::holder(folder), std::nullopt);

    std::atomic<int> winners{0};
    std::vector<std::unique_ptr<FolderLock>> locks(8);
    std::vector<std::thread> threads;
    for (auto& lock : locks)
        threads.emplace_back([&] {
            lock = std::make_unique<FolderLock>(folder);
            if (lock->tryLock()) ++winners;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(winners.load(), 1);

    for (const char* name : {"missing", "file"}) {
        if (name[0] == 'f') std::ofstream(temp / name) << "keep";
        EXPECT_THROW(FolderLock(temp / name), fs::filesystem_error) << name;
        EXPECT_EQ(FolderLock::holder(temp / name), std::nullopt) << name;
    }
}

// Only a flock on that very file, held (not waited for), names a holder;
// the table's other lines and anything malformed name none.
TEST(FolderLock, OnlyTheLockTablesLineOfThatFolderNamesItsHolder) {
    const struct {
        const char* line;
        std::optional<pid_t> holder;
    } rows[] = {
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:00:10961508 0 EOF", 4242},
        {"7: FLOCK  ADVISORY  READ 17 fe:00:10961508 0 EOF", 17},
        {"1: FLOCK  ADVISORY  WRITE 4242 FE:0:10961508 0 EOF", 4242},
        {"1: -> FLOCK  ADVISORY  WRITE 4243 fe:00:10961508 0 EOF", std::nullopt},
        {"2: POSIX  ADVISORY  WRITE 4244 fe:00:10961508 0 EOF", std::nullopt},
        {"3: OFDLCK ADVISORY  WRITE -1 fe:00:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:01:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fd:00:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:00:109615080 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:00:1096150 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 0 fe:00:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 99999999999999999999 fe:00:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242x fe:00:10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:00:10961508x 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242 fe::10961508 0 EOF", std::nullopt},
        {"1: FLOCK  ADVISORY  WRITE 4242", std::nullopt},
        {"1 FLOCK  ADVISORY  WRITE 4242 fe:00:10961508 0 EOF", std::nullopt},
        {"", std::nullopt},
        {"\x01\xff: FLOCK", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(platform::flockHolderIn(row.line, 0xfe, 0, 10961508), row.holder);
    }
    // Among other lines, the first that names it; a waiter before it is passed over.
    EXPECT_EQ(platform::flockHolderIn("1: POSIX  ADVISORY  WRITE 5 fe:00:10961508 0 EOF\n"
                                      "2: -> FLOCK  ADVISORY  WRITE 6 fe:00:10961508 0 EOF\n"
                                      "2: FLOCK  ADVISORY  WRITE 7 fe:00:10961508 0 EOF\n",
                                      0xfe, 0, 10961508),
              7);
}
