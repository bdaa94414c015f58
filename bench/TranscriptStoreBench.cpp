// The transcript's hot paths: paragraph grouping (every change of the
// transcript), the sidebar list (every render of the sidebar), full-text
// search, the single-row write of each finished utterance, and the import of
// an old line-per-record transcript file at the first start.
// Run by hand: build with -DVERBOLIN_BUILD_BENCH=ON, then bench/TranscriptStoreBench.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;

namespace {

const char* kWords[] = {"meeting",  "budget", "review", "launch",   "design",
                        "customer", "hello",  "world",  "schedule", "report"};

// `count` utterances, one every 4 s with an occasional long pause, spread over days.
std::vector<Segment> transcript(size_t count) {
    std::vector<Segment> out;
    double t = 1714557600.0;
    for (size_t i = 0; i < count; ++i) {
        t += (i % 7 == 0) ? 600.0 : 4.0;
        Segment s;
        s.start = platform::dateFromSecondsSince1970(t);
        s.end = platform::dateFromSecondsSince1970(t + 2.5);
        for (size_t w = 0; w < 8; ++w)
            s.text += std::string(w ? " " : "") + kWords[(i * 7 + w * 3) % 10];
        out.push_back(std::move(s));
    }
    return out;
}

struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "verbolin-bench-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

void BM_GroupIntoParagraphs(benchmark::State& state) {
    auto segments = transcript(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(TranscriptStore::blocks(segments, 3.0));
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GroupIntoParagraphs)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SessionItems(benchmark::State& state) {
    ScratchDir dir;
    TranscriptStore store(dir.path, UserCalendar("en_US", "America/New_York"));
    store.segments.set(
        transcript(size_t(state.range(0))));  // all before the first marker: shown by day
    for (auto _ : state) benchmark::DoNotOptimize(store.sessionItems());
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SessionItems)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Search(benchmark::State& state) {
    ScratchDir dir;
    TranscriptDB db(dir.path / "transcript.sqlite");
    auto segments = transcript(size_t(state.range(0)));
    sqlite3_exec(db.handle(), "BEGIN", nullptr, nullptr, nullptr);
    for (const auto& s : segments) db.upsert(s);
    sqlite3_exec(db.handle(), "COMMIT", nullptr, nullptr, nullptr);
    for (auto _ : state) benchmark::DoNotOptimize(db.search("budg rev"));
}
BENCHMARK(BM_Search)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_AppendWriteThrough(benchmark::State& state) {
    ScratchDir dir;
    TranscriptStore store(dir.path, UserCalendar("en_US", "UTC"));
    auto segments = transcript(4096);
    size_t i = 0;
    for (auto _ : state) {
        Segment s = segments[i++ % segments.size()];
        s.id = platform::Uuid::random();
        store.append(s);
    }
}
BENCHMARK(BM_AppendWriteThrough)->Unit(benchmark::kMicrosecond);

// The whole first start over an old transcript file of that many records:
// reading, parsing, one transaction, and the full-text index.
void BM_ImportLegacyTranscript(benchmark::State& state) {
    std::string lines;
    for (const Segment& s : transcript(size_t(state.range(0))))
        lines += nlohmann::json(s).dump() + "\n";
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<ScratchDir>();
        std::ofstream(dir->path / "transcript.jsonl", std::ios::binary) << lines;
        state.ResumeTiming();
        {
            TranscriptStore store(dir->path, UserCalendar("en_US", "UTC"));
            benchmark::DoNotOptimize(store.segments.peek().size());
        }
        state.PauseTiming();
        dir.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ImportLegacyTranscript)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
