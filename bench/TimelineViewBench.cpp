// The timeline with 20,000 paragraphs: opening (all of it, and up to the
// first frame, the older text coming in later), a live paragraph appended at
// the end, and one scroll step with its repaint. Runs offscreen.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <cstdlib>

#include "support/ManualMainExecutor.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"
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

}  // namespace

BENCHMARK(BM_OpenView)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OpenViewFirstFrame)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_AppendLiveParagraph)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_ScrollFrame)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    afterApplicationCreated();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
