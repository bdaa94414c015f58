// verbolin-models: makes the model folders the pipeline loads.
//
//   verbolin-models convert <checkpoint-dir | hub-repo-id> <out-dir> [--kv-cache-length N]
//       Converts a Whisper checkpoint (config.json, model.safetensors, tokenizer
//       files), a folder or fetched from the model hub, into
//       MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc
//       and tokenizer/.
//   verbolin-models random <out-dir> [--dims key=value,...] [--seed N]
//                          [--tokenizer DIR] [--checkpoint] [--dtype F16|F32]
//       Writes a small random-weight model folder (or, with --checkpoint, the
//       random checkpoint itself) for tests.
//   verbolin-models kernels
//       Names the matrix product and vector kernel builds this processor gets.

#include <cstdio>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/ModelConverter.hpp"
#include "platform/ml/RandomCheckpoint.hpp"
#include "verbolin/listening/CheckpointDownload.hpp"
#include "verbolin/listening/PackConversion.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace fs = std::filesystem;
using namespace platform::ml;

namespace {

// To `out`: the usage, the commands and the dims keys.
void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: verbolin-models convert <checkpoint-dir | hub-repo-id> <out-dir> "
        "[--kv-cache-length N]\n"
        "       verbolin-models kernels\n"
        "       verbolin-models random <out-dir> [--dims key=value,...] [--seed N] [--tokenizer "
        "DIR]\n"
        "                              [--checkpoint] [--dtype F16|F32]\n"
        "dims keys: n_mels d_model layers encoder_layers decoder_layers heads "
        "encoder_attention_heads\n"
        "           decoder_attention_heads ffn encoder_ffn_dim decoder_ffn_dim vocab_size\n"
        "           max_source_positions max_target_positions kv_cache_length\n"
        "       verbolin-models --help | --version\n"
        "\n"
        "convert  turns a transformers Whisper checkpoint (config.json, model.safetensors and the\n"
        "         tokenizer files tokenizer.json and tokenizer_config.json) into a model pack:\n"
        "         MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc, "
        "tokenizer/.\n"
        "         A hub repository id (openai/whisper-small.en) in place of the folder fetches\n"
        "         those files from the model hub (HF_ENDPOINT names a mirror) into its cache.\n"
        "         Give the application's pack folder, $XDG_DATA_HOME/Verbolin/models/standard-v1\n"
        "         (~/.local/share/Verbolin/models/standard-v1), as <out-dir> to install it.\n"
        "random   writes a small model with random weights, for tests; without --tokenizer DIR\n"
        "         (a folder holding tokenizer.json and tokenizer_config.json) it has no "
        "tokenizer/\n"
        "         and the application does not take it for a pack.\n"
        "kernels  names the matrix product and vector kernel builds this processor gets, and\n"
        "         checks every matrix product build it could run against a plain reference.\n");
}

int usage() {
    printUsage(stderr);
    return 2;
}

int parsePositive(const std::string& text, const std::string& what) {
    std::size_t used = 0;
    long v = 0;
    try {
        v = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || v <= 0 || v > (1 << 30))
        throw std::runtime_error(what + " must be a positive integer");
    return static_cast<int>(v);
}

// Small defaults: a model that loads and runs in milliseconds.
WhisperDimensions tinyDimensions() {
    WhisperDimensions d;
    d.numMelBins = 80;
    d.dModel = 64;
    d.encoderLayers = d.decoderLayers = 2;
    d.encoderAttentionHeads = d.decoderAttentionHeads = 4;
    d.encoderFfnDim = d.decoderFfnDim = 256;
    d.vocabSize = 51864;
    d.maxSourcePositions = 1500;
    d.maxTargetPositions = 448;
    return d;
}

void applyDims(WhisperDimensions& d, int& kvCache, const std::string& spec) {
    std::size_t start = 0;
    while (start < spec.size()) {
        std::size_t end = spec.find(',', start);
        if (end == std::string::npos) end = spec.size();
        const std::string item = spec.substr(start, end - start);
        start = end + 1;
        const auto eq = item.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("--dims entry \"" + item + "\" is not key=value");
        const std::string key = item.substr(0, eq);
        const int v = parsePositive(item.substr(eq + 1), key);
        const std::map<std::string, std::vector<int*>> fields = {
            {"n_mels", {&d.numMelBins}},
            {"d_model", {&d.dModel}},
            {"layers", {&d.encoderLayers, &d.decoderLayers}},
            {"encoder_layers", {&d.encoderLayers}},
            {"decoder_layers", {&d.decoderLayers}},
            {"heads", {&d.encoderAttentionHeads, &d.decoderAttentionHeads}},
            {"encoder_attention_heads", {&d.encoderAttentionHeads}},
            {"decoder_attention_heads", {&d.decoderAttentionHeads}},
            {"ffn", {&d.encoderFfnDim, &d.decoderFfnDim}},
            {"encoder_ffn_dim", {&d.encoderFfnDim}},
            {"decoder_ffn_dim", {&d.decoderFfnDim}},
            {"vocab_size", {&d.vocabSize}},
            {"max_source_positions", {&d.maxSourcePositions}},
            {"max_target_positions", {&d.maxTargetPositions}},
            {"kv_cache_length", {&kvCache}},
        };
        auto it = fields.find(key);
        if (it == fields.end()) throw std::runtime_error("Unknown --dims key \"" + key + "\"");
        for (int* f : it->second) *f = v;
    }
}

