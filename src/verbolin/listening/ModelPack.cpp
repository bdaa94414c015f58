#include "verbolin/listening/ModelPack.hpp"

#include <system_error>

#include "platform/system/Paths.hpp"

namespace verbolin {
namespace {

std::string folderName(const ModelPack& pack) {
    return pack.id + "-v" + std::to_string(pack.version);
}

}  // namespace

const std::vector<ModelPack>& ModelPack::all() {
    static const std::vector<ModelPack> packs = {
        ModelPack{"standard", 1, "Standard", 130},
    };
    return packs;
}

ModelPack ModelPack::named(std::string_view name) {
    for (const auto& pack : all()) {
        if (pack.id == name) return pack;
    }
    return all().front();
}

std::string ModelPack::remoteURL(std::string_view serverRoot) const {
    std::string url(serverRoot);
    if (!url.empty() && url.back() != '/') url.push_back('/');
    return url + "models/" + folderName(*this) + ".zip";
}

std::string ModelPack::checkpointRepo() const { return std::string(kStandardCheckpoint); }

// The checkpoint's float32 weights and tokenizer files.
int ModelPack::checkpointApproxMB() const { return 290; }

std::filesystem::path ModelPack::localFolder() const {
    return platform::applicationSupportDirectory() / "Verbolin" / "models" / folderName(*this);
}

bool ModelPack::isInstalled() const { return missingFiles().empty(); }

std::vector<std::string> ModelPack::missingFiles() const {
    const auto folder = localFolder();
    std::vector<std::string> missing;
    for (const char* required : {"TextDecoder.mlmodelc", "tokenizer/tokenizer.json"}) {
        // One the system will not look at (no permission, an I/O error) is
        // not known to be gone: the load says what the system said, and
        // nothing is installed over a pack that may be sound.
        std::error_code ec;
        if (!std::filesystem::exists(folder / required, ec) && !ec) missing.emplace_back(required);
    }
    return missing;
}

}  // namespace verbolin
