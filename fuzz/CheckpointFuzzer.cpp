// A transformers Whisper checkpoint a user converts into a pack: config.json,
// generation_config.json and model.safetensors, given as one input cut at
// fuzzing::kSeparator (an empty generation config is left out). It is
// opened and converted into a scratch folder.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>

#include "FuzzSupport.hpp"
#include "platform/ml/ModelConverter.hpp"
#include "platform/ml/WhisperCheckpoint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzzing::splitInput(data, size, 3);
    const std::filesystem::path dir = fuzzing::scratchFolder() / "checkpoint";
    std::filesystem::remove_all(dir);
    fuzzing::writeScratchFile("checkpoint/config.json", parts[0]);
    if (!parts[1].empty()) fuzzing::writeScratchFile("checkpoint/generation_config.json", parts[1]);
    fuzzing::writeScratchFile("checkpoint/model.safetensors", parts[2]);
    try {
        const auto checkpoint = platform::ml::WhisperCheckpoint::open(dir);
        platform::ml::ModelConverter::convert(checkpoint, fuzzing::scratchFolder() / "pack",
                                              {.kvCacheLength = 8, .requireTokenizer = false});
    } catch (const std::runtime_error&) {
        // Both the tool's own errors and MLModelError, which derives from it.
    }
    return 0;
}
