// Costs on the listening path: one 0.1 s frame from the microphone through the
// feeding thread and the session's executor to its level event, and the
// output filters on a long recognised text.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/FakeAudioBackend.hpp"
#include "support/ManualMainExecutor.hpp"
#include "verbolin/listening/OutputFilters.hpp"
#include "verbolin/listening/StreamSession.hpp"

namespace {

class SilentEngine : public verbolin::SpeechEngine {
  public:
    std::string name() const override { return "silent"; }
    void prepare() override {}
    std::string transcribe(std::span<const float>, const std::optional<std::string>&) override {
        return "";
    }
};

}  // namespace

static void BM_FrameToLevelEvent(benchmark::State& state) {
    platform::VirtualClock clock;
    platform::ManualMainExecutor main(clock);
    auto backend = std::make_shared<platform::FakeAudioBackend>();
    backend->script().format = {16000, 1};
    std::mutex m;
    std::condition_variable cv;
    size_t levels = 0;
    verbolin::StreamSession::Services services;
    services.main = &main;
    services.backend = backend;
    services.clock = &clock;
    services.recorder = nullptr;
    auto session = verbolin::StreamSession::create(
        std::make_shared<SilentEngine>(), false, {}, {},
        [&](verbolin::StreamSession::Event e) {
            if (e.kind != verbolin::StreamSession::Event::Kind::level) return;
            std::lock_guard lock(m);
            ++levels;
            cv.notify_all();
        },
        services);
    session->start();
    const std::vector<float> frame(1600, 0.001f);
    size_t expected = 0;
    for (auto _ : state) {
        backend->deliver(frame);
        ++expected;
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return levels >= expected; });
    }
    session->stop();
    session.reset();
    main.runPending();
}
BENCHMARK(BM_FrameToLevelEvent)->UseRealTime();

static void BM_OutputFilters(benchmark::State& state) {
    std::string text = "  ";
    for (int i = 0; i < 12; ++i) text += "so so I think the the plan is fine and we can ship it ";
    text += "\n";
    for (auto _ : state) {
        std::string t = verbolin::OutputFilters::cleaned(text);
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_OutputFilters);
BENCHMARK_MAIN();
