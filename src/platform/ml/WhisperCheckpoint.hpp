#pragma once
// A Whisper checkpoint in the common transformers layout: config.json (the
// architecture), model.safetensors (the weights), optionally
// generation_config.json (alignment heads) and the tokenizer files.

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ml/SafetensorsFile.hpp"

namespace platform::ml {

struct WhisperDimensions {
    int numMelBins = 80;
    int dModel = 384;
    int encoderLayers = 4;
    int encoderAttentionHeads = 6;
    int encoderFfnDim = 1536;
    int decoderLayers = 4;
    int decoderAttentionHeads = 6;
    int decoderFfnDim = 1536;
    int vocabSize = 51864;
    int maxSourcePositions = 1500;
    int maxTargetPositions = 448;
    std::vector<std::pair<int, int>> alignmentHeads;  // (layer, head)

    nlohmann::json configJson() const;            // config.json keys
    nlohmann::json generationConfigJson() const;  // generation_config.json keys
};

class WhisperCheckpoint {
  public:
    // Throws std::runtime_error (or MLModelError for the weights) naming what is wrong.
    static WhisperCheckpoint open(const std::filesystem::path& dir);

    const std::filesystem::path& dir() const { return dir_; }
    const WhisperDimensions& dimensions() const { return dims_; }
    const platform::ml::SafetensorsFile& weights() const { return *weights_; }

  private:
    std::filesystem::path dir_;
    WhisperDimensions dims_;
    std::shared_ptr<const platform::ml::SafetensorsFile> weights_;
};

// Reads a whole text file; throws std::runtime_error.
std::string readCheckpointText(const std::filesystem::path& path);

}  // namespace platform::ml
