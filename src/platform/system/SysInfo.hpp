#pragma once
// Machine and process facts that other platforms read through sysctl and the
// kernel's task information, taken on Linux from /sys/class/dmi/id and /proc.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The string value for a sysctl name, emulated:
//   "hw.model"                  DMI product name, or "linux-" + architecture when the firmware
//   names none "machdep.cpu.brand_string"  /proc/cpuinfo "model name" "machdep.cpu.vendor"
//   /proc/cpuinfo "vendor_id" "machdep.cpu.family"        /proc/cpuinfo "cpu family"
//   "machdep.cpu.core_count"    distinct (physical id, core id) pairs, else "cpu cores"
//   "machdep.cpu.thread_count"  number of "processor" entries
// Empty for any other name or a value the machine does not report. A value
// ends at its first zero byte and malformed UTF-8 in it reads as U+FFFD.
std::string sysctlString(std::string_view name);

// The same from given file contents, for machines other than this one.
std::string sysctlStringFrom(std::string_view name, const std::string& cpuinfo,
                             const std::string& productName, const std::string& architecture);

// The machine's physical processor cores: distinct (physical id, core id)
// pairs in /proc/cpuinfo, else its "cpu cores" field; none when it says
// neither as a positive number.
std::optional<int> physicalCoreCount();
// The same from given /proc/cpuinfo contents.
std::optional<int> physicalCoreCountFrom(const std::string& cpuinfo);

// The process's resident memory in bytes; 0 when it cannot be read.
uint64_t residentMemoryBytes();
// The same from a /proc/<pid>/statm style file.
uint64_t residentMemoryBytes(const std::string& statmPath);

}  // namespace platform
