#include "verbolin/listening/PackConversion.hpp"

#include "auralith/ModelUtilities.hpp"
#include "platform/ml/WhisperCheckpoint.hpp"

namespace verbolin {

void checkPackTokenizer(const std::filesystem::path& folder) {
    // Downloading is off, so a tokenizer that fails to load is an error
    // naming the file, never a fetch of another one.
    auralith::ModelUtilities::loadTokenizer(auralith::ModelVariant::baseEn, folder, {}, false,
                                            false);
}

void convertCheckpoint(const std::filesystem::path& checkpointDir,
                       const std::filesystem::path& outDir, platform::ml::ConvertOptions options) {
    if (!options.checkTokenizer) options.checkTokenizer = checkPackTokenizer;
    const auto checkpoint = platform::ml::WhisperCheckpoint::open(checkpointDir);
    platform::ml::ModelConverter::convert(checkpoint, outDir, options);
}

}  // namespace verbolin
