// The diagnostics recorder on a disk slower than the audio: the writer is
// held at a gate while callers go on recording. Nothing a caller does waits
// for it, what waits stays within the bounds, and what the bounds kept out is
// counted in the log exactly, at the place in the recording where it is
// missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/TempDir.hpp"
#include "support/VirtualClock.hpp"
#include "support/WaitUntil.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/RecordingFiles.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using recording::buffer;
using recording::bufferValues;
using recording::logLines;
using recording::named;
using testsupport::TempDir;
using verbolin::DebugRecorder;
using verbolin::DebugRecorderLimits;

namespace {

// Stands for the disk: while closed, the recorder's writer stops before its
// next write until the gate opens.
class WriteGate {
  public:
    void close() {
        std::lock_guard lock(m_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    // The recorder's write hook.
    void pass() {
        std::unique_lock lock(m_);
        ++waiting_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_ || permits_ > 0; });
        if (!open_) --permits_;
        --waiting_;
        ++passed_;
        cv_.notify_all();
    }
    // True once the writer waits at the closed gate (false if it never
    // comes, rather than hanging the suite).
    bool writerHeld() {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, 20s, [&] { return !open_ && waiting_ > 0; });
    }
    // Lets the held writer make one write and waits until it is held again.
    bool step() {
        std::unique_lock lock(m_);
        const int before = passed_;
        ++permits_;
        cv_.notify_all();
        return cv_.wait_for(lock, 20s, [&] { return passed_ > before && waiting_ > 0; });
    }
    DebugRecorder::WriteHook hook() {
        return [this](const std::string&, size_t) { pass(); };
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = true;
    int waiting_ = 0;
    int permits_ = 0;
    int passed_ = 0;
};

uint64_t countOf(const std::string& detail, const std::string& key) {
    const auto at = detail.find(key + "=");
    EXPECT_NE(at, std::string::npos) << detail;
    return at == std::string::npos ? 0 : std::stoull(detail.substr(at + key.size() + 1));
}

void expectWithin(const DebugRecorder::Backlog& b, const DebugRecorderLimits& limits) {
    EXPECT_LE(b.sessionAudioBytes, limits.sessionAudioBytes);
    EXPECT_LE(b.utteranceBytes, limits.utteranceBytes);
    EXPECT_LE(b.eventLines, limits.eventLines);
}

}  // namespace

TEST(DebugRecorderSlowDisk, WhileTheDiskIsHeldCallsReturnTheQueueStaysBoundedAndGapsAreCounted) {
    TempDir tmp;
    const size_t size = 1000, bytes = 2 * size;
    DebugRecorderLimits limits;
    limits.sessionAudioBytes = 8 * bytes;
    limits.eventLines = 5;
    limits.utteranceBytes = 2 * 3000 * 2;
    WriteGate gate;
    DebugRecorder r(tmp.path(), platform::Clock::system(), limits, gate.hook());
    r.beginSession();
    r.flush();

    // The writer is held on the first buffer; every call below must return
    // while it stays there, or this test never gets past them.
    gate.close();
    r.audio(buffer(size, 100));
    ASSERT_TRUE(gate.writerHeld());
    const int buffers = 40, events = 20, utterances = 5;
    for (int k = 1; k < buffers; ++k) {
        r.audio(buffer(size, 100 + k));
        expectWithin(r.backlog(), limits);
    }
    for (int k = 0; k < events; ++k) {
        r.event("e", "k=" + std::to_string(k));
        expectWithin(r.backlog(), limits);
    }
    std::vector<int64_t> numbers;
    for (int k = 0; k < utterances; ++k) {
        const int64_t n = r.nextUtteranceNumber();
        numbers.push_back(r.utterance(buffer(3000, 50 + k), n));
        expectWithin(r.backlog(), limits);
    }
    r.beginSession();
    const auto held = r.backlog();
    EXPECT_EQ(held.sessionAudioBytes, limits.sessionAudioBytes);
    EXPECT_EQ(held.eventLines, limits.eventLines);
    EXPECT_EQ(held.utteranceBytes, limits.utteranceBytes);
    EXPECT_EQ(numbers, (std::vector<int64_t>{1, 2, 3, 4, 5}));

    // The disk catches up, and nothing is recorded after: the counts are
    // logged all the same.
    gate.open();
    r.flush();
    EXPECT_EQ(r.backlog().sessionAudioBytes, 0u);

    const size_t kept = limits.sessionAudioBytes / bytes;
    std::vector<int> expected;
    for (size_t k = 0; k < kept; ++k) expected.push_back(100 + int(k));
    EXPECT_EQ(bufferValues(tmp / "session.pcm", size), expected);

    const auto lines = logLines(tmp / "events.log");
    std::vector<std::string> seen;
    for (const auto& l : lines)
        seen.push_back(l.name + " " +
                       (l.name == "session_start" || l.name == "session_restart" ? "" : l.detail));
    const auto samples = [&](size_t n) { return std::to_string(n * size); };
    std::vector<std::string> want = {
        "session_start ",
        "audio_dropped samples=" + samples(buffers - kept) + " at=" + samples(kept)};
    for (size_t k = 0; k < limits.eventLines; ++k) want.push_back("e k=" + std::to_string(k));
    want.push_back("events_dropped lines=" + std::to_string(events - limits.eventLines));
    want.push_back("session_restart ");
    EXPECT_EQ(seen, want);

    // Utterances within their bound are whole; the others have no file.
    const size_t utteranceKept = limits.utteranceBytes / (3000 * 2);
    for (int k = 0; k < utterances; ++k) {
        const fs::path file = tmp / ("utterance-" + std::to_string(k + 1) + ".pcm");
        ASSERT_EQ(fs::exists(file), size_t(k) < utteranceKept) << file;
        if (fs::exists(file)) {
            EXPECT_EQ(bufferValues(file, 3000), std::vector<int>{50 + k});
        }
    }
}

