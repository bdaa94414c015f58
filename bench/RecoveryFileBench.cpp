// Opening a store whose recovery file grew long: 1,000,000 lines for 1,000
// ids, as an earlier version that appended every unsaved record at each
// retry and start left them. Reports the time of the open (reading the
// file, keeping the last state of each record, storing them) and the
// resident-memory peak above the level before it.
// Run by hand: build with -DVERBOLIN_BUILD_BENCH=ON, then bench/RecoveryFileBench.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "support/ProcessMemory.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace verbolin;
namespace fs = std::filesystem;

namespace {

constexpr size_t kLines = 1000000;
constexpr size_t kIds = 1000;

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "verbolin-bench-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() { fs::remove_all(path); }
};

// Line i holds the i-th take of record i % kIds, each an utterance of about
// a sentence.
void writeRecoveryFile(const fs::path& file) {
    std::vector<platform::Uuid> ids(kIds);
    for (auto& id : ids) id = platform::Uuid::random();
    std::ofstream out(file, std::ios::binary);
    for (size_t i = 0; i < kLines; ++i) {
        Segment s;
        s.id = ids[i % kIds];
        s.start = platform::dateFromSecondsSince1970(1714557600.0 + double(i % kIds) * 4.0);
        s.end = s.start + std::chrono::seconds(3);
        s.text = "take " + std::to_string(i / kIds) +
                 " of what was said: please send the report to the team by Friday afternoon";
        out << nlohmann::json(s).dump() << "\n";
    }
}

void BM_OpenLongRecoveryFile(benchmark::State& state) {
    ScratchDir dir;
    const fs::path master = dir.path / "master.jsonl";
    writeRecoveryFile(master);
    ::setenv("XDG_STATE_HOME", (dir.path / "state").c_str(), 1);
    double peakMiB = 0;
    size_t segments = 0;
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path folder = dir.path / ("data-" + std::to_string(run++));
        const fs::path recovery = TranscriptStore::recoveryFiles(folder).front();
        fs::create_directories(recovery.parent_path());
        fs::copy_file(master, recovery, fs::copy_options::overwrite_existing);
        testsupport::restartPeakCount();
        const long base = testsupport::statusKiB("VmRSS:");
        state.ResumeTiming();
        {
            TranscriptStore store(folder);
            segments = store.segments.peek().size();
        }
        peakMiB = double(testsupport::statusKiB("VmHWM:") - base) / 1024.0;
    }
    state.counters["fileMiB"] = double(fs::file_size(master)) / (1 << 20);
    state.counters["segments"] = double(segments);
    state.counters["peakAboveStartMiB"] = peakMiB;
}
BENCHMARK(BM_OpenLongRecoveryFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
