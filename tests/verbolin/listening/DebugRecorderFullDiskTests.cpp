// The diagnostics recorder on a disk that fills: every file keeps whole
// records only, what the disk kept out is counted in the log once there is
// room again, and nothing waits on a write that cannot succeed.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/RecordingFiles.hpp"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::SmallDisk;
using verbolin::DebugRecorder;

using recording::buffer;
using recording::bufferValues;
using recording::logLines;
using recording::named;

TEST(DebugRecorderFullDisk, TheLogKeepsWholeLinesAndCountsThoseTheDiskKeptOut) {
    SmallDisk disk(1 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    platform::VirtualClock clock;
    DebugRecorder r(disk / "debug", clock);
    r.beginSession();
    // Two pages of room: the lines are 21 bytes, so one is cut at a page edge.
    disk.fill(8192);
    const int before = 2000, after = 10;
    char detail[16];
    for (int i = 0; i < before + after; ++i) {
        if (i == before) {
            r.flush();
            ASSERT_TRUE(disk.isFull());
            disk.makeRoom();
        }
        std::snprintf(detail, sizeof detail, "line-%04d", i);
        r.event("e", detail);
    }
    r.flush();

    const auto lines = logLines(disk / "debug/events.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().name, "session_start");
    const auto written = named(lines, "e");
    const auto dropped = named(lines, "events_dropped");
    ASSERT_EQ(dropped.size(), 1u);
    ASSERT_GE(written.size(), size_t(after));
    EXPECT_LT(written.size(), size_t(before));
    EXPECT_EQ(dropped[0]->detail, "lines=" + std::to_string(before + after - written.size()));
    // Those before the disk filled, then the count, then all written after.
    for (size_t i = 0; i < written.size(); ++i) {
        const int n =
            i < written.size() - after ? int(i) : before + int(i + after - written.size());
        std::snprintf(detail, sizeof detail, "line-%04d", n);
        EXPECT_EQ(written[i]->detail, detail) << i;
    }
    EXPECT_EQ(&lines[lines.size() - after - 1], dropped[0]);
}

TEST(DebugRecorderFullDisk, TheSessionRecordingKeepsWholeBuffersAndTheLogSaysWhereAGapIs) {
    SmallDisk disk(1 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    DebugRecorder r(disk.path());
    r.beginSession();
    r.flush();
    disk.fill(8192);
    // 1998 bytes a buffer: one of them meets the end of the room half-written.
    const size_t size = 999;
    const int before = 40, after = 5;
    for (int k = 0; k < before + after; ++k) {
        if (k == before) {
            r.flush();
            ASSERT_TRUE(disk.isFull());
            disk.makeRoom();
        }
        r.audio(buffer(size, 100 + k));
    }
    r.flush();

    const auto values = bufferValues(disk / "session.pcm", size);
    ASSERT_GE(values.size(), size_t(after + 1));
    ASSERT_LT(values.size(), size_t(before));
    const size_t kept = values.size() - after;
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(values[i], 100 + int(i < kept ? i : i - kept + before)) << i;
    const auto lines = logLines(disk / "events.log");
    const auto gaps = named(lines, "audio_dropped");
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0]->detail, "samples=" + std::to_string((before - kept) * size) +
                                   " at=" + std::to_string(kept * size));
}

TEST(DebugRecorderFullDisk, AnUtteranceFileIsWholeOrAbsent) {
    struct Case {
        const char* name;
        std::optional<off_t> room;  // left by fill(); none: the disk is not filled
        size_t samples;
        bool written;
    };
    const Case cases[] = {
        {"no room at all", 0, 3000, false},
        {"room for part of it", 4096, 6000, false},
        {"room for all of it", 65536, 3000, true},
        {"empty, on a full disk", 0, 0, true},
        {"disk not filled", std::nullopt, 6000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmallDisk disk(1 << 20);
        SKIP_WITHOUT_SMALL_DISK(disk);
        DebugRecorder r(disk.path());
        r.beginSession();
        if (c.room) disk.fill(*c.room);
        EXPECT_EQ(r.utterance(buffer(c.samples, 7)), 1);
        const fs::path first = disk / "utterance-1.pcm";
        ASSERT_EQ(fs::exists(first), c.written);
        if (c.written) {
            EXPECT_EQ(fs::file_size(first), 2 * c.samples);
        }
        // Room again: the next one is written whole, under its own number.
        disk.makeRoom();
        EXPECT_EQ(r.utterance(buffer(5000, 9)), 2);
        EXPECT_EQ(bufferValues(disk / "utterance-2.pcm", 5000), std::vector<int>{9});
    }
}

TEST(DebugRecorderFullDisk, FilesThatCouldNotBeMadeAreMadeWhenTheNextSessionBegins) {
    testsupport::TempDir tmp;
    std::ofstream(tmp / "blocker") << "x";
    DebugRecorder r(tmp / "blocker/debug");
    r.beginSession();
    r.event("lost", "");
    r.audio(buffer(10, 3));
    r.flush();
    EXPECT_FALSE(fs::exists(tmp / "blocker/debug"));

    fs::remove(tmp / "blocker");
    r.beginSession();
    r.event("kept", "");
    r.audio(buffer(10, 5));
    r.flush();
    const auto lines = logLines(tmp / "blocker/debug/events.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].name, "session_restart");
    EXPECT_EQ(lines[1].name, "kept");
    EXPECT_EQ(bufferValues(tmp / "blocker/debug/session.pcm", 10), std::vector<int>{5});

    // Files already open are not emptied by a later session.
    r.beginSession();
    r.audio(buffer(10, 6));
    r.flush();
    EXPECT_EQ(bufferValues(tmp / "blocker/debug/session.pcm", 10), (std::vector<int>{5, 6}));
}

// Several threads record while the disk fills and empties under them, as a
// feeder, the session and the recogniser do: every call returns, and every
// file holds whole records only.
TEST(DebugRecorderFullDisk, CallersOnManyThreadsNeverWaitOnAFullDiskAndNoRecordIsTorn) {
    SmallDisk disk(4 << 20);
    SKIP_WITHOUT_SMALL_DISK(disk);
    DebugRecorder r(disk.path());
    r.beginSession();
    const size_t size = 999;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 300; ++k) {
                r.audio(buffer(size, 1000 * (t + 1) + k));
                r.event("thread_" + std::string(1, char('a' + t)), "k=" + std::to_string(k));
            }
        });
    std::vector<int64_t> numbers;
    threads.emplace_back([&] {
        for (int k = 0; k < 20; ++k) numbers.push_back(r.utterance(buffer(2000 + k, 50 + k)));
    });
    std::thread weather([&] {
        for (int round = 0; !done; ++round) {
            if (round % 2 == 0)
                disk.fill(round % 4 == 0 ? 0 : 5000);
            else
                disk.makeRoom();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        disk.makeRoom();
    });
    for (auto& t : threads) t.join();
    done = true;
    weather.join();
    // Once what the threads queued is written, so the bound on waiting audio
    // cannot refuse the last buffer.
    r.flush();
    r.audio(buffer(size, 77));
    r.flush();

    std::vector<int64_t> expected(20);
    for (int k = 0; k < 20; ++k) expected[k] = k + 1;
    EXPECT_EQ(numbers, expected);
    const auto values = bufferValues(disk / "session.pcm", size);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), 77);
    // Each thread's buffers in the order it made them.
    int last[3] = {-1, -1, -1};
    for (size_t i = 0; i + 1 < values.size(); ++i) {
        const int t = values[i] / 1000 - 1, k = values[i] % 1000;
        ASSERT_TRUE(t >= 0 && t < 3) << values[i];
        EXPECT_GT(k, last[t]);
        last[t] = k;
    }
    logLines(disk / "events.log");  // every line whole
    for (int k = 0; k < 20; ++k) {
        const fs::path file = disk / ("utterance-" + std::to_string(k + 1) + ".pcm");
        if (fs::exists(file)) {
            EXPECT_EQ(bufferValues(file, size_t(2000 + k)), std::vector<int>{50 + k});
        }
    }
}
