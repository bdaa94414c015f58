// Throughput of the WordPiece model (basic tokenizer plus greedy longest
// match) on English paragraphs. The vocabulary is made here: the 8000 most
// frequent lower-cased corpus words, every letter, and "##" continuations of
// one to three letters, so rarer words are cut into pieces. Input: the
// English license texts every Debian system ships, repeated to about 1 MB and
// cut into paragraphs. Run by hand:
//   build-bench/bench_BertTokenizerBench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vortilcore/tokenizers/BertTokenizer.hpp"

namespace fs = std::filesystem;
using namespace vortil;

namespace {

std::string corpus() {
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
    std::string all;
    while (all.size() < 1'000'000) all += text;
    return all;
}

Config vocabulary(const std::string& text) {
    std::map<std::string, int> counts;
    std::string word;
    for (char c : text.substr(0, 300'000)) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            word += char(std::tolower(static_cast<unsigned char>(c)));
        } else if (!word.empty()) {
            ++counts[word];
            for (size_t a = 1; a < word.size(); ++a)
                for (size_t n = 1; n <= 3 && a + n <= word.size(); ++n)
                    ++counts["##" + word.substr(a, n)];
            word.clear();
        }
    }
    std::vector<std::pair<int, std::string>> ranked;
    for (auto& [w, n] : counts) ranked.emplace_back(n, w);
    std::sort(ranked.rbegin(), ranked.rend());
    nlohmann::json vocab = nlohmann::json::object();
    int id = 0;
    for (const char* special : {"[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"})
        vocab[special] = id++;
    for (char c = 'a'; c <= 'z'; ++c) vocab[std::string(1, c)] = id++;
    for (char c = '0'; c <= '9'; ++c) vocab[std::string(1, c)] = id++;
    for (size_t i = 0; i < ranked.size() && i < 12000; ++i) vocab[ranked[i].second] = id++;
    return Config::fromJson({{"model", {{"vocab", vocab}}}}, Config::JsonSource::configurationFile);
}

struct Fixture {
    std::string text = corpus();
    std::vector<std::string> paragraphs;
    BertTokenizer model{Config(), vocabulary(text), {}};
    Fixture() {
        for (size_t start = 0; start < text.size();) {
            size_t end = std::min(text.find("\n\n", start), text.size());
            paragraphs.push_back(text.substr(start, end - start));
            start = end + 2;
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

}  // namespace

static void BM_TokenizeParagraphs(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        size_t pieces = 0;
        for (const auto& p : f.paragraphs) pieces += f.model.tokenize(p).size();
        benchmark::DoNotOptimize(pieces);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.text.size()));
}
BENCHMARK(BM_TokenizeParagraphs)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
