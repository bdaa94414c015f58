#pragma once
// Turns a Whisper checkpoint into the model folder the pipeline loads:
// MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc and
// tokenizer/. Weights keep their transformers names and are stored as F16.

#include <filesystem>
#include <functional>

#include "platform/ml/WhisperCheckpoint.hpp"

namespace platform::ml {

struct ConvertOptions {
    int kvCacheLength = 224;       // decoder cache positions (capped at max_target_positions)
    bool requireTokenizer = true;  // a checkpoint without tokenizer.json is refused
    // Loads the copied tokenizer/ folder the way the pack's user will and
    // throws the reason when it cannot: a tokenizer file that parses here but
    // not there would make a pack that is refused only when it is loaded.
    // Runs before anything replaces the output. Empty: not checked.
    std::function<void(const std::filesystem::path& tokenizerFolder)> checkTokenizer;
};

class ModelConverter {
  public:
    // Throws std::runtime_error or MLModelError naming the fault; a folder is
    // replaced only once its new contents are complete.
    static void convert(const WhisperCheckpoint& checkpoint, const std::filesystem::path& outDir,
                        const ConvertOptions& options = {});
};

}  // namespace platform::ml
