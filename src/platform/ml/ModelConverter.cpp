#include "platform/ml/ModelConverter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/ml/ConverterFiles.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/WhisperModelLayout.hpp"
#include "platform/system/WriteAll.hpp"

namespace platform::ml {

namespace fs = std::filesystem;

namespace {

constexpr int kHopLength = 160;

const char* const kTokenizerFiles[] = {"tokenizer.json",
                                       "tokenizer_config.json",
                                       "special_tokens_map.json",
                                       "added_tokens.json",
                                       "vocab.json",
                                       "merges.txt",
                                       "normalizer.json",
                                       "config.json"};

// Every folder is written as "<folder>.partial" first; only when all of them are
// complete do they replace the old ones, so a failed conversion leaves the
// output folder as it was.
class StagedFolders {
  public:
    explicit StagedFolders(fs::path outDir) : outDir_(std::move(outDir)) {}
    ~StagedFolders() {
        std::error_code ec;
        for (const auto& name : names_) fs::remove_all(staging(name), ec);
    }
    fs::path add(const std::string& name) {
        names_.push_back(name);
        fs::remove_all(staging(name));
        fs::create_directories(staging(name));
        return staging(name);
    }
    void commit() {
        for (const auto& name : names_) {
            fs::remove_all(outDir_ / name);
            fs::rename(staging(name), outDir_ / name);
        }
        names_.clear();
    }

  private:
    fs::path staging(const std::string& name) const { return outDir_ / (name + ".partial"); }
    fs::path outDir_;
    std::vector<std::string> names_;
};

// The folders that creating `dir` makes (it and any missing parents), taken
// away again unless kept: a failed conversion leaves no empty folder where
// there was none. Only empty ones go, so nothing another writer put there
// meanwhile is lost.
class MadeFolders {
  public:
    explicit MadeFolders(const fs::path& dir) {
        std::error_code ec;
        for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
            made_.push_back(p);
            if (p == p.parent_path()) break;
        }
        fs::create_directories(dir);
    }
    ~MadeFolders() {
        std::error_code ec;
        for (const auto& folder : made_) fs::remove(folder, ec);  // deepest first
    }
    MadeFolders(const MadeFolders&) = delete;
    MadeFolders& operator=(const MadeFolders&) = delete;
    void keep() { made_.clear(); }

  private:
    std::vector<fs::path> made_;
};

// Half-precision bytes of `count` elements of a tensor starting at element
// `first`, converted from whatever float type it holds.
void appendHalves(const SafetensorsTensor& t, std::size_t first, std::size_t count,
                  std::vector<Float16>& out) {
    out.resize(count);
    if (t.dtype == "F16") {
        std::memcpy(out.data(), t.data.data() + first * 2, count * 2);
        return;
    }
    const std::size_t elementBytes = safetensorsDtypeSize(t.dtype);
    SafetensorsTensor piece{
        t.name, t.dtype, {}, t.data.subspan(first * elementBytes, count * elementBytes)};
    const auto floats = tensorToFloats(piece);  // throws for non-float tensors
    convertFloatToHalf(floats.data(), out.data(), count);
}

// Writes the tensors as F16 in the given order, converting a bounded piece at a
// time: the weights of a large model never sit in memory twice, only the mapped
// checkpoint and one piece do.
void writeHalfWeights(const fs::path& path, const std::vector<const SafetensorsTensor*>& tensors) {
    constexpr std::size_t kPieceElements = std::size_t{1} << 20;
    nlohmann::json header = nlohmann::json::object();
    std::uint64_t offset = 0;
    for (const auto* t : tensors) {
        const std::size_t elementBytes = safetensorsDtypeSize(t->dtype);
        if (elementBytes == 0)
            throw std::runtime_error("Tensor \"" + t->name + "\" is " + t->dtype +
                                     ", not floating point");
        const std::uint64_t bytes = t->data.size() / elementBytes * 2;
        header[t->name] = {
            {"dtype", "F16"}, {"shape", t->shape}, {"data_offsets", {offset, offset + bytes}}};
        offset += bytes;
    }
    std::string text = header.dump();
    text.append((8 - (text.size() % 8)) % 8, ' ');  // the data starts 8-byte aligned

    fs::path tmp = path;
    tmp += ".partial";
    const auto cannotWrite = [&](int err) {
        ::unlink(tmp.c_str());  // a half-written file is of no use to anyone
        return std::runtime_error("Cannot write " + path.string() + ": " + std::strerror(err));
    };
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw cannotWrite(errno);
    char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<char>((text.size() >> (8 * i)) & 0xFF);
    int err = platform::writeAll(fd, length, 8);
    if (err == 0) err = platform::writeAll(fd, text.data(), text.size());
    std::vector<Float16> piece;
    try {
        for (const auto* t : tensors) {
            const std::size_t n = t->data.size() / safetensorsDtypeSize(t->dtype);
            for (std::size_t first = 0; first < n && err == 0; first += kPieceElements) {
                appendHalves(*t, first, std::min(kPieceElements, n - first), piece);
                err = platform::writeAll(fd, piece.data(), piece.size() * 2);
            }
        }
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) throw cannotWrite(err);
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) throw cannotWrite(ec.value());
}

