#include "platform/system/Paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

namespace platform {
namespace {

std::filesystem::path absoluteEnv(const char* name) {
    const char* v = std::getenv(name);
    if (v && *v && v[0] == '/') return v;
    return {};
}

}  // namespace

std::filesystem::path homeDirectory() {
    if (auto h = absoluteEnv("HOME"); !h.empty()) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::filesystem::path documentsDirectory() {
    if (auto d = absoluteEnv("XDG_DOCUMENTS_DIR"); !d.empty()) return d;
    return homeDirectory() / "Documents";
}

std::filesystem::path applicationSupportDirectory() {
    if (auto d = absoluteEnv("XDG_DATA_HOME"); !d.empty()) return d;
    return homeDirectory() / ".local" / "share";
}

std::filesystem::path configDirectory() {
    if (auto d = absoluteEnv("XDG_CONFIG_HOME"); !d.empty()) return d;
    return homeDirectory() / ".config";
}

std::filesystem::path stateDirectory() {
    if (auto d = absoluteEnv("XDG_STATE_HOME"); !d.empty()) return d;
    return homeDirectory() / ".local" / "state";
}

std::string folderKey(const std::filesystem::path& folder) {
    std::error_code ec;
    auto path = std::filesystem::weakly_canonical(std::filesystem::absolute(folder, ec), ec);
    if (ec) path = folder.lexically_normal();
    // "folder/" names the same folder as "folder".
    if (path.filename().empty() && path.has_relative_path()) path = path.parent_path();
    // FNV-1a: unlike std::hash, the same in every build.
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (const unsigned char c : path.string()) h = (h ^ c) * 0x100000001B3ull;
    static const char digits[] = "0123456789abcdef";
    std::string key(16, '0');
    for (int i = 15; i >= 0; --i, h >>= 4) key[size_t(i)] = digits[h & 0xF];
    return key;
}

std::filesystem::path temporaryDirectory() {
    if (auto d = absoluteEnv("TMPDIR"); !d.empty()) return d;
    return "/tmp";
}

}  // namespace platform
