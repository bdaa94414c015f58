// File and batch transcription over a base-shaped random model (512 wide,
// 6 + 6 layers, 8 heads, English vocabulary). A logits filter makes every
// window emit exactly kTokens distinct text tokens and end, so the figures do
// not depend on what random weights say.
//
//   BM_TenMinuteFile: ten minutes of espeak-ng speech, whole-file mode;
//     counters: real-time factor (processing time / audio time), tokens/s,
//     processor seconds of every thread, and the pipeline's own stage times.
//   BM_Batch/<workers>: eight 30 s arrays through the batch path with 1 or 4
//     concurrent workers.
//
// Needs verbolin-models beside the benchmark, espeak-ng and sox, and the
// English tokenizer of tests/data (or VERBOLIN_TOKENIZER_DIR). The speech
// file is made once in $TMPDIR (verbolin-bench-speech-600s.wav).
// VERBOLIN_MATRIX_KERNEL picks the matrix product build by name.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "auralith/Auralith.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/LogitsFiltering.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MatrixKernels.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kTokens = 40;
constexpr std::int64_t kFirstText = 4;  // start, language, task, no timestamps

class FixedTokens final : public auralith::LogitsFiltering {
  public:
    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override {
        const auto n = static_cast<std::int64_t>(tokens.size()) - kFirstText;
        const std::int64_t allowed = n >= kTokens ? 50256 : 500 + 11 * n;
        // Converted once: a conversion per score made this stand-in filter
        // cost more than the pipeline's own.
        static const platform::ml::Float16 minusInfinity(-INFINITY);
        auto* scores = static_cast<platform::ml::Float16*>(logits->dataPointer());
        const platform::ml::Float16 kept = scores[allowed];
        std::fill(scores, scores + logits->count(), minusInfinity);
        scores[allowed] = kept;
        return logits;
    }
};

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

struct Setup {
    fs::path root =
        fs::temp_directory_path() / ("verbolin-file-bench-" + std::to_string(::getpid()));
    // The matrix product build, as VERBOLIN_MATRIX_KERNEL asks ("avx512", "avx2",
    // "openblas", "portable"); the processor's best when unset.
    bool kernelChosen = [] {
        const char* name = std::getenv("VERBOLIN_MATRIX_KERNEL");
        if (name && !platform::ml::selectMatrixKernels(name))
            throw std::runtime_error(std::string("no usable matrix kernel named ") + name);
        return true;
    }();
    std::string speech = (fs::temp_directory_path() / "verbolin-bench-speech-600s.wav").string();
    std::shared_ptr<auralith::Auralith> pipeline;

    Setup() {
        const fs::path buildDir = fs::read_symlink("/proc/self/exe").parent_path();
        const char* given = std::getenv("VERBOLIN_TOKENIZER_DIR");
        const fs::path tokenizer =
            given ? fs::path(given) : buildDir / ".." / "tests" / "data" / "whisper-en-tokenizer";
        run("'" + (buildDir / "verbolin-models").string() + "' random '" +
            (root / "model").string() + "' --tokenizer '" + tokenizer.string() +
            "' --dims d_model=512,heads=8,ffn=2048,layers=6,vocab_size=51864 >/dev/null");
        if (!fs::exists(speech)) {
            const std::string one = (root / "one.wav").string();
            run("espeak-ng -v en-us -w '" + one +
                "' 'The quick brown fox jumps over the lazy dog. Please send the report to the "
                "team by Friday. "
                "It is going to rain later this afternoon.'");
            run("sox '" + one + "' -r 16000 -c 1 '" + speech +
                ".part.wav' repeat 80 trim 0 600 && mv '" + speech + ".part.wav' '" + speech + "'");
        }
        auralith::AuralithConfig::Arguments a;
        a.modelFolder = (root / "model").string();
        a.tokenizerFolder = root / "model" / "tokenizer";
        a.download = false;
        auralith::AuralithConfig config(a);
        config.logitsFilters = std::vector<std::shared_ptr<auralith::LogitsFiltering>>{
            std::make_shared<FixedTokens>()};
        pipeline = auralith::Auralith::create(config);
    }
    ~Setup() {
        pipeline.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

auralith::DecodingOptions options(std::int64_t workers) {
    auralith::DecodingOptions::Arguments a;
    a.language = "en";
    a.withoutTimestamps = true;
    a.temperatureFallbackCount = 0;
    a.concurrentWorkerCount = workers;
    return auralith::DecodingOptions(a);
}

// Processor time of every thread of the process: on a machine shared with
// other work, the cost of a run that wall time alone misstates.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_TenMinuteFile(benchmark::State& state) {
    auto& s = setup();
    const auralith::AudioInputOptions whole{
        auralith::AudioInputOptions::ChannelMode::sumChannels(),
        auralith::AudioInputOptions::AudioLoadingMode::fullFile()};
    double seconds = 0, tokens = 0;
    auralith::TranscriptionTimings t;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto results = s.pipeline->transcribe(s.speech, whole, options(0));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const auto& r : results) {
            for (const auto& segment : r->segments())
                tokens += static_cast<double>(segment.tokens.size());
        }
        if (!results.empty()) t = results.front()->timings();
    }
    // Where the time of the last run went, from the pipeline's own timings.
    state.counters["load_s"] = t.audioLoading;
    state.counters["mel_s"] = t.logmels;
    state.counters["encode_s"] = t.encoding;
    state.counters["loop_s"] = t.decodingLoop;
    state.counters["predict_s"] = t.decodingPredictions;
    state.counters["filter_s"] = t.decodingFiltering;
    state.counters["sample_s"] = t.decodingSampling;
    state.counters["kv_s"] = t.decodingKvCaching;
    state.counters["window_s"] = t.decodingWindowing;
    state.counters["windows"] = t.totalDecodingWindows;
    state.counters["rtf"] = seconds / (600.0 * static_cast<double>(state.iterations()));
    state.counters["tokens_per_s"] = tokens / seconds;
    state.counters["cpu_s"] =
        (processCpuSeconds() - cpu0) / static_cast<double>(state.iterations());
    state.SetLabel(platform::ml::matrixKernelName());
}
BENCHMARK(BM_TenMinuteFile)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_Batch(benchmark::State& state) {
    auto& s = setup();
    const auto all = auralith::AudioProcessor::loadAudioAsFloatArray(
        s.speech, auralith::AudioInputOptions::ChannelMode::sumChannels());
    std::vector<std::vector<float>> arrays;
    for (std::size_t i = 0; i < 8; ++i)
        arrays.emplace_back(all.begin() + i * 480000, all.begin() + (i + 1) * 480000);
    const double cpu0 = processCpuSeconds();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            s.pipeline->transcribeWithResults(arrays, options(state.range(0))));
    state.counters["cpu_s"] =
        (processCpuSeconds() - cpu0) / static_cast<double>(state.iterations());
    state.SetLabel("8 x 30 s, " + platform::ml::matrixKernelName());
}
BENCHMARK(BM_Batch)->Arg(1)->Arg(4)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