// Room made by a single write while the disk is still slow lets one buffer
// in between two refused runs: each run is counted at its own place.
TEST(DebugRecorderSlowDisk, RefusalsOnEitherSideOfABufferLetInAreCountedApart) {
    TempDir tmp;
    const size_t size = 1000;
    DebugRecorderLimits limits;
    limits.sessionAudioBytes = 3 * 2 * size;
    WriteGate gate;
    DebugRecorder r(tmp.path(), platform::Clock::system(), limits, gate.hook());
    r.beginSession();
    r.flush();
    gate.close();
    r.audio(buffer(size, 1));
    ASSERT_TRUE(gate.writerHeld());
    for (int v : {2, 3, 4, 5}) r.audio(buffer(size, v));  // 4 and 5 refused
    ASSERT_TRUE(gate.step());                             // 1 written, room for one
    for (int v : {6, 7, 8}) r.audio(buffer(size, v));     // 6 in, 7 and 8 refused
    gate.open();
    r.flush();

    EXPECT_EQ(bufferValues(tmp / "session.pcm", size), (std::vector<int>{1, 2, 3, 6}));
    const auto lines = logLines(tmp / "events.log");
    std::vector<std::string> gaps;
    for (const auto* gap : named(lines, "audio_dropped")) gaps.push_back(gap->detail);
    EXPECT_EQ(gaps, (std::vector<std::string>{"samples=2000 at=3000", "samples=2000 at=4000"}));
}

// A record larger than its whole bound can never be queued: it is refused,
// and counted, even when nothing waits.
TEST(DebugRecorderSlowDisk, ABufferLargerThanTheBoundIsCountedNotQueued) {
    TempDir tmp;
    DebugRecorderLimits limits;
    limits.sessionAudioBytes = 1000;
    DebugRecorder r(tmp.path(), platform::Clock::system(), limits);
    r.beginSession();
    // Each refusal after the last one was logged is a new gap of its own.
    for (auto [samples, value] : {std::pair{400, 1}, {501, 2}, {501, 4}, {400, 3}}) {
        r.audio(buffer(size_t(samples), value));
        r.flush();
    }
    EXPECT_EQ(bufferValues(tmp / "session.pcm", 400), (std::vector<int>{1, 3}));
    const auto lines = logLines(tmp / "events.log");
    const auto gaps = named(lines, "audio_dropped");
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(gaps[0]->detail, "samples=501 at=400");
    EXPECT_EQ(gaps[1]->detail, "samples=501 at=400");
}

