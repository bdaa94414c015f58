#pragma once
// Turns a Whisper checkpoint into the model folder the pipeline loads:
// MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc and
// tokenizer/. Weights keep their transformers names and are stored as F16.

#include <filesystem>

#include "WhisperCheckpoint.hpp"

namespace verbolin::tools {

struct ConvertOptions {
    int kvCacheLength = 224;       // decoder cache positions (capped at max_target_positions)
    bool requireTokenizer = true;  // a checkpoint without tokenizer.json is refused
};

class ModelConverter {
  public:
    // Throws std::runtime_error or MLModelError naming the fault; a folder is
    // replaced only once its new contents are complete.
    static void convert(const WhisperCheckpoint& checkpoint, const std::filesystem::path& outDir,
                        const ConvertOptions& options = {});
};

}  // namespace verbolin::tools
