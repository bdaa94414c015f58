// The whole timeline pane (scrubber, text, gutter, live paragraph) at 2,000
// and 20,000 paragraphs side by side: a live-preview update, one paragraph
// appended, the same inputs passed again, and the first render. Each step
// includes the repaint that follows it. Runs offscreen unless
// QT_QPA_PLATFORM says otherwise (xvfb-run with QT_QPA_PLATFORM=xcb).
// The store's share of an append (writing the segment and extending its
// paragraphs) is measured on its own (StoreAppend), as is a regrouping of
// every segment into paragraphs (StoreRegroup), which other changes need.
// "heap_MB" is the heap the first render keeps. A long timeline holds its
// newest paragraphs, a bounded stretch: nothing more comes in unasked.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_TimelinePaneBench
//   build/bench_TimelinePaneBench --benchmark_repetitions=3
//       (add --benchmark_report_aggregates_only=true for medians alone)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "OffscreenApp.hpp"
#include "support/ProcessMemory.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/ParagraphEditor.hpp"
#include "verbolin/ui/QtMainExecutor.hpp"
#include "verbolin/ui/TimelinePane.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

using namespace verbolin;

namespace {

std::vector<Segment> makeSegments(int n) {
    std::vector<Segment> out;
    out.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        Segment s;
        // A working day of dictation, then a night's pause.
        const double t = 1.7e9 + (i / 60) * 86400.0 + (i % 60) * 40.0;
        s.start = platform::dateFromSecondsSince1970(t);
        s.end = platform::dateFromSecondsSince1970(t + 6);
        s.text = "Paragraph " + std::to_string(i) +
                 " holds a sentence or two of ordinary dictated speech.";
        out.push_back(std::move(s));
    }
    return out;
}

// Heap in use, not resident pages: freed blocks of earlier runs stay
// resident and would hide the growth.
void settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

struct World {
    testsupport::TempDir tmp{"verbolin-bench"};
    TranscriptStore store{tmp.path()};
    QtMainExecutor main;
    std::vector<Segment> segments;
    TimelinePaneInputs in;

    explicit World(int paragraphs) : segments(makeSegments(paragraphs)) {
        in.store = &store;
        store.segments.set(segments);  // in memory: the database is not needed here
        in.blocks = store.allBlocks();
        in.fontSize = 20;
        in.showsLive = true;
        SectionTitles::Map sections;
        for (size_t i = 0; i < in.blocks->size(); i += 60)  // a session a day
            sections[(*in.blocks)[i].id] = "Day " + std::to_string(i / 60);
        in.sectionStarts = std::move(sections);
        in.onDeleteSelection = [] {};
        in.onCopyBlock = [](const Block&) {};
        in.onScrolledToTop = [] {};
        in.onSelection = [](std::pair<int, int>, const std::vector<platform::Uuid>&) {};
    }

    std::unique_ptr<TimelinePane> open() {
        auto pane = std::make_unique<TimelinePane>(in, main);
        pane->resize(900, 700);
        pane->show();
        settle();
        return pane;
    }

    // Opened at its newest paragraphs.
    std::unique_ptr<TimelinePane> openFilled() {
        auto pane = open();
        settle();
        return pane;
    }

    // A final segment after a pause: a paragraph of its own.
    Segment nextSegment() {
        Segment s;
        s.start = segments.back().end + std::chrono::seconds(30);
        s.end = s.start + std::chrono::seconds(4);
        s.text = "A new final segment arrives from the recogniser.";
        segments.push_back(s);
        return s;
    }

    void appendOne() {
        // The store's work, as in the application; measured on its own below.
        store.append(nextSegment());
        in.blocks = store.allBlocks();
    }
};

void BM_FirstRender(benchmark::State& state) {
    World w(int(state.range(0)));
    double grown = 0;
    for (auto _ : state) {
        const double before = testsupport::heapMegabytes();
        auto pane = w.open();
        grown = std::max(grown, testsupport::heapMegabytes() - before);
        state.PauseTiming();
        pane.reset();
        settle();
        state.ResumeTiming();
    }
    state.counters["heap_MB"] = grown;
}

void BM_PreviewUpdate(benchmark::State& state) {
    World w(int(state.range(0)));
    auto pane = w.openFilled();
    w.store.isSpeaking.set(true);
    settle();
    std::string preview = "and so";
    int i = 0;
    for (auto _ : state) {
        preview += (++i % 2) ? " we" : " went";
        w.store.preview.set(preview);
        settle();
    }
}

void BM_AppendParagraph(benchmark::State& state) {
    World w(int(state.range(0)));
    auto pane = w.openFilled();
    for (auto _ : state) {
        state.PauseTiming();
        w.appendOne();
        TimelinePaneInputs next = w.in;  // the editor hands over its own copy
        state.ResumeTiming();
        pane->setInputs(std::move(next));
        settle();
    }
}

void BM_UnchangedInputs(benchmark::State& state) {
    World w(int(state.range(0)));
    auto pane = w.openFilled();
    for (auto _ : state) {
        state.PauseTiming();
        TimelinePaneInputs same = w.in;
        state.ResumeTiming();
        pane->setInputs(std::move(same));
        settle();
    }
}

// A word typed into a paragraph and undone, as the window does it: the
// transcript changed through the paragraph editor, then the pane given the
// new paragraphs. Only the paragraph changed is written again, so a paragraph
// in the middle (second argument 0) costs what one near the end (1) does.
void BM_EditAndUndo(benchmark::State& state) {
    World w(int(state.range(0)));
    auto pane = w.openFilled();
    ParagraphEditor editor(w.store);
    const size_t count = w.store.allBlocks()->size();
    const platform::Uuid id = (*w.store.allBlocks())[state.range(1) ? count - 2 : count / 2].id;
    const auto show = [&] {
        w.in.blocks = w.store.allBlocks();
        pane->setInputs(w.in);
        settle();
    };
    for (auto _ : state) {
        const auto all = w.store.allBlocks();
        const Block shown =
            *std::find_if(all->begin(), all->end(), [&](const Block& b) { return b.id == id; });
        editor.edit(shown, shown.text(), shown.text() + " x", std::nullopt);
        show();
        editor.undo();
        show();
    }
}

// The store's share of an append: regrouping every segment into paragraphs.
void BM_StoreRegroup(benchmark::State& state) {
    World w(int(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        w.store.segments.mutate([&](auto& list) { list = w.segments; });  // drops the cache
        state.ResumeTiming();
        benchmark::DoNotOptimize(w.store.allBlocks()->size());
    }
}

// The store's share of an append in the application: the segment written to
// the database and the paragraphs extended by it.
void BM_StoreAppend(benchmark::State& state) {
    World w(int(state.range(0)));
    (void)w.store.allBlocks();
    for (auto _ : state) {
        state.PauseTiming();
        const Segment s = w.nextSegment();
        state.ResumeTiming();
        w.store.append(s);
        benchmark::DoNotOptimize(w.store.allBlocks()->size());
    }
}

}  // namespace

BENCHMARK(BM_PreviewUpdate)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_AppendParagraph)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);
BENCHMARK(BM_UnchangedInputs)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);
BENCHMARK(BM_EditAndUndo)
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50);
BENCHMARK(BM_FirstRender)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StoreRegroup)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_StoreAppend)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(200);

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
