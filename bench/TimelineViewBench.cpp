// The timeline with 20,000 paragraphs: opening (up to the first frame), a
// live paragraph appended at the end, and one scroll step with its repaint.
//
// BM_DictationTranscript over a day, a year and three years of daily
// dictation (150-300 utterances a day of 8-40 words, a few sessions): the
// paragraph array is the store's, made outside the timing. "ms_first_frame"
// from the inputs to the first frame painted, "ms_key" from a key at the
// newest paragraph's end to its edit reported, "ms_size_frame" from a new
// text size (the largest) to its first frame, "ms_all_restyled" until none
// is left in the old size, "ms_oldest" for Ctrl+Home, "ms_copy_all" for
// Ctrl+A then the copied text, "mb_view" the heap the view takes. Goal:
// three years within 1.5 x one day.
//   build/bench_TimelineViewBench --benchmark_filter=Dictation
// BM_ScrubberUpdate: the time strip given a new array of those paragraphs.
//   build/bench_TimelineViewBench --benchmark_filter=Scrubber
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QScrollBar>
#include <chrono>
#include <cstdlib>
#include <random>

#include "OffscreenApp.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/ProcessMemory.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/TimelineScrubber.hpp"
#include "verbolin/ui/TimelineTextEdit.hpp"
#include "verbolin/ui/TimelineTextView.hpp"

using namespace verbolin;

