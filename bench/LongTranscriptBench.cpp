// The window's model over a day's, a year's and three years' dictation
// (argument: days; 150 to 300 utterances a day of 8 to 40 words in 2 to 6
// sessions, written straight into a transcript file once per run):
//
// - BM_MemoryWithAll: the store opened and All handed to the timeline's
//   pane model: "heap_MB" the heap that holds, "rss_MB" the process's
//   resident size then (the first benchmark, so little else is in it).
// - BM_StoreOpen: opening the store until its paragraphs are grouped, with
//   the transcript's size.
// - BM_KeyStored: a letter typed at the end of the newest paragraph in All,
//   the way the window takes it: the paragraph editor stores it, then the
//   window asks its model for what it shows, twice (at once, and when the
//   change is heard), and hands it to the pane's model. "first_ms" is the
//   first key after the window opened (left out of the rest), "max_ms" the
//   slowest of the rest and "over_50ms" how many took longer than that goal,
//   "store_ms" the paragraph editor's and the store's share of one. The
//   same in the newest session's view (second argument 1).
// - BM_SearchShownAndCleared: a word found in about 1 % of the utterances
//   typed into the search and then cleared, each followed by what the window
//   asks of its model: "shown_ms" and "cleared_ms".
//
// The timeline's own widgets are left out: these are the costs under them.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_LongTranscriptBench
//   build/bench_LongTranscriptBench
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>

#include "OffscreenApp.hpp"
#include "support/DictationTranscript.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "support/ProcessMemory.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/settings/MemoryDefaults.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/EditorModel.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TimelinePaneModel.hpp"

using namespace verbolin;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

// A working copy of a transcript, for benchmarks that change it.
struct Copy {
    testsupport::TempDir tmp{"verbolin-long-copy"};
    std::filesystem::path folder = tmp.path() / "store";
    explicit Copy(int days) {
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(testsupport::dictationFolder(days) / "transcript.sqlite",
                                   folder / "transcript.sqlite");
    }
};

struct Window {
    QtMainExecutor main;
    MemoryDefaults defaults;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<EditorModel> editor;
    std::unique_ptr<TimelinePaneModel> pane;

    explicit Window(const std::filesystem::path& folder) {
        defaults.setBool(Defaults::kAlwaysListen, false);
        AppModel::Services s;
        s.main = &main;
        s.defaults = &defaults;
        s.storeDirectory = folder;
        s.engine = benchsupport::silentEngine();
        model = std::make_unique<AppModel>(std::move(s));
        editor = std::make_unique<EditorModel>(*model);
        pane = std::make_unique<TimelinePaneModel>(TimelinePaneInputs{}, TimelinePaneServices{});
        refresh();
    }
    ~Window() { model->engine().stopAndWait(); }

    // What the window's refresh asks of its model, and gives the pane.
    void refresh() {
        (void)editor->keptItem();
        if (!editor->showsTimeline()) return;
        TimelinePaneInputs in;
        in.store = &model->store();
        in.blocks = editor->sharedScopedBlocks();
        in.showsLive = editor->scopeIsLive();
        if (editor->scope == EditorModel::kAllScope)
            in.sectionStarts = SectionTitles(model->store().sharedSessionStartBlocks());
        pane->setInputs(std::move(in));
        benchmark::DoNotOptimize(pane->textViewInputs());
        benchmark::DoNotOptimize(editor->selectedBlocks());
    }

    // A letter typed at the end of the newest paragraph; the time until it
    // is stored is added to `storing`.
    void type(char letter, double& storing) {
        const Block shown = pane->inputs().blocks->back();
        editor->selectedIDs = {shown.id};
        const std::string before = shown.text();
        const std::string after = before + letter;
        const auto start = std::chrono::steady_clock::now();
        editor->edits().edit(shown, before, after, int(after.size()));
        storing += Ms(std::chrono::steady_clock::now() - start).count();
        refresh();
        refresh();
    }
};

void BM_MemoryWithAll(benchmark::State& state) {
    const auto& folder = testsupport::dictationFolder(int(state.range(0)));
    double heap = 0, rss = 0;
    for (auto _ : state) {
        const double before = testsupport::heapMegabytes();
        Window w(folder);
        heap = testsupport::heapMegabytes() - before;
        rss = double(testsupport::statusKiB("VmRSS:")) / 1024.0;
    }
    state.counters["heap_MB"] = heap;
    state.counters["rss_MB"] = rss;
}

void BM_StoreOpen(benchmark::State& state) {
    const auto& folder = testsupport::dictationFolder(int(state.range(0)));
    size_t segments = 0, paragraphs = 0, characters = 0;
    for (auto _ : state) {
        auto store = std::make_unique<TranscriptStore>(folder);
        paragraphs = store->allBlocks()->size();
        segments = store->segments.peek().size();
        state.PauseTiming();
        characters = 0;
        for (const Segment& s : store->segments.peek()) characters += s.text.size();
        store.reset();
        state.ResumeTiming();
    }
    state.counters["segments"] = double(segments);
    state.counters["paragraphs"] = double(paragraphs);
    state.counters["characters"] = double(characters);
    state.counters["file_MB"] =
        double(std::filesystem::file_size(folder / "transcript.sqlite")) / (1024.0 * 1024.0);
}

void BM_KeyStored(benchmark::State& state) {
    Copy copy(int(state.range(0)));
    Window w(copy.folder);
    if (state.range(1)) {
        w.editor->onAppear();
        w.refresh();
    }
    double slowest = 0, storing = 0, over50 = 0;
    const auto first = std::chrono::steady_clock::now();
    w.type('a', storing);
    state.counters["first_ms"] = Ms(std::chrono::steady_clock::now() - first).count();
    storing = 0;
    int i = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        w.type(char('a' + i++ % 26), storing);
        const double took = Ms(std::chrono::steady_clock::now() - start).count();
        slowest = std::max(slowest, took);
        over50 += took > 50;
    }
    state.counters["max_ms"] = slowest;
    state.counters["over_50ms"] = over50;
    state.counters["store_ms"] = storing / double(state.iterations());
}

void BM_SearchShownAndCleared(benchmark::State& state) {
    Copy copy(int(state.range(0)));
    Window w(copy.folder);
    double shown = 0, cleared = 0;
    size_t found = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        w.editor->search = testsupport::rareWord;
        w.editor->edits().release();
        w.refresh();
        const auto middle = std::chrono::steady_clock::now();
        found = w.pane->inputs().blocks->size();
        w.editor->search.clear();
        w.refresh();
        shown += Ms(middle - start).count();
        cleared += Ms(std::chrono::steady_clock::now() - middle).count();
    }
    state.counters["shown_ms"] = shown / double(state.iterations());
    state.counters["cleared_ms"] = cleared / double(state.iterations());
    state.counters["found"] = double(found);
}

}  // namespace

BENCHMARK(BM_MemoryWithAll)
    ->Arg(1)
    ->Arg(365)
    ->Arg(1095)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_StoreOpen)->Arg(1)->Arg(365)->Arg(1095)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_KeyStored)
    ->ArgsProduct({{1, 365, 1095}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(300);
BENCHMARK(BM_SearchShownAndCleared)
    ->Arg(1)
    ->Arg(365)
    ->Arg(1095)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
