#include "vortilcore/core/ProcessInfo.hpp"

#include "platform/system/SysInfo.hpp"

namespace vortil {

std::string ProcessInfo::stringFromSysctl(const std::string& name) {
    return platform::sysctlString(name);
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
