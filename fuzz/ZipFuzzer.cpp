// A model pack archive as a server hands it over, unpacked into a folder of
// its own. Whatever happens, nothing may appear beside that folder.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "FuzzSupport.hpp"
#include "platform/system/ZipExtractor.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const fs::path root = fuzzing::scratchFolder() / "zip";
    fs::remove_all(root);
    const fs::path target = root / "pack";
    fs::create_directories(target);
    const auto archive = fuzzing::writeScratchFile(
        "zip/pack.zip", std::string_view(reinterpret_cast<const char*>(data), size));
    platform::ZipExtractor::Limits limits;
    limits.maxBytes = std::uint64_t{64} << 20;
    // Measured first, as the installer does.
    try {
        (void)platform::ZipExtractor::declaredContents(archive, limits);
    } catch (const platform::ArchiveError&) {
    }
    try {
        platform::ZipExtractor::extract(archive, target, limits);
    } catch (const platform::ArchiveError&) {
    }
    for (const auto& entry : fs::directory_iterator(root))
        if (entry.path() != target && entry.path() != archive) __builtin_trap();
    return 0;
}
