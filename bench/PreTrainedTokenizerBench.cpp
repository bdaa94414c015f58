// The whole Whisper English tokenizer as the speech pipeline uses it: building
// it from its two files, encoding prompt-sized and long text (the added-token
// cut included), and decoding id sequences of one transcription window. Run
// by hand:
//   build-bench/bench_PreTrainedTokenizerBench

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "WhisperTokenizerData.hpp"
#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"

namespace fs = std::filesystem;
using namespace vortil;

namespace {

using benchdata::readAll;

Config readConfig(const std::string& name) { return benchdata::whisperTokenizerFile(name); }

struct Fixture {
    Config config = readConfig("tokenizer_config.json");
    Config data = readConfig("tokenizer.json");
    PreTrainedTokenizer tokenizer{config, data};
    std::string prompt =
        " So the plan for tomorrow is to meet at nine, review the draft, and send it out before "
        "lunch.";
    std::string longText;
    std::vector<int> windowIds;

    Fixture() {
        for (const auto& e : fs::directory_iterator("/usr/share/common-licenses")) {
            if (longText.size() > 200'000) break;
            if (e.is_regular_file()) longText += readAll(e.path());
        }
        // About 30 s of speech: timestamps around some 120 text tokens.
        std::vector<int> text = tokenizer.encode(prompt + prompt + prompt + prompt, false);
        windowIds = {50257, 50363};
        windowIds.insert(windowIds.end(), text.begin(), text.end());
        windowIds.push_back(51863);
        windowIds.push_back(50256);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

}  // namespace

static void BM_BuildWhisperTokenizer(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) PreTrainedTokenizer t(f.config, f.data);
}
BENCHMARK(BM_BuildWhisperTokenizer)->Unit(benchmark::kMillisecond);

static void BM_EncodePrompt(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.tokenizer.encode(f.prompt));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.prompt.size()));
}
BENCHMARK(BM_EncodePrompt)->Unit(benchmark::kMicrosecond);

// Previous text with its timestamp tokens, as a prompt may carry it.
static void BM_EncodeTimestampedText(benchmark::State& state) {
    Fixture& f = fixture();
    std::string text;
    for (int i = 0; i < 10; ++i) text += "<|" + std::to_string(i * 2) + ".00|>" + f.prompt;
    for (auto _ : state) benchmark::DoNotOptimize(f.tokenizer.encode(text, false));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_EncodeTimestampedText)->Unit(benchmark::kMicrosecond);

static void BM_EncodeLongText(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.tokenizer.encode(f.longText));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.longText.size()));
}
BENCHMARK(BM_EncodeLongText)->Unit(benchmark::kMillisecond);

// The cut at the 1608 added tokens alone.
static void BM_AddedTokenSplit(benchmark::State& state) {
    Fixture& f = fixture();
    const Regex& re = *f.tokenizer.addedTokensRegex();
    for (auto _ : state) benchmark::DoNotOptimize(split(f.longText, re));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.longText.size()));
}
BENCHMARK(BM_AddedTokenSplit)->Unit(benchmark::kMillisecond);

static void BM_DecodeWindow(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.tokenizer.decode(f.windowIds, true));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(f.windowIds.size()));
}
BENCHMARK(BM_DecodeWindow)->Unit(benchmark::kMicrosecond);

// One id at a time, as a streaming decoder shows text token by token.
static void BM_DecodeSingleToken(benchmark::State& state) {
    Fixture& f = fixture();
    const std::vector<int> one{995};
    for (auto _ : state) benchmark::DoNotOptimize(f.tokenizer.decode(one));
}
BENCHMARK(BM_DecodeSingleToken)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
