#include "verbolin/listening/ModelPackDamage.hpp"

#include <filesystem>
#include <system_error>

#include "platform/ml/MLModelError.hpp"
#include "platform/system/Text.hpp"

namespace verbolin {

std::optional<std::string> packDamage(const ModelPack& pack, std::exception_ptr loadError) {
    try {
        std::rethrow_exception(loadError);
    } catch (const platform::ml::MLModelError& e) {
        // Out of descriptors or memory, no permission, a failing disk: the
        // files may be sound, and a pack fetched again would meet the same
        // refusal (after deleting a good one).
        if (e.systemRefused()) return std::nullopt;
        // The folder is said beside it; the file's own name is what a status
        // line short of room must still show.
        return platform::text::replacingAll(e.what(), pack.localFolder().string() + "/", "");
    } catch (...) {
        // A pack counts as installed by its decoder and tokenizer alone; a
        // model folder gone beside them (deleted by hand, or by a cleaner)
        // fails every load the same way until the pack is installed again.
        // One the system will not look at is not known to be gone.
        for (const char* model : {"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc"}) {
            std::error_code ec;
            if (!std::filesystem::exists(pack.localFolder() / model, ec) && !ec)
                return std::string(model) + " is missing";
        }
        return std::nullopt;
    }
}

}  // namespace verbolin
