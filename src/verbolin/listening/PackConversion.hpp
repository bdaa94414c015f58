#pragma once
// Makes a model pack from a Whisper checkpoint folder in the transformers
// layout, the way both the installer and the model tool do: the converter's
// folders, and the tokenizer checked by loading it as the application will.

#include <filesystem>

#include "platform/ml/ModelConverter.hpp"

namespace verbolin {

// Loads the tokenizer in `folder` as the recogniser does when it loads a
// pack, but from those files alone (never the hub); throws its error
// (auralith::WhisperError naming the file and the fault, systemRefused()
// for one the system will not read) when that fails.
void checkPackTokenizer(const std::filesystem::path& folder);

// Converts the checkpoint in `checkpointDir` into `outDir`, refusing a
// tokenizer the application could not load (named by the checkpoint's file).
// Throws std::runtime_error (MLModelError and WhisperError among them) naming
// the fault; the output is replaced only once it is complete, and a folder
// the conversion made is removed again when it fails.
void convertCheckpoint(const std::filesystem::path& checkpointDir,
                       const std::filesystem::path& outDir,
                       platform::ml::ConvertOptions options = {});

}  // namespace verbolin
