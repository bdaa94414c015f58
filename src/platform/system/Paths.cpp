#include "platform/system/Paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

std::filesystem::path temporaryDirectory() {
    if (auto d = absoluteEnv("TMPDIR"); !d.empty()) return d;
    return "/tmp";
}

}  // namespace platform
