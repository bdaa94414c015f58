#include "verbolin/listening/PackConversion.hpp"

#include "auralith/ModelUtilities.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/ml/WhisperCheckpoint.hpp"
#include "platform/system/Text.hpp"

namespace verbolin {

void checkPackTokenizer(const std::filesystem::path& folder) {
    // Only the pack's own files count: the recogniser fetches the hub's
    // tokenizer in place of one that does not load, so a pack made with a
    // broken one would need the network on every machine it is used on.
    auralith::ModelUtilities::loadTokenizer(auralith::ModelVariant::baseEn, folder, {}, false,
                                            false);
}

void convertCheckpoint(const std::filesystem::path& checkpointDir,
                       const std::filesystem::path& outDir, platform::ml::ConvertOptions options) {
    if (!options.checkTokenizer)
        options.checkTokenizer = [checkpointDir](const std::filesystem::path& copy) {
            // The copy is gone once the conversion fails; the user can only
            // look at (and mend) the checkpoint's file it was made from.
            try {
                checkPackTokenizer(copy);
            } catch (const auralith::WhisperError& e) {
                throw auralith::WhisperError(
                    e.kind(),
                    platform::text::replacingAll(e.what(), copy.string(), checkpointDir.string()),
                    e.systemError());
            }
        };
    const auto checkpoint = platform::ml::WhisperCheckpoint::open(checkpointDir);
    platform::ml::ModelConverter::convert(checkpoint, outDir, options);
}

}  // namespace verbolin
