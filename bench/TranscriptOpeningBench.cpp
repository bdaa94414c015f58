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
// - BM_OpenWithChangesWaiting: the same start on a slow disk (every read of
//   a page of the file waits the second argument's milliseconds) while a
//   run that could not save left a recovery file: an edit of the newest
//   paragraph and an utterance (third argument 0), or an edit of the
//   earliest paragraph, which the newest part cannot check and which
//   therefore has the whole file read at once (1); 2: no such file, the
//   start it is held to. "newest_ms" until the
//   store returned (the window can show), "main_reads" the pages read on
//   the store's thread meanwhile (each a slow disk's wait), "joined_ms"
//   until all of it, the changes taken in, is stored.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_TranscriptOpeningBench
//   build/bench_TranscriptOpeningBench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/DictationTranscript.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/RecoveryLine.hpp"
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

// While it lives, every read of a page of a database file opened meanwhile
// waits `delay`, as a slow disk's would; those on the thread that made it
// are counted.
class SlowDisk {
  public:
    explicit SlowDisk(std::chrono::milliseconds delay)
        : delay_(delay), owner_(std::this_thread::get_id()) {
        self_ = this;
        real_ = sqlite3_vfs_find(nullptr);
        vfs_ = *real_;
        vfs_.zName = "bench-slow-disk";
        vfs_.xOpen = &SlowDisk::open;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~SlowDisk() {
        sqlite3_vfs_unregister(&vfs_);
        sqlite3_vfs_register(real_, 1);
        self_ = nullptr;
    }
    SlowDisk(const SlowDisk&) = delete;
    SlowDisk& operator=(const SlowDisk&) = delete;
    int readsHere() const { return here_.load(); }

  private:
    static int read(sqlite3_file* file, void* data, int n, sqlite3_int64 at) {
        std::this_thread::sleep_for(self_->delay_);
        if (std::this_thread::get_id() == self_->owner_) ++self_->here_;
        return self_->original_->xRead(file, data, n, at);
    }
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        const int rc = self_->real_->xOpen(self_->real_, name, file, flags, out);
        if (rc != SQLITE_OK || !file->pMethods || !(flags & SQLITE_OPEN_MAIN_DB)) return rc;
        const std::lock_guard lock(self_->mutex_);
        if (!self_->original_) {
            self_->original_ = file->pMethods;
            self_->methods_ = *file->pMethods;
            self_->methods_.xRead = &SlowDisk::read;
        }
        if (file->pMethods == self_->original_) file->pMethods = &self_->methods_;
        return rc;
    }
    static inline SlowDisk* self_ = nullptr;
    const std::chrono::milliseconds delay_;
    const std::thread::id owner_;
    std::atomic<int> here_{0};
    sqlite3_vfs* real_ = nullptr;
    sqlite3_vfs vfs_{};
    std::mutex mutex_;
    const sqlite3_io_methods* original_ = nullptr;
    sqlite3_io_methods methods_{};
};

// What a run that could not save left for the store of `folder`: `s`
// edited, and (after the newest) an utterance heard.
void leaveWaiting(const fs::path& folder, const Segment& s, bool heard) {
    Segment edited = s;
    edited.original = s.text;
    edited.text += " (kept)";
    edited.edited = true;
    const fs::path file = TranscriptStore::recoveryFiles(folder).front();
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << testsupport::recoveryLine(edited, TranscriptStore::revisionOf(s), 1);
    if (!heard) return;
    Segment later;
    later.start = later.end =
        platform::dateFromSecondsSince1970(platform::secondsSince1970(s.end) + 60);
    later.text = "heard by a run that could not save";
    out << testsupport::recoveryLine(later, std::nullopt, 2);
}

void BM_OpenWithChangesWaiting(benchmark::State& state) {
    const int days = int(state.range(0));
    const auto delay = std::chrono::milliseconds(state.range(1));
    const bool reachingBack = state.range(2) == 1, waiting = state.range(2) != 2;
    (void)testsupport::dictationFolder(days);
    for (auto _ : state) {
        state.PauseTiming();
        Copy copy(days, false);
        testsupport::TempDir recovery("verbolin-opening-state");
        ::setenv("XDG_STATE_HOME", recovery.path().c_str(), 1);
        if (waiting) {
            TranscriptDB db(copy.folder / "transcript.sqlite");
            const std::vector<Segment> all = db.allSegments();
            leaveWaiting(copy.folder, reachingBack ? all.front() : all.back(), !reachingBack);
        }
        platform::VirtualClock clock;
        platform::ManualMainExecutor main(clock);
        std::optional<SlowDisk> disk(std::in_place, delay);
        state.ResumeTiming();
        const auto t = Clock::now();
        TranscriptStore store(copy.folder, UserCalendar(), {.main = &main});
        state.counters["newest_ms"] = since(t);
        state.counters["main_reads"] = disk->readsHere();
        state.counters["in_two"] = store.readWhole() ? 0 : 1;
        untilJoined(store, main);
        state.counters["joined_ms"] = since(t);
        disk.reset();
        if (store.notSaved.peek() || store.hasUnsavedChanges())
            state.SkipWithError("what waited was not stored");
        ::unsetenv("XDG_STATE_HOME");
    }
}
BENCHMARK(BM_OpenWithChangesWaiting)
    ->Args({365, 1, 0})
    ->Args({365, 1, 1})
    ->Args({365, 1, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
