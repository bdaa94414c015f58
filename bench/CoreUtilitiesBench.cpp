// Costs of the core utilities on the decoder's per-token path: a filtered log
// line, a locked property read, a stop-flag lookup, and the text helpers.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/system/Uuid.hpp"
#include "vortilcore/core/EarlyStopActor.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/PropertyLock.hpp"
#include "vortilcore/core/Protected.hpp"

static void BM_LogFilteredOut(benchmark::State& state) {
    vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::error);
    for (auto _ : state) vortil::Logging::debug("token", 42, 0.25);
}
BENCHMARK(BM_LogFilteredOut);

static void BM_LogToCallback(benchmark::State& state) {
    size_t total = 0;
    vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::debug);
    vortil::Logging::updateCallback([&](const std::string& m) { total += m.size(); });
    for (auto _ : state) vortil::Logging::debug("token", 42, 0.25);
    vortil::Logging::updateCallback(nullptr);
    vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    benchmark::DoNotOptimize(total);
}
BENCHMARK(BM_LogToCallback);

static void BM_PropertyLockGetInt(benchmark::State& state) {
    vortil::PropertyLock<int> value(7);
    for (auto _ : state) benchmark::DoNotOptimize(value.get());
}
BENCHMARK(BM_PropertyLockGetInt)->ThreadRange(1, 4);

static void BM_ProtectedGetOptional(benchmark::State& state) {
    static vortil::Protected<std::optional<int>> model(std::optional<int>(1));
    for (auto _ : state) benchmark::DoNotOptimize(model.get());
}
BENCHMARK(BM_ProtectedGetOptional)->ThreadRange(1, 4);

static void BM_EarlyStopGet(benchmark::State& state) {
    vortil::EarlyStopActor actor;
    platform::Uuid run = platform::Uuid::random();
    actor.set(false, run);
    for (auto _ : state) benchmark::DoNotOptimize(actor.get(run));
}
BENCHMARK(BM_EarlyStopGet);

static void BM_TrimmingFromEnd(benchmark::State& state) {
    const std::string text = "The quick brown fox jumps over the lazy dog....";
    for (auto _ : state) benchmark::DoNotOptimize(vortil::trimmingFromEnd(text, ".", 3));
}
BENCHMARK(BM_TrimmingFromEnd);

static void BM_LastNaturalBoundary(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += "This is sentence number " + std::to_string(i) + ", more or less. ";
    text += "And an unfinished tail";
    auto encode = [](const std::string& s) { return std::vector<int>(s.size() / 4); };
    for (auto _ : state) benchmark::DoNotOptimize(vortil::lastNaturalBoundary(text, 50, encode));
}
BENCHMARK(BM_LastNaturalBoundary);

BENCHMARK_MAIN();
