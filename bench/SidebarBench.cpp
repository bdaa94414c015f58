// The session sidebar over a day, a year and three years of daily dictation
// (150-300 utterances a day of 8-40 words, 3-8 sessions a day; 81,417 and
// 247,298 segments for the year and the three): built whole at start
// (Build), and brought up to date after one stored edit of a session's
// first words (Update, the edit itself not counted); Summaries is Build's
// share that reads the segments. "rows" counts the rows
// written, "reads" the segments the summaries read. Walk is what each
// update cost before the summaries: every session's segments found by a
// walk over all of them, three times over (its day, range and preview),
// without the widgets.
//
//   cmake -S . -B build -DVERBOLIN_BUILD_BENCH=ON
//   cmake --build build -j4 --target bench_SidebarBench
//   build/bench_SidebarBench
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "OffscreenApp.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/Pasteboard.hpp"
#include "verbolin/ui/SidebarWidget.hpp"

using namespace verbolin;

namespace {

struct Transcript {
    std::vector<Segment> segments;
    std::vector<SessionMarker> markers;
};

size_t segmentsFor(int days) {
    return days == 365 ? 81417 : days == 1095 ? 247298 : size_t(days) * 225;
}

Transcript dictate(int days) {
    static const char* const kWords[] = {"the",  "minutes", "of",   "today's", "call",
                                         "ship", "it",      "and",  "then",    "review",
                                         "we",   "agreed",  "that", "budget",  "draft"};
    std::mt19937 random(42);
    Transcript t;
    const size_t wanted = segmentsFor(days);
    t.segments.reserve(wanted);
    for (int d = 0; t.segments.size() < wanted; ++d) {
        const int sessions = 3 + int(random() % 6);
        const int utterances = 150 + int(random() % 151);
        double at = 1.7e9 + d * 86400.0 + 8 * 3600.0;
        for (int i = 0; i < utterances && t.segments.size() < wanted; ++i) {
            if (i % (utterances / sessions + 1) == 0)
                t.markers.push_back({platform::Uuid::random(),
                                     platform::dateFromSecondsSince1970(at - 1), std::nullopt});
            Segment s;
            s.start = platform::dateFromSecondsSince1970(at);
            s.end = platform::dateFromSecondsSince1970(at + 8);
            const int words = 8 + int(random() % 33);
            for (int w = 0; w < words; ++w)
                s.text += (w ? " " : "") + std::string(kWords[random() % std::size(kWords)]);
            t.segments.push_back(std::move(s));
            at += 20 + double(random() % 200);
        }
    }
    return t;
}

const Transcript& transcriptOf(int days) {
    static std::map<int, Transcript> made;
    auto it = made.find(days);
    if (it == made.end()) it = made.emplace(days, dictate(days)).first;
    return it->second;
}

struct World {
    testsupport::TempDir tmp{"verbolin-bench"};
    TranscriptStore store{tmp.path(), UserCalendar("en_US", "UTC")};
    std::string scope = "all";
    MemoryPasteboard pasteboard;

    explicit World(int days) {
        const Transcript& t = transcriptOf(days);
        store.segments.set(t.segments);  // in memory: the database is not needed here
        store.sessions.set(t.markers);
    }
    std::unique_ptr<SidebarWidget> open() {
        auto sidebar = std::make_unique<SidebarWidget>(store, scope, pasteboard);
        sidebar->resize(240, 700);
        return sidebar;
    }
};

void BM_Build(benchmark::State& state) {
    size_t rows = 0, reads = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<World>(int(state.range(0)));
        state.ResumeTiming();
        auto sidebar = w->open();
        state.PauseTiming();
        rows = sidebar->rowsWritten();
        reads = w->store.sessionSummaries().work().segmentsRead;
        sidebar.reset();
        w.reset();
        state.ResumeTiming();
    }
    state.counters["rows"] = double(rows);
    state.counters["reads"] = double(reads);
    state.counters["segments"] = double(transcriptOf(int(state.range(0))).segments.size());
    state.counters["sessions"] = double(transcriptOf(int(state.range(0))).markers.size());
}

// The summaries alone, read anew from every segment, as after a write that
// names no span (a reload from disk).
void BM_Summaries(benchmark::State& state) {
    World w(int(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        w.store.segments.mutate([](auto&) {});
        state.ResumeTiming();
        benchmark::DoNotOptimize(w.store.sessionSummaries().entries().size());
    }
}

void BM_Update(benchmark::State& state) {
    World w(int(state.range(0)));
    auto sidebar = w.open();
    const size_t rowsBefore = sidebar->rowsWritten();
    const size_t readsBefore = w.store.sessionSummaries().work().segmentsRead;
    // A session in the middle: its first paragraph, edited back and forth.
    const auto& markers = w.store.sessions.peek();
    const auto middle = markers[markers.size() / 2].start;
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            const auto blocks = w.store.allBlocks();
            const auto block = std::find_if(blocks->begin(), blocks->end(), [&](const Block& b) {
                return b.segments.front().start >= middle;
            });
            w.store.replace(*block, "first words, take " + std::to_string(n++));
        }  // the paragraphs let go here, not in the time measured
        state.ResumeTiming();
        QApplication::processEvents();  // the sidebar's reload, queued by the change
    }
    state.counters["rows"] = double(sidebar->rowsWritten() - rowsBefore) / double(n);
    state.counters["reads"] =
        double(w.store.sessionSummaries().work().segmentsRead - readsBefore) / double(n);
}

void BM_Walk(benchmark::State& state) {
    const Transcript& t = transcriptOf(int(state.range(0)));
    const UserCalendar calendar("en_US", "UTC");
    const auto firstAndLast = [&](const SessionItem& item) {
        std::pair<const Segment*, const Segment*> ends{nullptr, nullptr};
        for (const Segment& s : t.segments)
            if (s.start >= item.start && (!item.end || s.start < *item.end)) {
                if (!ends.first) ends.first = &s;
                ends.second = &s;
            }
        return ends;
    };
    for (auto _ : state) {
        size_t found = 0;
        for (const SessionItem& item :
             TranscriptStore::sessionItems(t.segments, t.markers, calendar))
            for (int pass = 0; pass < 3; ++pass) found += firstAndLast(item).first != nullptr;
        benchmark::DoNotOptimize(found);
    }
}

}  // namespace

BENCHMARK(BM_Build)->Arg(1)->Arg(365)->Arg(1095)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Summaries)->Arg(1)->Arg(365)->Arg(1095)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Update)->Arg(1)->Arg(365)->Arg(1095)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_Walk)->Arg(1)->Arg(365)->Arg(1095)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