// A hub repository id ("owner/name") rather than a folder: no such folder
// exists, and the text is two plain names joined by one slash.
bool isRepoId(const std::string& text) {
    std::error_code ec;
    if (fs::exists(text, ec)) return false;
    const auto slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size() ||
        text.find('/', slash + 1) != std::string::npos || text.starts_with("."))
        return false;
    return text.find_first_of(" \\~") == std::string::npos;
}

// The checkpoint's files fetched through the hub client into its usual
// cache, with a line of progress now and then on standard error.
fs::path fetchCheckpoint(const std::string& repoId) {
    const verbolin::CheckpointDownload download(vortil::HubApi(), repoId);
    int64_t shownMB = -1;
    const auto progress = [&](int64_t received, int64_t total) {
        const int64_t mb = received / 1000000;
        if (mb / 20 == shownMB / 20 && received != total) return;
        shownMB = mb;
        std::fprintf(stderr, "Downloading %s: %lld of %lld MB\n", repoId.c_str(),
                     static_cast<long long>(mb), static_cast<long long>(total / 1000000));
    };
    return download.fetch(progress);
}

int convertCommand(const std::vector<std::string>& args) {
    if (args.size() < 2) return usage();
    ConvertOptions options;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--kv-cache-length" && i + 1 < args.size())
            options.kvCacheLength = parsePositive(args[++i], "--kv-cache-length");
        else
            return usage();
    }
    const fs::path checkpoint = isRepoId(args[0]) ? fetchCheckpoint(args[0]) : fs::path(args[0]);
    verbolin::convertCheckpoint(checkpoint, args[1], options);
    std::printf(
        "Wrote MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc%s to %s\n",
        fs::exists(fs::path(args[1]) / "tokenizer") ? " and tokenizer/" : "", args[1].c_str());
    return 0;
}

int randomCommand(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    WhisperDimensions d = tinyDimensions();
    int kvCache = 224;
    std::uint32_t seed = 1;
    std::optional<fs::path> tokenizer;
    bool checkpointOnly = false;
    std::string dtype = "F16";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--dims" && hasValue)
            applyDims(d, kvCache, args[++i]);
        else if (args[i] == "--seed" && hasValue)
            seed = static_cast<std::uint32_t>(parsePositive(args[++i], "--seed"));
        else if (args[i] == "--tokenizer" && hasValue)
            tokenizer = args[++i];
        else if (args[i] == "--dtype" && hasValue)
            dtype = args[++i];
        else if (args[i] == "--checkpoint")
            checkpointOnly = true;
        else
            return usage();
    }
    d.alignmentHeads = {{d.decoderLayers - 1, 0}};
    const fs::path out = args[0];
    if (checkpointOnly) {
        RandomCheckpoint::write(out, d, seed, dtype, tokenizer);
        std::printf("Wrote a random checkpoint to %s\n", out.c_str());
        return 0;
    }
    const fs::path staging = out / ".random-checkpoint";
    fs::remove_all(staging);
    RandomCheckpoint::write(staging, d, seed, dtype, tokenizer);
    ConvertOptions options;
    options.kvCacheLength = kvCache;
    options.requireTokenizer = false;
    try {
        ModelConverter::convert(WhisperCheckpoint::open(staging), out, options);
    } catch (...) {
        fs::remove_all(staging);
        throw;
    }
    fs::remove_all(staging);
    std::printf("Wrote a random model to %s\n", out.c_str());
    if (!tokenizer)
        std::fprintf(stderr,
                     "verbolin-models: no --tokenizer given: %s has no tokenizer/, so the "
                     "application will not load it as a model pack\n",
                     out.c_str());
    return 0;
}

// Which kernels this processor gets, and whether every build it could run
// passes the check against the reference.
int kernelsCommand(const std::vector<std::string>& args) {
    if (!args.empty()) return usage();
    std::printf("matrix products: %s\n", platform::ml::matrixKernelName().c_str());
    std::printf("vector kernels: %s\n", platform::ml::computeKernels().name);
    for (const auto* k : platform::ml::matrixKernelCandidates())
        std::printf("  %-10s %s\n", k->name,
                    platform::ml::matrixKernelsAgreeWithReference(*k) ? "agrees with the reference"
                                                                      : "WRONG RESULTS, not used");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("verbolin-models %s\n", VERBOLIN_VERSION);
        return 0;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "convert") return convertCommand(args);
        if (command == "random") return randomCommand(args);
        if (command == "kernels") return kernelsCommand(args);
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verbolin-models: %s\n", e.what());
        return 1;
    }
}