namespace {

constexpr int kParagraphs = 20000;

std::vector<Segment> makeSegments(int n) {
    std::vector<Segment> out;
    for (int i = 0; i < n; ++i) {
        Segment s;
        s.start = platform::dateFromSecondsSince1970(1.7e9 + i * 10.0);
        s.end = platform::dateFromSecondsSince1970(1.7e9 + i * 10.0 + 4);
        s.text = "Paragraph " + std::to_string(i) +
                 " holds a sentence or two of ordinary dictated speech.";
        out.push_back(std::move(s));
    }
    return out;
}

TimelineInputs inputsFor(std::shared_ptr<const std::vector<Block>> blocks) {
    TimelineInputs in;
    in.blocks = std::move(blocks);
    in.label = [](const Block&) { return std::string("10:41 AM"); };
    return in;
}

auto blocksOf(const std::vector<Segment>& segs) {
    return std::make_shared<const std::vector<Block>>(
        TranscriptStore::blocks(segs, TranscriptStore::paragraphGap));
}

struct Fixture {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main{clock};
    TimelineTextView view{main};
    Fixture() {
        view.resize(900, 700);
        view.show();
        QApplication::processEvents();
    }
    // Runs everything posted, older text's steps included.
    void runAll() { main.runPending(); }
};

void BM_OpenView(benchmark::State& state) {
    auto blocks = blocksOf(makeSegments(kParagraphs));
    for (auto _ : state) {
        Fixture f;
        f.view.setInputs(inputsFor(blocks));
        f.runAll();
        benchmark::DoNotOptimize(f.view.text().length());
        state.PauseTiming();
        state.ResumeTiming();
    }
}

// Up to the first frame: older paragraphs come in on later turns.
void BM_OpenViewFirstFrame(benchmark::State& state) {
    auto blocks = blocksOf(makeSegments(kParagraphs));
    for (auto _ : state) {
        Fixture f;
        f.view.setInputs(inputsFor(blocks));
        QWidget* viewport = f.view.textEdit()->viewport();
        QImage frame(viewport->size(), QImage::Format_ARGB32_Premultiplied);
        viewport->render(&frame);
        state.PauseTiming();
        f.runAll();
        state.ResumeTiming();
    }
}

void BM_AppendLiveParagraph(benchmark::State& state) {
    auto segs = makeSegments(kParagraphs);
    Fixture f;
    f.view.setInputs(inputsFor(blocksOf(segs)));
    f.runAll();
    for (auto _ : state) {
        state.PauseTiming();
        Segment s;
        s.start = segs.back().end + std::chrono::seconds(5);
        s.end = s.start + std::chrono::seconds(3);
        s.text = "A new final segment arrives from the recogniser.";
        segs.push_back(s);
        auto blocks = blocksOf(segs);  // the store's work, not the view's
        state.ResumeTiming();
        f.view.setInputs(inputsFor(std::move(blocks)));
        f.main.runPending();
    }
}

void BM_ScrollFrame(benchmark::State& state) {
    Fixture f;
    f.view.setInputs(inputsFor(blocksOf(makeSegments(kParagraphs))));
    f.runAll();
    QWidget* viewport = f.view.textEdit()->viewport();
    QImage frame(viewport->size(), QImage::Format_ARGB32_Premultiplied);
    double y = 0;
    for (auto _ : state) {
        y += 37;
        if (y > f.view.textEdit()->verticalScrollBar()->maximum()) y = 0;
        f.view.scrollTo(y);
        f.main.runPending();
        viewport->render(&frame);
    }
}

// `days` of dictation in the shape of daily use.
std::vector<Segment> dictation(int days) {
    std::mt19937 rng(17);
    const auto pick = [&](int lo, int hi) { return lo + int(rng() % unsigned(hi - lo + 1)); };
    static const char* words[] = {"the",   "meeting", "notes", "we",   "should", "call", "back",
                                  "about", "budget",  "and",   "then", "write",  "a",    "summary"};
    std::vector<Segment> out;
    for (int d = 0; d < days; ++d) {
        double t = 1.6e9 + d * 86400.0 + 8 * 3600;
        const int utterances = pick(150, 300), sessions = pick(2, 6);
        for (int u = 0; u < utterances; ++u) {
            t += u % (utterances / sessions + 1) == 0 ? 3600 : pick(3, 240);
            Segment s;
            s.start = platform::dateFromSecondsSince1970(t);
            t += pick(2, 12);
            s.end = platform::dateFromSecondsSince1970(t);
            const int n = pick(8, 40);
            for (int w = 0; w < n; ++w) s.text += std::string(w ? " " : "") + words[rng() % 14];
            s.text += ".";
            out.push_back(std::move(s));
        }
    }
    return out;
}

using Ms = std::chrono::duration<double, std::milli>;

void press(QWidget* to, int key, Qt::KeyboardModifiers mods = {}, const QString& text = {}) {
    QKeyEvent down(QEvent::KeyPress, key, mods, text), up(QEvent::KeyRelease, key, mods, text);
    QApplication::sendEvent(to, &down);
    QApplication::sendEvent(to, &up);
}

void BM_DictationTranscript(benchmark::State& state) {
    const auto blocks = blocksOf(dictation(int(state.range(0))));
    double firstFrame = 0, key = 0, sizeFrame = 0, restyled = 0, oldest = 0, copyAll = 0, mb = 0;
    for (auto _ : state) {
        const double heapBefore = testsupport::heapMegabytes();
        Fixture f;
        QWidget* viewport = f.view.textEdit()->viewport();
        QImage frame(viewport->size(), QImage::Format_ARGB32_Premultiplied);
        TimelineInputs in = inputsFor(blocks);
        bool reported = false;
        in.onEdit = [&](const Block&, const std::string&, const std::string&, std::optional<int>) {
            reported = true;
        };
        auto t = std::chrono::steady_clock::now();
        f.view.setInputs(in);
        f.main.runPending();
        viewport->render(&frame);
        firstFrame += Ms(std::chrono::steady_clock::now() - t).count();
        mb += testsupport::heapMegabytes() - heapBefore;

        QTextCursor c = f.view.textEdit()->textCursor();
        c.movePosition(QTextCursor::End);
        f.view.textEdit()->setTextCursor(c);
        t = std::chrono::steady_clock::now();
        press(f.view.textEdit(), Qt::Key_S, {}, QStringLiteral("s"));
        key += Ms(std::chrono::steady_clock::now() - t).count();
        if (!reported) state.SkipWithError("the key was not reported");

        in.fontSize = 64;
        t = std::chrono::steady_clock::now();
        f.view.setInputs(in);
        f.main.runPending();
        viewport->render(&frame);
        sizeFrame += Ms(std::chrono::steady_clock::now() - t).count();
        while (f.view.restyling()) f.main.advance(TimelineTextView::kFillPause);
        restyled += Ms(std::chrono::steady_clock::now() - t).count();

        t = std::chrono::steady_clock::now();
        press(f.view.textEdit(), Qt::Key_Home, Qt::ControlModifier);
        f.main.runPending();
        viewport->render(&frame);
        oldest += Ms(std::chrono::steady_clock::now() - t).count();

        t = std::chrono::steady_clock::now();
        f.view.selectWhole();
        benchmark::DoNotOptimize(f.view.plainSelectedText().size());
        copyAll += Ms(std::chrono::steady_clock::now() - t).count();
    }
    const double n = double(state.iterations());
    state.counters["paragraphs"] = double(blocks->size());
    state.counters["ms_first_frame"] = firstFrame / n;
    state.counters["ms_key"] = key / n;
    state.counters["ms_size_frame"] = sizeFrame / n;
    state.counters["ms_all_restyled"] = restyled / n;
    state.counters["ms_oldest"] = oldest / n;
    state.counters["ms_copy_all"] = copyAll / n;
    state.counters["mb_view"] = mb / n;
}

// The time strip over the same transcripts, given a new paragraph array on
// every update (an edit, a search): "ms_update" from the inputs to the strip
// painted, "ms_walk" what reading every paragraph's start once costs, which
// an update must not. Goal: three years within a few times one day.
void BM_ScrubberUpdate(benchmark::State& state) {
    const auto one = blocksOf(dictation(int(state.range(0))));
    const auto other = std::make_shared<const std::vector<Block>>(*one);
    TimelineScrubber strip;
    strip.resize(900, 30);
    QImage frame(strip.size(), QImage::Format_ARGB32_Premultiplied);
    double update = 0, walk = 0;
    bool flip = false;
    for (auto _ : state) {
        ScrubberInputs in;
        in.blocks = (flip = !flip) ? one : other;
        in.isLiveView = true;
        auto t = std::chrono::steady_clock::now();
        strip.setInputs(in);
        strip.render(&frame);
        update += Ms(std::chrono::steady_clock::now() - t).count();
        t = std::chrono::steady_clock::now();
        std::vector<platform::Date> starts;
        starts.reserve(in.blocks->size());
        for (const Block& b : *in.blocks) starts.push_back(b.segments.front().start);
        benchmark::DoNotOptimize(starts.data());
        walk += Ms(std::chrono::steady_clock::now() - t).count();
    }
    const double n = double(state.iterations());
    state.counters["paragraphs"] = double(one->size());
    state.counters["ms_update"] = update / n;
    state.counters["ms_walk"] = walk / n;
}

}  // namespace

BENCHMARK(BM_ScrubberUpdate)
    ->ArgNames({"days"})
    ->Args({1})
    ->Args({365})
    ->Args({1095})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);
BENCHMARK(BM_DictationTranscript)
    ->ArgNames({"days"})
    ->Args({1})
    ->Args({365})
    ->Args({1095})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_OpenView)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OpenViewFirstFrame)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_AppendLiveParagraph)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_ScrollFrame)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return benchsupport::runOffscreen(argc, argv); }
