// Throughput of byte-level BPE encoding with the Whisper English vocabulary.
// Input: the English license texts every Debian system ships, repeated to
// about 2 MB and cut into paragraphs. Run by hand:
//   build-bench/bench_BPETokenizerBench

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "WhisperTokenizerData.hpp"
#include "vortilcore/tokenizers/BPETokenizer.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"

namespace fs = std::filesystem;
using namespace vortil;

namespace {

using benchdata::readAll;

Config readConfig(const std::string& name) { return benchdata::whisperTokenizerFile(name); }

std::vector<std::string> corpus(size_t& bytes) {
    std::string text;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator("/usr/share/common-licenses"))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) text += readAll(f);
    std::string all;
    while (all.size() < 2'000'000) all += text;
    std::vector<std::string> paragraphs;
    size_t start = 0;
    bytes = 0;
    while (start < all.size()) {
        size_t end = all.find("\n\n", start);
        if (end == std::string::npos) end = all.size();
        paragraphs.push_back(all.substr(start, end - start));
        bytes += end - start;
        start = end + 2;
    }
    return paragraphs;
}

struct Fixture {
    Config config = readConfig("tokenizer_config.json");
    Config data = readConfig("tokenizer.json");
    PreTokenizerPtr preTokenizer = PreTokenizerFactory::fromConfig(data.get("preTokenizer"));
    size_t bytes = 0;
    std::vector<std::string> paragraphs = corpus(bytes);
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

size_t encodeAll(const BPETokenizer& model, const Fixture& f) {
    size_t ids = 0;
    for (const auto& p : f.paragraphs)
        for (const auto& piece : (*f.preTokenizer)(p, PreTokenizerOptions{true}))
            for (const auto& token : model(piece)) ids += model.convertTokenToId(token).has_value();
    return ids;
}

}  // namespace

// Steady state: the merged-word cache is warm, as in a long-running process.
static void BM_EncodeWarm(benchmark::State& state) {
    Fixture& f = fixture();
    BPETokenizer model(f.config, f.data, {});
    encodeAll(model, f);
    for (auto _ : state) benchmark::DoNotOptimize(encodeAll(model, f));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}
BENCHMARK(BM_EncodeWarm)->Unit(benchmark::kMillisecond);

// First pass over the text with a fresh model: every distinct word is merged once.
static void BM_EncodeColdCache(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        auto model = std::make_unique<BPETokenizer>(f.config, f.data, AddedTokens{});
        state.ResumeTiming();
        benchmark::DoNotOptimize(encodeAll(*model, f));
        state.PauseTiming();
        model.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}
BENCHMARK(BM_EncodeColdCache)->Unit(benchmark::kMillisecond);

// The merge loop alone, never cached.
static void BM_MergeOnly(benchmark::State& state) {
    Fixture& f = fixture();
    BPETokenizer model(f.config, f.data, {});
    std::vector<std::string> pieces;
    size_t bytes = 0;
    for (const auto& p : f.paragraphs)
        for (auto& piece : (*f.preTokenizer)(p, PreTokenizerOptions{true})) {
            bytes += piece.size();
            pieces.push_back(std::move(piece));
        }
    for (auto _ : state)
        for (const auto& piece : pieces) benchmark::DoNotOptimize(model.bpe(piece));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_MergeOnly)->Unit(benchmark::kMillisecond);

static void BM_PreTokenizeByteLevel(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        for (const auto& p : f.paragraphs)
            benchmark::DoNotOptimize((*f.preTokenizer)(p, PreTokenizerOptions{true}));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}
BENCHMARK(BM_PreTokenizeByteLevel)->Unit(benchmark::kMillisecond);

static void BM_BuildWhisperModel(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) BPETokenizer model(f.config, f.data, {});
}
BENCHMARK(BM_BuildWhisperModel)->Unit(benchmark::kMillisecond);

static void BM_ParseTokenizerJson(benchmark::State& state) {
    fs::path file = fs::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer/tokenizer.json";
    std::string bytes = readAll(file);
    for (auto _ : state)
        benchmark::DoNotOptimize(Config::fromJson(bomPreservingJsonObject(bytes),
                                                  Config::JsonSource::configurationFile));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_ParseTokenizerJson)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// One long word of random letters: the merge loop's growth with piece length.
static void BM_MergeLongWord(benchmark::State& state) {
    Fixture& f = fixture();
    BPETokenizer model(f.config, f.data, {});
    std::string word;
    uint32_t x = 12345;
    while (word.size() < size_t(state.range(0))) {
        x = x * 1103515245u + 12345u;
        word += char('a' + (x >> 16) % 26);
    }
    for (auto _ : state) benchmark::DoNotOptimize(model.bpe(word));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(word.size()));
}
BENCHMARK(BM_MergeLongWord)
    ->Arg(1 << 10)
    ->Arg(1 << 14)
    ->Arg(1 << 17)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond);
