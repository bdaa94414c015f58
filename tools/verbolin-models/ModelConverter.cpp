#include "ModelConverter.hpp"

#include <algorithm>
#include <cstring>
#include <list>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "ToolFiles.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MelSpectrogramModel.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/WhisperModelLayout.hpp"

namespace verbolin::tools {

namespace fs = std::filesystem;
using namespace platform::ml;

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

void writeNetwork(const fs::path& folder, const std::string& kind, const nlohmann::json& dims,
                  const SafetensorsFile& source) {
    const auto description = WhisperModelLayout::description(kind, dims);
    // Bounded by what the checkpoint holds, so that a layer count no file
    // could back fails here instead of filling memory with names.
    const auto specs = WhisperModelLayout::tensors(kind, dims, source.tensors().size());
    std::list<std::vector<Float16>> converted;  // owns the data of non-F16 tensors until written
    std::vector<SafetensorsEntry> entries;
    for (const auto& spec : specs) {
        const auto* t = source.find(spec.name);
        if (!t) throw std::runtime_error("The checkpoint lacks tensor \"" + spec.name + "\"");
        if (t->shape != spec.shape)
            throw std::runtime_error("Tensor \"" + spec.name + "\" has shape " +
                                     shapeText(t->shape) + ", expected " + shapeText(spec.shape));
        if (t->dtype == "F16") {
            entries.push_back({spec.name, "F16", spec.shape, t->data});
            continue;
        }
        const auto floats = tensorToFloats(*t);  // throws for non-float tensors
        auto& halves = converted.emplace_back(floats.size());
        convertFloatToHalf(floats.data(), halves.data(), floats.size());
        entries.push_back({spec.name, "F16", spec.shape, std::as_bytes(std::span(halves))});
    }
    ModelFolder::writeDescription(folder, kind, dims, description);
    writeSafetensors(folder / ModelFolder::kWeightsFile, entries);
}

}  // namespace

void ModelConverter::convert(const WhisperCheckpoint& checkpoint, const fs::path& outDir,
                             const ConvertOptions& options) {
    const auto& d = checkpoint.dimensions();
    if (options.requireTokenizer && !fs::exists(checkpoint.dir() / "tokenizer.json"))
        throw std::runtime_error("No tokenizer.json in " + checkpoint.dir().string());
    fs::create_directories(outDir);

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
                copyToolFile(checkpoint.dir() / name, tokenizer / name);
    }
    staged.commit();
}

}  // namespace verbolin::tools
