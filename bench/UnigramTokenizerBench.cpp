// Throughput of the Unigram model on English words. The vocabulary is made
// here: every substring of one to six letters of the corpus words, scored by
// its log frequency, the 30000 most frequent kept. Input: the English license
// texts every Debian system ships, repeated to about 1 MB. Run by hand:
//   build-bench/bench_UnigramTokenizerBench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/UnigramTokenizer.hpp"

namespace fs = std::filesystem;
using namespace vortil;

namespace {

std::vector<std::string> corpusWords(size_t& bytes) {
    std::string text;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator("/usr/share/common-licenses"))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        text += ss.str();
    }
    std::vector<std::string> words;
    bytes = 0;
    while (bytes < 1'000'000) {
        std::istringstream in(text);
        for (std::string w; in >> w && bytes < 1'000'000;) {
            bytes += w.size();
            words.push_back("\u2581" + w);
        }
    }
    return words;
}

Config vocabulary(const std::vector<std::string>& words) {
    std::map<std::string, int> counts;
    for (size_t i = 0; i < std::min<size_t>(words.size(), 50000); ++i) {
        std::vector<std::string> w = unicode::graphemes(std::string_view(words[i]));
        for (size_t a = 0; a < w.size(); ++a) {
            std::string piece;
            for (size_t n = 1; n <= 6 && a + n <= w.size(); ++n) ++counts[piece += w[a + n - 1]];
        }
    }
    std::vector<std::pair<int, std::string>> ranked;
    for (auto& [piece, n] : counts) ranked.emplace_back(n, piece);
    std::sort(ranked.rbegin(), ranked.rend());
    if (ranked.size() > 30000) ranked.resize(30000);
    nlohmann::json vocab = nlohmann::json::array({nlohmann::json::array({"<unk>", 0})});
    for (auto& [n, piece] : ranked)
        vocab.push_back(nlohmann::json::array({piece, std::log(n / 1e6)}));
    return Config::fromJson({{"model", {{"unk_id", 0}, {"vocab", vocab}}}},
                            Config::JsonSource::configurationFile);
}

struct Fixture {
    size_t bytes = 0;
    std::vector<std::string> words = corpusWords(bytes);
    UnigramTokenizer model{Config(), vocabulary(words), {}};
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

}  // namespace

static void BM_TokenizeWords(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        size_t pieces = 0;
        for (const auto& w : f.words) pieces += f.model.tokenize(w).size();
        benchmark::DoNotOptimize(pieces);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes));
}
BENCHMARK(BM_TokenizeWords)->Unit(benchmark::kMillisecond);

static void BM_Construct(benchmark::State& state) {
    Fixture& f = fixture();
    Config data = vocabulary(f.words);
    for (auto _ : state) {
        UnigramTokenizer model(Config(), data, {});
        benchmark::DoNotOptimize(model.vocab().size());
    }
}
BENCHMARK(BM_Construct)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
