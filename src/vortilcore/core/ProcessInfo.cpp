#include "vortilcore/core/ProcessInfo.hpp"

#include <sys/utsname.h>

#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace vortil {

namespace {

std::string trimmed(const std::string& s) {
    size_t start = s.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(start, end - start + 1);
}

std::string readFirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return trimmed(line);
}

// The value of the first "key : value" line with that key, empty when absent.
std::string cpuinfoField(const std::string& cpuinfo, const std::string& key) {
    std::istringstream in(cpuinfo);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (trimmed(line.substr(0, colon)) == key) return trimmed(line.substr(colon + 1));
    }
    return "";
}

// Logical processors are the "processor" entries; cores are the distinct
// (physical id, core id) pairs, or "cpu cores" where those are not listed.
std::pair<size_t, size_t> countProcessors(const std::string& cpuinfo) {
    std::istringstream in(cpuinfo);
    std::string line, physical, core;
    std::set<std::pair<std::string, std::string>> cores;
    size_t threads = 0;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = trimmed(line.substr(0, colon));
        std::string value = trimmed(line.substr(colon + 1));
        if (key == "processor") {
            ++threads;
            physical.clear();
            core.clear();
        } else if (key == "physical id") {
            physical = value;
        } else if (key == "core id") {
            core = value;
            cores.insert({physical, core});
        }
    }
    return {threads, cores.size()};
}

std::string readCpuinfo() {
    std::ifstream in("/proc/cpuinfo");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string machineModel() {
    std::string model = readFirstLine("/sys/class/dmi/id/product_name");
    if (!model.empty()) return model;
    utsname names{};
    if (uname(&names) == 0) return std::string("linux-") + names.machine;
    return "linux";
}

}  // namespace

std::string ProcessInfo::stringFromSysctl(const std::string& name) {
    if (name == "hw.model") return machineModel();
    std::string cpuinfo = readCpuinfo();
    if (name == "machdep.cpu.brand_string") return cpuinfoField(cpuinfo, "model name");
    if (name == "machdep.cpu.vendor") return cpuinfoField(cpuinfo, "vendor_id");
    if (name == "machdep.cpu.family") return cpuinfoField(cpuinfo, "cpu family");
    if (name == "machdep.cpu.thread_count" || name == "machdep.cpu.core_count") {
        auto [threads, cores] = countProcessors(cpuinfo);
        if (name == "machdep.cpu.thread_count") return threads ? std::to_string(threads) : "";
        if (cores) return std::to_string(cores);
        return cpuinfoField(cpuinfo, "cpu cores");
    }
    return "";
}

const std::string& ProcessInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

const std::string& ProcessInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& ProcessInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& ProcessInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& ProcessInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& ProcessInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

}  // namespace vortil
