// Keys typed into the newest paragraph of a day's, a year's and three years'
// dictation (argument: days), 200 in a row, so that the rare slow one (a
// commit that also copies the WAL into the file, or merges a level of the
// full-text index) shows among them.
//
// - BM_TypeAtNewest: through the store as the editor stores each key (the
//   paragraph replaced by its edited text, written before the call returns).
// - BM_WriteAtNewest: the database's share alone, the newest segment's row
//   written with one more letter each time.
//
// Each reports "key_ms", "key_p99_ms" and "key_max_ms": the median, the 99th
// percentile and the slowest key, and "key_mean_ms", which the slow ones
// weigh on.
//
//   build/bench_TranscriptTypingBench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "support/DictationTranscript.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

constexpr int kKeys = 200;

double since(Clock::time_point t) { return Ms(Clock::now() - t).count(); }

// The application runs many threads, so its allocations take the heap's
// locks; a process that never made a thread skips them, and would time its
// keys half a millisecond faster (in three years) until the store makes one.
void runAsTheApplication() {
    static const bool once = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)once;
}

// A fresh copy of the dictation's transcript in `folder`.
void copyDictation(int days, const std::filesystem::path& folder) {
    std::filesystem::copy_file(testsupport::dictationFolder(days) / "transcript.sqlite",
                               folder / "transcript.sqlite");
}

void report(benchmark::State& state, std::vector<double> keys) {
    if (keys.empty()) return;
    std::sort(keys.begin(), keys.end());
    const auto at = [&](double q) {
        return keys[std::min(keys.size() - 1, size_t(q * double(keys.size())))];
    };
    state.counters["key_ms"] = at(0.5);
    state.counters["key_p99_ms"] = at(0.99);
    state.counters["key_max_ms"] = keys.back();
    state.counters["key_mean_ms"] =
        std::accumulate(keys.begin(), keys.end(), 0.0) / double(keys.size());
}

// Types kKeys keys into a fresh copy of the dictation at each iteration:
// `open` makes, outside the timing, what the keys go to and returns the key
// (false when it was not stored), timed one by one; what it made is let go
// outside the timing too.
template <class Open>
void typeKeys(benchmark::State& state, Open open) {
    runAsTheApplication();
    std::vector<double> keys;
    for (auto _ : state) {
        state.PauseTiming();
        testsupport::TempDir tmp("verbolin-typing");
        copyDictation(int(state.range(0)), tmp.path());
        {
            std::function<bool(int)> key = open(tmp.path());
            state.ResumeTiming();
            for (int i = 0; i < kKeys; ++i) {
                const auto t = Clock::now();
                if (!key(i)) state.SkipWithError("a key was not stored");
                keys.push_back(since(t));
            }
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    report(state, std::move(keys));
}

void BM_TypeAtNewest(benchmark::State& state) {
    typeKeys(state, [](const std::filesystem::path& folder) -> std::function<bool(int)> {
        auto store = std::make_shared<TranscriptStore>(folder, UserCalendar("en_US", "UTC"));
        const Block shown = store->allBlocks()->back();
        std::vector<platform::Uuid> ids;
        for (const Segment& s : shown.segments) ids.push_back(s.id);
        return [store, ids, text = shown.text()](int i) mutable {
            text += char('a' + i % 26);
            const std::vector<Segment> current = store->segmentsWithIds(ids);
            const Block last{current.front().id, SegmentList(current)};
            const std::vector<Segment> replacement{TranscriptStore::editedSegment(last, text)};
            ids = {replacement.front().id};
            store->replaceSegments(current, replacement);
            return !store->hasUnsavedChanges();
        };
    });
}
BENCHMARK(BM_TypeAtNewest)
    ->Arg(1)
    ->Arg(365)
    ->Arg(1095)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_WriteAtNewest(benchmark::State& state) {
    typeKeys(state, [](const std::filesystem::path& folder) -> std::function<bool(int)> {
        auto db = std::make_shared<TranscriptDB>(folder / "transcript.sqlite");
        return [db, newest = db->allSegments().back()](int i) mutable {
            newest.text += char('a' + i % 26);
            return db->apply({.segments = {newest}});
        };
    });
}
BENCHMARK(BM_WriteAtNewest)->Arg(1)->Arg(1095)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
