#include "verbolin/listening/ModelPackDamage.hpp"

#include "platform/ml/MLModelError.hpp"
#include "platform/system/Text.hpp"

namespace verbolin {

std::optional<std::string> packDamage(const ModelPack& pack, std::exception_ptr loadError) {
    try {
        std::rethrow_exception(loadError);
    } catch (const platform::ml::MLModelError& e) {
        // The folder is said beside it; the file's own name is what a status
        // line short of room must still show.
        return platform::text::replacingAll(e.what(), pack.localFolder().string() + "/", "");
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace verbolin
