#pragma once
// Facts about the machine under the sysctl names the pipeline knows them by
// (see platform/system/SysInfo.hpp for where each comes from on Linux). The
// named values are read once, on first use, and kept for the process's life.

#include <string>

namespace vortil {

struct ProcessInfo {
    // Empty for an unknown name or a value the machine does not report.
    static std::string stringFromSysctl(const std::string& name);

    // The machine's model identifier, the pipeline's device name.
    static const std::string& hwModel();
    static const std::string& processor();
    static const std::string& cores();
    static const std::string& threads();
    static const std::string& vendor();
    static const std::string& family();
};

}  // namespace vortil
