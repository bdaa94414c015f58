#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/system/AtomicWrite.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"

namespace fs = std::filesystem;

TEST(WriteFileAtomically, AFailedWriteKeepsTheOldContent) {
    testsupport::TempDir temp;
    EXPECT_THROW(platform::writeFileAtomically(temp / "missing" / "f", "x"), fs::filesystem_error);

    platform::writeFileAtomically(temp / "f", "a much longer old content");
    platform::writeFileAtomically(temp / "f", "new");
    EXPECT_EQ(testsupport::readFile(temp / "f"), "new");
    // A folder standing where the file should be cannot be replaced by a file.
    fs::create_directories(temp / "taken" / "inner");
    EXPECT_THROW(platform::writeFileAtomically(temp / "taken", "x"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(temp / "taken" / "inner"));
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 2)
        << "no temporary file is left";
}

namespace {

mode_t permissions(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }

  private:
    mode_t old_;
};

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(WriteFileAtomically, NewAndReplacedFilesGetTheUmasksMode) {
    testsupport::TempDir temp;
    const struct {
        mode_t umask;
        mode_t expected;
    } cases[] = {{022, 0644}, {077, 0600}, {002, 0664}, {0, 0666}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.umask);
        const fs::path fresh = temp / ("fresh" + std::to_string(c.umask));
        const fs::path old = temp / ("old" + std::to_string(c.umask));
        std::ofstream(old) << "old";
        fs::permissions(old, fs::perms(0600));
        {
            ScopedUmask mask(c.umask);
            platform::writeFileAtomically(fresh, "new");
            platform::writeFileAtomically(old, "new");
        }
        EXPECT_EQ(permissions(fresh), c.expected);
        EXPECT_EQ(permissions(old), c.expected);
        EXPECT_EQ(testsupport::readFile(old), "new");
    }
}

// Writers killed at random points leave temporaries; the next write to the
// same target removes those, and nothing else.
TEST(WriteFileAtomically, LeftoversOfKilledWritesGoWithTheNextWrite) {
    testsupport::TempDir temp;
    const fs::path target = temp / "result.srt";
    platform::writeFileAtomically(target, "first");
    // Names a user or another program may use: none of them is ours.
    const std::vector<std::string> others = {"result.srt.backup",          "result.srt.Ab12Cd",
                                             "other.srt.Ab12Cd.tmp",       "result.srt.Ab1.tmp",
                                             "result.srt.Ab12Cd.tmp.keep", "result.srtx.Ab12Cd.tmp",
                                             "result.srt.Ab-2Cd.tmp"};
    for (const auto& name : others) std::ofstream(temp / name) << name;
    fs::create_directory(temp / "result.srt.Zz99Zz.tmp");

    const std::string big(1 << 20, 'x');
    std::mt19937 random(7);
    // Kills that caught a write before its rename (each killed child's own
    // first write may already have cleared what the one before left).
    int interrupted = 0;
    for (int kill = 0; kill < 300 && interrupted < 3; ++kill) {
        // The child says when its first write is done, so the kill falls among
        // writes however long a fork takes (seconds under a sanitizer).
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(started[0]);
            platform::writeFileAtomically(target, big);
            if (::write(started[1], "w", 1) != 1) ::_exit(1);
            for (;;) platform::writeFileAtomically(target, big);
        }
        ::close(started[1]);
        char byte = 0;
        const bool running = ::read(started[0], &byte, 1) == 1;
        ::close(started[0]);
        ASSERT_TRUE(running) << "the writing child ended before its first write";
        ::usleep(useconds_t(random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (entries(temp.path()).size() > others.size() + 2) ++interrupted;
    }
    ASSERT_GE(interrupted, 3) << "the kills should have interrupted some writes";

    platform::writeFileAtomically(target, "last");
    EXPECT_EQ(testsupport::readFile(target), "last");
    std::vector<std::string> expected = others;
    expected.push_back("result.srt");
    expected.push_back("result.srt.Zz99Zz.tmp");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(temp.path()), expected);
    for (const auto& name : others) EXPECT_EQ(testsupport::readFile(temp / name), name);
}

// The clean-up must never take the temporary of a write still running, in
// this process or another.
TEST(WriteFileAtomically, ConcurrentWritesOfOneTargetAllSucceed) {
    testsupport::TempDir temp;
    const fs::path target = temp / "shared.json";
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            const std::string content(size_t(20000 + t), char('a' + t));
            for (int i = 0; i < 40; ++i) {
                try {
                    platform::writeFileAtomically(target, content);
                } catch (const fs::filesystem_error&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(failures.load(), 0);
    const std::string last = testsupport::readFile(target);
    ASSERT_GE(last.size(), 20000u);
    EXPECT_EQ(last, std::string(last.size(), last[0])) << "one write's whole content";
    EXPECT_EQ(entries(temp.path()), std::vector<std::string>{"shared.json"});
}

// A full disk fails the write with the system's reason and the file's name,
// and leaves the old content (or no file) and no temporary.
TEST(WriteFileAtomically, AFullDiskKeepsTheOldFileAndLeavesNoTemporary) {
    for (const bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "replacing a file" : "a new file");
        testsupport::SmallDisk disk;
        SKIP_WITHOUT_SMALL_DISK(disk);
        const auto file = disk / "settings.json";
        const std::string old = "{\"fontSize\": 26}\n";
        if (existed) platform::writeFileAtomically(file, old);
        disk.fill();
        const std::string data(64 * 1024, 'n');
        try {
            platform::writeFileAtomically(file, data);
            ADD_FAILURE() << "written on a full disk";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
            EXPECT_EQ(e.path1(), file);
        }
        if (existed)
            EXPECT_EQ(testsupport::readFile(file), old);
        else
            EXPECT_FALSE(fs::exists(file));
        for (const auto& entry : fs::directory_iterator(disk.path()))
            EXPECT_EQ(entry.path().filename().string().find("settings.json."), std::string::npos)
                << entry.path();
        disk.makeRoom();
        platform::writeFileAtomically(file, data);
        EXPECT_EQ(testsupport::readFile(file), data);
    }
}
