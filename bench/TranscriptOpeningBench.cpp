// The start of a long transcript, read in two (argument: days of dictation,
// as the other long-transcript benchmarks make it; second argument 1 for a
// cold file cache: the file's pages dropped from the system's cache first,
// as after a reboot, 0 for a warm one):
//
// - BM_OpenInTwo: "newest_ms" until the store holds the newest part, which
//   the window shows; "joined_ms" until the rest, read and checked on a
//   thread of its own, has joined it.
// - BM_ChangeWhileReading: right after the newest part is there, a letter
//   typed at the end of the newest paragraph and an utterance heard:
//   "key_ms" and "utterance_ms" until each call returned, the change shown
//   and appended (synced) to the recovery file; "read_running" 1 when the
//   read of the rest had not ended by then (else the figures do not show
//   a change made during it); "stored_ms" from the open until the join
//   stored both and let the recovery file go.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_TranscriptOpeningBench
//   build/bench_TranscriptOpeningBench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/DictationTranscript.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/TempDir.hpp"
#include "support/VirtualClock.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using Clock = std::chrono::steady_clock;

namespace {

namespace fs = std::filesystem;

double since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A fresh copy of the transcript of `days`, for a start that may change it;
// its pages dropped from the file cache when `cold`. Without root, only
// the pages no one else maps go, which for a file just written and
// synced is all of them.
struct Copy {
    testsupport::TempDir tmp{"verbolin-opening-copy"};
    fs::path folder = tmp.path() / "store";
    Copy(int days, bool cold) {
        fs::create_directories(folder);
        const fs::path file = folder / "transcript.sqlite";
        fs::copy_file(testsupport::dictationFolder(days) / "transcript.sqlite", file);
        if (!cold) return;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
};

// Runs what the read of the rest posts until it has joined.
void untilJoined(TranscriptStore& store, platform::ManualMainExecutor& main) {
    while (!store.readWhole())
        if (main.runPending() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void BM_OpenInTwo(benchmark::State& state) {
    const int days = int(state.range(0));
    const bool cold = state.range(1) != 0;
    (void)testsupport::dictationFolder(days);  // made outside the timing
    for (auto _ : state) {
        state.PauseTiming();
        Copy copy(days, cold);
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        state.ResumeTiming();
        const auto t = Clock::now();
        TranscriptStore store(copy.folder, UserCalendar(), {.main = &main});
        state.counters["newest_ms"] = since(t);
        state.counters["in_two"] = store.readWhole() ? 0 : 1;
        untilJoined(store, main);
        state.counters["joined_ms"] = since(t);
        state.counters["segments"] = double(store.segments.peek().size());
    }
}
BENCHMARK(BM_OpenInTwo)
    ->Args({365, 0})
    ->Args({365, 1})
    ->Args({3 * 365, 0})
    ->Args({3 * 365, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_ChangeWhileReading(benchmark::State& state) {
    const int days = int(state.range(0));
    const bool cold = state.range(1) != 0;
    (void)testsupport::dictationFolder(days);
    for (auto _ : state) {
        state.PauseTiming();
        Copy copy(days, cold);
        testsupport::TempDir recovery("verbolin-opening-state");
        ::setenv("XDG_STATE_HOME", recovery.path().c_str(), 1);
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        state.ResumeTiming();
        const auto opened = Clock::now();
        TranscriptStore store(copy.folder, UserCalendar(), {.main = &main});
        const Block last = store.allBlocks()->back();
        auto t = Clock::now();
        store.replace(last, last.text() + "s");
        state.counters["key_ms"] = since(t);
        Segment heard;
        heard.id = platform::Uuid::random();
        // After all the dictation, as the next thing heard is.
        heard.start = heard.end = platform::dateFromSecondsSince1970(
            platform::secondsSince1970(store.segments.peek().back().end) + 60);
        heard.text = "heard while the rest was read";
        t = Clock::now();
        store.append(heard);
        state.counters["utterance_ms"] = since(t);
        state.counters["read_running"] = !store.readWhole() && main.pendingCount() == 0 ? 1 : 0;
        untilJoined(store, main);
        state.counters["stored_ms"] = since(opened);
        if (store.notSaved.peek() || store.hasUnsavedChanges())
            state.SkipWithError("the changes made during the read were not stored");
        ::unsetenv("XDG_STATE_HOME");
    }
}
BENCHMARK(BM_ChangeWhileReading)
    ->Args({3 * 365, 0})
    ->Args({3 * 365, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