void writeNetwork(const fs::path& folder, const std::string& kind, const nlohmann::json& dims,
                  const SafetensorsFile& source) {
    const auto description = WhisperModelLayout::description(kind, dims);
    // Bounded by what the checkpoint holds, so that a layer count no file
    // could back fails here instead of filling memory with names.
    const auto specs = WhisperModelLayout::tensors(kind, dims, source.tensors().size());
    std::vector<const SafetensorsTensor*> tensors;
    for (const auto& spec : specs) {
        const auto* t = source.find(spec.name);
        if (!t) throw std::runtime_error("The checkpoint lacks tensor \"" + spec.name + "\"");
        if (t->shape != spec.shape)
            throw std::runtime_error("Tensor \"" + spec.name + "\" has shape " +
                                     shapeText(t->shape) + ", expected " + shapeText(spec.shape));
        tensors.push_back(t);
    }
    ModelFolder::writeDescription(folder, kind, dims, description);
    writeHalfWeights(folder / ModelFolder::kWeightsFile, tensors);
}

}  // namespace

void ModelConverter::convert(const WhisperCheckpoint& checkpoint, const fs::path& outDir,
                             const ConvertOptions& options) {
    const auto& d = checkpoint.dimensions();
    if (options.requireTokenizer && !fs::exists(checkpoint.dir() / "tokenizer.json"))
        throw std::runtime_error("No tokenizer.json in " + checkpoint.dir().string());
    MadeFolders made(outDir);

    nlohmann::json heads = nlohmann::json::array();
    for (auto [l, h] : d.alignmentHeads) heads.push_back({l, h});
    const nlohmann::json encoderDims = {
        {"num_mel_bins", d.numMelBins},       {"d_model", d.dModel},
        {"encoder_layers", d.encoderLayers},  {"encoder_attention_heads", d.encoderAttentionHeads},
        {"encoder_ffn_dim", d.encoderFfnDim}, {"max_source_positions", d.maxSourcePositions}};
    const nlohmann::json decoderDims = {
        {"vocab_size", d.vocabSize},
        {"d_model", d.dModel},
        {"decoder_layers", d.decoderLayers},
        {"decoder_attention_heads", d.decoderAttentionHeads},
        {"decoder_ffn_dim", d.decoderFfnDim},
        {"max_target_positions", d.maxTargetPositions},
        {"max_source_positions", d.maxSourcePositions},
        {"kv_cache_length", std::min(options.kvCacheLength, d.maxTargetPositions)},
        {"alignment_heads", heads}};
    // Check both layouts before anything is written.
    WhisperModelLayout::description(WhisperModelLayout::kAudioEncoder, encoderDims);
    WhisperModelLayout::description(WhisperModelLayout::kTextDecoder, decoderDims);

    // The encoder's two convolutions halve the frame rate: 2 × positions frames of 160 samples.
    const int nSamples = 2 * d.maxSourcePositions * kHopLength;
    StagedFolders staged(outDir);
    const auto mel = staged.add("MelSpectrogram.mlmodelc");
    MelSpectrogramModel::writeFolder(mel, d.numMelBins, nSamples);
    const auto encoder = staged.add("AudioEncoder.mlmodelc");
    writeNetwork(encoder, WhisperModelLayout::kAudioEncoder, encoderDims, checkpoint.weights());
    const auto decoder = staged.add("TextDecoder.mlmodelc");
    writeNetwork(decoder, WhisperModelLayout::kTextDecoder, decoderDims, checkpoint.weights());
    for (const auto& folder : {mel, encoder, decoder})
        ModelFolder::read(folder).checkAgainstLayout();

    if (fs::exists(checkpoint.dir() / "tokenizer.json")) {
        const auto tokenizer = staged.add("tokenizer");
        for (const char* name : kTokenizerFiles)
            if (fs::exists(checkpoint.dir() / name))
                copyConverterFile(checkpoint.dir() / name, tokenizer / name);
        if (options.checkTokenizer) options.checkTokenizer(tokenizer);
    }
    staged.commit();
    made.keep();
}

}  // namespace platform::ml
