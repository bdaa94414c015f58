#pragma once
// The support library's model utilities plus what the pipeline adds to them:
// which Whisper size a loaded model is, which tokenizer belongs to a size and
// where to find it, and the device support and model-folder lists of a model
// repository.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/ModelSupport.hpp"
#include "auralith/core/ModelSupportConfig.hpp"
#include "auralith/core/ModelVariant.hpp"
#include "auralith/core/WhisperTokenizer.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

namespace auralith {

struct ModelUtilities : vortil::ModelUtilities {
    ModelUtilities() = delete;

    // Vocabulary size 51864 is English-only, 51865 multilingual, 51866 the
    // larger vocabulary (always large-v3); the encoder width picks the size.
    // Any other vocabulary is logged as an error and taken for base.
    static ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim);

    // The hub repository of the variant's tokenizer, "openai/whisper-base.en".
    static std::string tokenizerNameForVariant(ModelVariant variant);

    // The variant's tokenizer from the first of these folders that holds a
    // "tokenizer.json": the hub cache under tokenizerFolder, tokenizerFolder,
    // then additionalSearchPaths in order. A local one that fails to load is
    // logged and the hub is asked instead; the hub's errors pass through.
    // With `allowDownload` false the hub is never asked (for checking that a
    // pack's own files load): a missing or broken local tokenizer throws
    // WhisperError::tokenizerUnavailable naming the file and what is wrong.
    // A file or folder on the way that the system will not look at or read
    // (no permission, an I/O error) is never fetched over: that throws
    // tokenizerUnavailable with its errno (systemRefused()), "Cannot read
    // <what was refused>: <the system's reason>".
    static std::shared_ptr<WhisperTokenizer> loadTokenizer(
        ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
        const std::vector<std::filesystem::path>& additionalSearchPaths, bool useBackgroundSession,
        bool allowDownload = true);

    // Why the tokenizer files in `folder` cannot be loaded: the first of
    // "tokenizer.json" and "tokenizer_config.json" that is missing, unreadable
    // or not a JSON object, else `error` with the folder.
    static std::string tokenizerProblem(const std::filesystem::path& folder,
                                        const std::string& error);

    // (config, or the built-in table).modelSupport(deviceName).
    static ModelSupport modelSupport(const std::string& deviceName,
                                     const std::optional<ModelSupportConfig>& config);

    // The model folder names among repository paths: first path components
    // that name a Whisper size, without repeats, sorted by size (tiny, base,
    // small, medium, large), then by name.
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& files);
};

}  // namespace auralith
