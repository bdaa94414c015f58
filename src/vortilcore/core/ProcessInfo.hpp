#pragma once
// Facts about the machine, under the names other platforms read through
// sysctl. On Linux they come from /sys/class/dmi/id/product_name and
// /proc/cpuinfo. The named values are read once, on first use, and kept.

#include <string>

namespace vortil {

struct ProcessInfo {
    // The value for a sysctl name: "hw.model" (the DMI product name, or
    // "linux-" and the machine architecture where the firmware names none),
    // "machdep.cpu.brand_string", "machdep.cpu.core_count",
    // "machdep.cpu.thread_count", "machdep.cpu.vendor", "machdep.cpu.family".
    // Empty for any other name or a value the machine does not report.
    static std::string stringFromSysctl(const std::string& name);

    static const std::string& hwModel();
    static const std::string& processor();
    static const std::string& cores();
    static const std::string& threads();
    static const std::string& vendor();
    static const std::string& family();
};

}  // namespace vortil
