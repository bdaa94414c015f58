// From the end of an utterance to its final text in the transcript: the
// application's recogniser over a base-shaped random model (512 wide, 6 + 6
// layers, 8 heads, English vocabulary), transcribing 3 s of audio, then the
// store's append. A logits filter makes the decoder emit exactly 20 distinct
// tokens and then end, so the figure does not depend on what random weights
// happen to say (and no temperature fallback runs).
//
// Needs verbolin-models beside the benchmark (it is built with it) and the
// English tokenizer of tests/data (found from a build folder inside the source
// tree, or named by VERBOLIN_TOKENIZER_DIR).
// Run: bench_DictationLatencyBench; VERBOLIN_THREADS is not read here, the
// runtime uses every core.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "auralith/core/text/LogitsFiltering.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "verbolin/listening/AuralithEngine.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kPromptLength = 4;  // start, language, task, no timestamps
constexpr std::int64_t kTokens = 20;
constexpr std::int64_t kEndOfText = 50256;

// Leaves one token standing per step: 20 different words, then end of text.
class TwentyTokens final : public auralith::LogitsFiltering {
  public:
    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override {
        const std::int64_t step = static_cast<std::int64_t>(tokens.size()) - kPromptLength;
        const std::int64_t keep = step < kTokens ? 1000 + 37 * step : kEndOfText;
        auto* scores = static_cast<platform::ml::Float16*>(logits->dataPointer());
        const std::int64_t count = logits->count();
        const auto forbidden = platform::ml::Float16(-INFINITY);
        for (std::int64_t t = 0; t < count; ++t)
            if (t != keep) scores[t] = forbidden;
        return logits;
    }
};

struct Setup {
    fs::path root = fs::temp_directory_path() / ("verbolin-latency-" + std::to_string(::getpid()));
    std::unique_ptr<verbolin::AuralithEngine> engine;
    std::unique_ptr<verbolin::TranscriptStore> store;
    std::shared_ptr<auralith::Auralith> pipeline;

    Setup() {
        ::setenv("XDG_DATA_HOME", root.c_str(), 1);
        const auto pack = verbolin::ModelPack::named("standard");
        const fs::path buildDir = fs::read_symlink("/proc/self/exe").parent_path();
        const fs::path tool = buildDir / "verbolin-models";
        const char* given = std::getenv("VERBOLIN_TOKENIZER_DIR");
        const fs::path tokenizer =
            given ? fs::path(given) : buildDir / ".." / "tests" / "data" / "whisper-en-tokenizer";
        if (!fs::exists(tokenizer / "tokenizer.json"))
            throw std::runtime_error("no tokenizer at " + tokenizer.string() +
                                     " (set VERBOLIN_TOKENIZER_DIR)");
        const std::string command =
            "'" + tool.string() + "' random '" + pack.localFolder().string() + "' --tokenizer '" +
            tokenizer.string() +
            "' --dims d_model=512,heads=8,ffn=2048,layers=6,vocab_size=51864 >/dev/null";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("cannot make the model: " + command);
        engine = std::make_unique<verbolin::AuralithEngine>(
            pack,
            [this](const auralith::AuralithConfig& config) {
                auto withFilter = config;
                withFilter.logitsFilters = std::vector<std::shared_ptr<auralith::LogitsFiltering>>{
                    std::make_shared<TwentyTokens>()};
                pipeline = auralith::Auralith::create(withFilter);
                return pipeline;
            },
            nullptr);
        engine->prepare();
        store = std::make_unique<verbolin::TranscriptStore>(root / "store");
    }
    ~Setup() {
        store.reset();
        engine.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

// Processor time of every thread of the process. On a shared machine the wall
// time of a run swings with the other work (the encoder of this pipeline and
// that of the models benchmark once looked 3x apart from runs at different
// loads); its processor time does not, so compare runs by this.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<float> utterance() {
    std::vector<float> samples(48000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.3f * static_cast<float>(
                                std::sin(2.0 * M_PI * 220.0 * static_cast<double>(i) / 16000.0));
    return samples;
}

void BM_UtteranceEndToStoredText(benchmark::State& state) {
    auto& setup = ::setup();
    const auto samples = utterance();
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        const std::string text = setup.engine->transcribe(samples, std::nullopt);
        verbolin::Segment segment;
        segment.start = std::chrono::system_clock::now();
        segment.end = segment.start;
        segment.text = text;
        setup.store->append(segment);
        benchmark::DoNotOptimize(text);
    }
    state.counters["cpu_ms"] =
        (processCpuSeconds() - cpu0) * 1000 / static_cast<double>(state.iterations());
    state.SetLabel("3 s utterance, 20 tokens, base shape, " + platform::ml::matrixKernelName());
}
BENCHMARK(BM_UtteranceEndToStoredText)->Unit(benchmark::kMillisecond)->Iterations(10);

// Where the time of one utterance goes, from the pipeline's own timings (ms).
void BM_PipelineStages(benchmark::State& state) {
    auto& setup = ::setup();
    const auto samples = utterance();
    auralith::TranscriptionTimings t;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        const auto results = setup.pipeline->transcribe(samples, setup.engine->options());
        t = results.at(0)->timings();
    }
    state.counters["mel_ms"] = t.logmels * 1000;
    state.counters["encoder_ms"] = t.encoding * 1000;
    state.counters["loop_ms"] = t.decodingLoop * 1000;
    state.counters["predict_ms"] = t.decodingPredictions * 1000;
    state.counters["tokens"] = t.totalDecodingLoops;
    state.counters["fallbacks"] = t.totalDecodingFallbacks;
    state.counters["full_ms"] = t.fullPipeline * 1000;
    state.counters["cpu_ms"] =
        (processCpuSeconds() - cpu0) * 1000 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PipelineStages)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
