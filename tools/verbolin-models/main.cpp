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
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
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

constexpr const char* kConvertSynopsis =
    "verbolin-models convert <checkpoint-dir | hub-repo-id> <out-dir> [--kv-cache-length N]\n";
constexpr const char* kKernelsSynopsis = "verbolin-models kernels\n";
constexpr const char* kRandomSynopsis =
    "verbolin-models random <out-dir> [--dims key=value,...] [--seed N] [--tokenizer DIR]\n"
    "                              [--checkpoint] [--dtype F16|F32]\n"
    "dims keys: n_mels d_model layers encoder_layers decoder_layers heads "
    "encoder_attention_heads\n"
    "           decoder_attention_heads ffn encoder_ffn_dim decoder_ffn_dim vocab_size\n"
    "           max_source_positions max_target_positions kv_cache_length\n";
constexpr const char* kConvertDetails =
    "convert  turns a transformers Whisper checkpoint (config.json, model.safetensors and the\n"
    "         tokenizer files tokenizer.json and tokenizer_config.json) into a model pack:\n"
    "         MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc, tokenizer/.\n"
    "         A hub repository id (openai/whisper-small.en) in place of the folder fetches\n"
    "         those files from the model hub (HF_ENDPOINT names a mirror) into its cache.\n"
    "         Give the application's pack folder, $XDG_DATA_HOME/Verbolin/models/standard-v1\n"
    "         (~/.local/share/Verbolin/models/standard-v1), as <out-dir> to install it.\n";
constexpr const char* kRandomDetails =
    "random   writes a small model with random weights, for tests; without --tokenizer DIR\n"
    "         (a folder holding tokenizer.json and tokenizer_config.json) it has no tokenizer/\n"
    "         and the application does not take it for a pack.\n";
constexpr const char* kKernelsDetails =
    "kernels  names the matrix product and vector kernel builds this processor gets, and\n"
    "         checks every matrix product build it could run against a plain reference.\n";

// To `out`: the usage, the commands and the dims keys.
void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: %s       %s       %s       verbolin-models --help | --version\n\n%s%s%s",
                 kConvertSynopsis, kKernelsSynopsis, kRandomSynopsis, kConvertDetails,
                 kRandomDetails, kKernelsDetails);
}

int usage() {
    printUsage(stderr);
    return 2;
}

// One command's arguments as given: its options (each once at most, the last
// one counting) and, in order, the rest. A mistyped option must never be
// taken for a folder name, so every argument starting with "-" is an option
// unless it follows "--".
struct CommandLine {
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;
    bool help = false;

    bool has(const std::string& name) const { return options.count(name) != 0; }
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CommandSpec {
    const char* name;
    const char* synopsis;
    const char* details;
    std::map<std::string, bool> options;  // name → takes a value
};

const CommandSpec kConvert{
    "convert", kConvertSynopsis, kConvertDetails, {{"--kv-cache-length", true}}};
const CommandSpec kRandom{"random",
                          kRandomSynopsis,
                          kRandomDetails,
                          {{"--dims", true},
                           {"--seed", true},
                           {"--tokenizer", true},
                           {"--dtype", true},
                           {"--checkpoint", false}}};
const CommandSpec kKernels{"kernels", kKernelsSynopsis, kKernelsDetails, {}};

CommandLine parseCommandLine(const CommandSpec& spec, const std::vector<std::string>& args) {
    CommandLine line;
    bool operandsOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operandsOnly || !arg.starts_with("-")) {
            line.operands.push_back(arg);
        } else if (arg == "--") {
            operandsOnly = true;
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (const auto it = spec.options.find(arg); it == spec.options.end()) {
            throw UsageError("unknown option \"" + arg + "\"");
        } else if (!it->second) {
            line.options[arg];
        } else if (i + 1 == args.size() || args[i + 1].starts_with("-")) {
            throw UsageError(arg + " needs a value");
        } else {
            line.options[arg] = args[++i];
        }
    }
    return line;
}

void printCommandUsage(const CommandSpec& spec, std::FILE* out) {
    std::fprintf(out, "usage: %s\n%s", spec.synopsis, spec.details);
}

// Runs `run` on the parsed arguments when they hold `operands` operands;
// help goes to standard output, a usage error to standard error (status 2).
int runCommand(const CommandSpec& spec, const std::vector<std::string>& args, std::size_t operands,
               const std::function<int(const CommandLine&)>& run) {
    CommandLine line;
    try {
        line = parseCommandLine(spec, args);
        if (!line.help && line.operands.size() != operands)
            throw UsageError(line.operands.size() < operands ? "missing arguments"
                                                             : "too many arguments");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "verbolin-models %s: %s\n", spec.name, e.what());
        printCommandUsage(spec, stderr);
        return 2;
    }
    if (line.help) {
        printCommandUsage(spec, stdout);
        return 0;
    }
    return run(line);
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

int convertCommand(const CommandLine& line) {
    ConvertOptions options;
    if (line.has("--kv-cache-length"))
        options.kvCacheLength =
            parsePositive(line.options.at("--kv-cache-length"), "--kv-cache-length");
    const std::string& source = line.operands[0];
    const fs::path out = line.operands[1];
    const fs::path checkpoint = isRepoId(source) ? fetchCheckpoint(source) : fs::path(source);
    verbolin::convertCheckpoint(checkpoint, out, options);
    std::printf(
        "Wrote MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc%s to %s\n",
        fs::exists(out / "tokenizer") ? " and tokenizer/" : "", out.c_str());
    return 0;
}

int randomCommand(const CommandLine& line) {
    WhisperDimensions d = tinyDimensions();
    int kvCache = 224;
    if (line.has("--dims")) applyDims(d, kvCache, line.options.at("--dims"));
    std::uint32_t seed = 1;
    if (line.has("--seed"))
        seed = static_cast<std::uint32_t>(parsePositive(line.options.at("--seed"), "--seed"));
    std::optional<fs::path> tokenizer;
    if (line.has("--tokenizer")) tokenizer = line.options.at("--tokenizer");
    const bool checkpointOnly = line.has("--checkpoint");
    const std::string dtype = line.has("--dtype") ? line.options.at("--dtype") : "F16";
    d.alignmentHeads = {{d.decoderLayers - 1, 0}};
    const fs::path out = line.operands[0];
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
int kernelsCommand(const CommandLine&) {
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
        if (command == "convert") return runCommand(kConvert, args, 2, convertCommand);
        if (command == "random") return runCommand(kRandom, args, 1, randomCommand);
        if (command == "kernels") return runCommand(kKernels, args, 0, kernelsCommand);
        std::fprintf(stderr, "verbolin-models: unknown command \"%s\"\n", command.c_str());
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verbolin-models: %s\n", e.what());
        return 1;
    }
}