// At exit the queue is written out if the disk keeps up at all; a disk that
// stays slow is given the allowance, and what is left after it is counted.
// The disk here takes a set (virtual) time for each buffer.
TEST(DebugRecorderSlowDisk, CloseWritesTheBacklogWithinTheAllowanceAndCountsTheRest) {
    struct Case {
        const char* name;
        std::chrono::seconds perBuffer;
        size_t written;  // of 6 buffers, with an allowance of 10 s
    };
    const Case cases[] = {
        {"a little slow: everything queued is written", 1s, 6},
        {"stays slow: the writes begun within the allowance", 4s, 3},
        {"stalled: only the one under way", 30s, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        platform::VirtualClock clock;
        DebugRecorderLimits limits;
        limits.exitAllowance = 10s;
        WriteGate gate;
        const size_t size = 1000;
        DebugRecorder r(tmp.path(), clock, limits, [&](const std::string& file, size_t) {
            gate.pass();
            if (file == "session.pcm") clock.advance(c.perBuffer);
        });
        r.beginSession();
        r.flush();
        gate.close();
        r.audio(buffer(size, 10));
        ASSERT_TRUE(gate.writerHeld());
        for (int k = 1; k < 6; ++k) r.audio(buffer(size, 10 + k));
        r.event("queued", "a");
        r.event("queued", "b");

        std::thread closing([&] { r.close(); });
        ASSERT_TRUE(testsupport::waitUntil([&] { return r.backlog().closing; }, 20s));
        gate.open();
        closing.join();

        // Calls after close are ignored, and none of them waits or throws.
        r.event("late", "");
        r.audio(buffer(size, 99));
        r.beginSession();
        EXPECT_EQ(r.utterance(buffer(10, 1)), 1);
        r.flush();

        std::vector<int> expected;
        for (size_t k = 0; k < c.written; ++k) expected.push_back(10 + int(k));
        EXPECT_EQ(bufferValues(tmp / "session.pcm", size), expected);
        const auto lines = logLines(tmp / "events.log");
        std::vector<std::string> seen;
        for (size_t i = 1; i < lines.size(); ++i)
            seen.push_back(lines[i].name + " " + lines[i].detail);
        const std::vector<std::string> want =
            c.written == 6 ? std::vector<std::string>{"queued a", "queued b"}
                           : std::vector<std::string>{
                                 "events_dropped lines=2",
                                 "audio_dropped samples=" + std::to_string((6 - c.written) * size) +
                                     " at=" + std::to_string(c.written * size)};
        EXPECT_EQ(seen, want);
        EXPECT_FALSE(fs::exists(tmp / "utterance-1.pcm"));
    }
}

// Four threads record as the feeder, the session, the recogniser and the
// editor do, while the disk is held and then released: none of them waits,
// the queue never passes its bounds, every record is whole and in its
// thread's order, and every sample and line is either in the files or counted
// as dropped.
TEST(DebugRecorderSlowDisk, FourThreadsRecordingWhileTheDiskIsHeldAndReleased) {
    TempDir tmp;
    DebugRecorderLimits limits;
    const size_t size = 500;
    limits.sessionAudioBytes = 16 * 2 * size;
    limits.eventLines = 32;
    limits.utteranceBytes = 4 * 2 * 700;
    WriteGate gate;
    DebugRecorder r(tmp.path(), platform::Clock::system(), limits, gate.hook());
    r.beginSession();
    r.flush();
    gate.close();

    const int threads = 4, perThread = 300;
    std::atomic<int> calls{0};
    std::atomic<size_t> maxAudio{0}, maxLines{0}, maxUtterances{0};
    const auto raise = [](std::atomic<size_t>& max, size_t v) {
        for (size_t seen = max; v > seen && !max.compare_exchange_weak(seen, v);) {
        }
    };
    std::vector<std::vector<int64_t>> numbers(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int k = 0; k < perThread; ++k) {
                r.audio(buffer(size, 1000 * (t + 1) + k));
                r.event("thread", std::to_string(t) + ":" + std::to_string(k));
                if (k % 30 == 0) {
                    const int64_t n = r.nextUtteranceNumber();
                    numbers[size_t(t)].push_back(r.utterance(buffer(700, int(n)), n));
                }
                const auto b = r.backlog();
                raise(maxAudio, b.sessionAudioBytes);
                raise(maxLines, b.eventLines);
                raise(maxUtterances, b.utteranceBytes);
                ++calls;
            }
        });
    // Half of all the calls are made while the writer cannot move.
    ASSERT_TRUE(testsupport::waitUntil([&] { return calls >= threads * perThread / 2; }, 60s));
    gate.open();
    for (auto& w : workers) w.join();
    r.flush();

    EXPECT_LE(maxAudio.load(), limits.sessionAudioBytes);
    EXPECT_LE(maxLines.load(), limits.eventLines);
    EXPECT_LE(maxUtterances.load(), limits.utteranceBytes);

    const auto values = bufferValues(tmp / "session.pcm", size);
    int last[threads] = {-1, -1, -1, -1};
    for (int v : values) {
        const int t = v / 1000 - 1, k = v % 1000;
        ASSERT_TRUE(t >= 0 && t < threads) << v;
        EXPECT_GT(k, last[t]);
        last[t] = k;
    }
    const auto lines = logLines(tmp / "events.log");
    uint64_t droppedSamples = 0, droppedLines = 0;
    for (const auto* gap : named(lines, "audio_dropped")) {
        droppedSamples += countOf(gap->detail, "samples");
        EXPECT_EQ(countOf(gap->detail, "at") % size, 0u) << gap->detail;
    }
    for (const auto* gap : named(lines, "events_dropped"))
        droppedLines += countOf(gap->detail, "lines");
    EXPECT_GT(droppedSamples, 0u);  // the bound did refuse while the disk was held
    EXPECT_EQ(values.size() * size + droppedSamples, size_t(threads * perThread) * size);
    EXPECT_EQ(named(lines, "thread").size() + droppedLines, size_t(threads * perThread));

    std::vector<int64_t> all;
    for (const auto& n : numbers) all.insert(all.end(), n.begin(), n.end());
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], int64_t(i + 1));
    for (int64_t n : all) {
        const fs::path file = tmp / ("utterance-" + std::to_string(n) + ".pcm");
        if (fs::exists(file)) {
            EXPECT_EQ(bufferValues(file, 700), std::vector<int>{int(n)});
        }
    }
}
