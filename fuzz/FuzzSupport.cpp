#include "FuzzSupport.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace fuzzing {

namespace {

struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder() {
        path = std::filesystem::temp_directory_path() /
               ("verbolin-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

const std::filesystem::path& scratchFolder() {
    static ScratchFolder folder;
    return folder.path;
}

std::filesystem::path writeScratchFile(const std::string& name, std::string_view bytes) {
    const std::filesystem::path path = scratchFolder() / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();  // a harness that cannot write tests nothing
    return path;
}

std::vector<std::string_view> splitInput(const std::uint8_t* data, std::size_t size,
                                         std::size_t parts) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> pieces;
    while (pieces.size() + 1 < parts) {
        const std::size_t at = rest.find(kSeparator);
        if (at == std::string_view::npos) break;
        pieces.push_back(rest.substr(0, at));
        rest.remove_prefix(at + kSeparator.size());
    }
    pieces.push_back(rest);
    pieces.resize(parts);
    return pieces;
}

}  // namespace fuzzing
