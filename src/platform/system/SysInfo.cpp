#include "platform/system/SysInfo.hpp"

#include <sys/utsname.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "platform/system/Text.hpp"

namespace platform {

namespace {

// Space, tab and line breaks, as the kernel's text files pad their values.
std::string_view trimmed(std::string_view s) { return text::trimmed(s, " \t\r\n"); }

// Text as the kernel's string values are read: up to the first zero byte,
// with malformed UTF-8 replaced by U+FFFD so the result is safe anywhere.
std::string textUpToZero(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    bool ascii = true;
    for (unsigned char c : bytes) ascii = ascii && c < 0x80;
    if (ascii) return std::string(bytes);
    std::u16string units(bytes.size(), u'\0');
    int32_t unitCount = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(units.data()), int32_t(units.size()), &unitCount,
                         bytes.data(), int32_t(bytes.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return "";
    std::string out(size_t(unitCount) * 3, '\0');
    int32_t length = 0;
    u_strToUTF8(out.data(), int32_t(out.size()), &length,
                reinterpret_cast<const UChar*>(units.data()), unitCount, &status);
    if (U_FAILURE(status)) return "";
    out.resize(size_t(length));
    return out;
}

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Calls visit(key, value) for each "key : value" line.
template <class Visit>
void eachField(const std::string& cpuinfo, Visit&& visit) {
    std::istringstream in(cpuinfo);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        visit(std::string(trimmed(std::string_view(line).substr(0, colon))),
              std::string(trimmed(std::string_view(line).substr(colon + 1))));
    }
}

std::string firstField(const std::string& cpuinfo, std::string_view key) {
    std::string found;
    bool done = false;
    eachField(cpuinfo, [&](const std::string& k, const std::string& v) {
        if (!done && k == key) {
            found = v;
            done = true;
        }
    });
    return found;
}

std::string coreCount(const std::string& cpuinfo) {
    std::set<std::pair<std::string, std::string>> cores;
    std::string physical;
    eachField(cpuinfo, [&](const std::string& k, const std::string& v) {
        if (k == "processor") physical.clear();
        if (k == "physical id") physical = v;
        if (k == "core id") cores.insert({physical, v});
    });
    if (!cores.empty()) return std::to_string(cores.size());
    return firstField(cpuinfo, "cpu cores");
}

std::string threadCount(const std::string& cpuinfo) {
    size_t threads = 0;
    eachField(cpuinfo, [&](const std::string& k, const std::string&) {
        if (k == "processor") ++threads;
    });
    return threads ? std::to_string(threads) : "";
}

}  // namespace

std::string sysctlStringFrom(std::string_view name, const std::string& cpuinfoBytes,
                             const std::string& productName, const std::string& architecture) {
    if (name == "hw.model") {
        std::string model(trimmed(textUpToZero(productName)));
        if (!model.empty()) return model;
        return architecture.empty() ? "linux" : "linux-" + architecture;
    }
    const std::string cpuinfo = textUpToZero(cpuinfoBytes);
    if (name == "machdep.cpu.brand_string") return firstField(cpuinfo, "model name");
    if (name == "machdep.cpu.vendor") return firstField(cpuinfo, "vendor_id");
    if (name == "machdep.cpu.family") return firstField(cpuinfo, "cpu family");
    if (name == "machdep.cpu.core_count") return coreCount(cpuinfo);
    if (name == "machdep.cpu.thread_count") return threadCount(cpuinfo);
    return "";
}

std::string sysctlString(std::string_view name) {
    if (name == "hw.model") {
        utsname names{};
        std::string architecture = uname(&names) == 0 ? names.machine : "";
        return sysctlStringFrom(name, "", readFile("/sys/class/dmi/id/product_name"), architecture);
    }
    if (name.rfind("machdep.cpu.", 0) != 0) return "";
    return sysctlStringFrom(name, readFile("/proc/cpuinfo"), "", "");
}

std::optional<int> physicalCoreCountFrom(const std::string& cpuinfo) {
    const std::string cores = coreCount(textUpToZero(cpuinfo));
    int n = 0;
    const auto [end, ec] = std::from_chars(cores.data(), cores.data() + cores.size(), n);
    if (ec != std::errc{} || end != cores.data() + cores.size() || n <= 0) return std::nullopt;
    return n;
}

std::optional<int> physicalCoreCount() { return physicalCoreCountFrom(readFile("/proc/cpuinfo")); }

uint64_t residentMemoryBytes(const std::string& statmPath) {
    std::ifstream in(statmPath);
    unsigned long long sizePages = 0, residentPages = 0;
    if (!(in >> sizePages >> residentPages)) return 0;
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    return static_cast<uint64_t>(residentPages) * static_cast<uint64_t>(pageSize);
}

uint64_t residentMemoryBytes() { return residentMemoryBytes("/proc/self/statm"); }

}  // namespace platform
