#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/system/Log.hpp"
#include "platform/system/SysInfo.hpp"

using namespace platform;

TEST(Log, EntryTextKeepsSubsystemCategoryTypeAndOneNewline) {
    EXPECT_EQ(formatLogEntry("com.vortil.vortilcore", "Vortil", LogType::error, "bad 50%s"),
              "[com.vortil.vortilcore:Vortil] [error] bad 50%s\n");
    EXPECT_EQ(formatLogEntry("s", "c", LogType::defaultType, "ends\n"), "[s:c] [default] ends\n");
    EXPECT_EQ(formatLogEntry("s", "c", LogType::fault, ""), "[s:c] [fault] \n");
    ::testing::internal::CaptureStderr();
    writeLog("s", "c", LogType::debug, "hello");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[s:c] [debug] hello\n");
}

TEST(SysInfo, SysctlNamesFromCpuinfo) {
    // Two sockets of two cores, each core with two threads.
    std::string cpuinfo;
    int processor = 0;
    for (int socket = 0; socket < 2; ++socket) {
        for (int thread = 0; thread < 2; ++thread) {
            for (int core = 0; core < 2; ++core) {
                cpuinfo += "processor\t: " + std::to_string(processor++) +
                           "\nvendor_id\t: GenuineIntel\ncpu family\t: 6\n"
                           "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"
                           "physical id\t: " +
                           std::to_string(socket) +
                           "\nsiblings\t: 4\ncore id\t\t: " + std::to_string(core) +
                           "\ncpu cores\t: 2\n\n";
            }
        }
    }
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"machdep.cpu.brand_string", "Intel(R) Xeon(R) CPU @ 2.20GHz"},
        {"machdep.cpu.vendor", "GenuineIntel"},
        {"machdep.cpu.family", "6"},
        {"machdep.cpu.core_count", "4"},
        {"machdep.cpu.thread_count", "8"},
        {"hw.model", "Standard PC (Q35 + ICH9, 2009)"},
        {"hw.ncpu", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sysctlStringFrom(c.name, cpuinfo, "Standard PC (Q35 + ICH9, 2009)\n", "x86_64"),
                  c.expected)
            << c.name;
    }
}

TEST(SysInfo, SparseCpuinfoAndMissingProductName) {
    // Some processors list neither core ids nor a model name.
    const std::string cpuinfo =
        "processor : 0\nBogoMIPS : 50.00\ncpu cores : 1\n\n"
        "processor : 1\nBogoMIPS : 50.00\n";
    EXPECT_EQ(sysctlStringFrom("machdep.cpu.thread_count", cpuinfo, "", "aarch64"), "2");
    EXPECT_EQ(sysctlStringFrom("machdep.cpu.core_count", cpuinfo, "", "aarch64"), "1");
    EXPECT_EQ(sysctlStringFrom("machdep.cpu.brand_string", cpuinfo, "", "aarch64"), "");
    EXPECT_EQ(sysctlStringFrom("hw.model", cpuinfo, "  \n", "aarch64"), "linux-aarch64");
    EXPECT_EQ(sysctlStringFrom("machdep.cpu.thread_count", "", "", ""), "");
}

TEST(SysInfo, ValuesEndAtTheFirstZeroByteAndAreValidUtf8) {
    EXPECT_EQ(sysctlStringFrom("hw.model", "", std::string("Box 7\0garbage\n", 14), "x86_64"),
              "Box 7");
    // A Latin-1 byte from the firmware becomes U+FFFD, so the text is safe to serialise.
    EXPECT_EQ(sysctlStringFrom("hw.model", "", "Caf\xE9 PC\n", "x86_64"), "Caf\xEF\xBF\xBD PC");
    EXPECT_EQ(
        sysctlStringFrom("machdep.cpu.brand_string", "model name : Chip \xFF\xFE 9\n", "", ""),
        "Chip \xEF\xBF\xBD\xEF\xBF\xBD 9");
}

TEST(SysInfo, ThisMachine) {
    EXPECT_FALSE(sysctlString("hw.model").empty());
    EXPECT_EQ(sysctlString("machdep.cpu.thread_count"),
              std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(sysctlString("no.such.name"), "");
    EXPECT_GT(residentMemoryBytes(), 0u);
}

TEST(SysInfo, UnreadableMemorySourceGivesZero) {
    EXPECT_EQ(residentMemoryBytes("/nonexistent/statm"), 0u);
    std::string path = ::testing::TempDir() + "/statm-sample";
    std::ofstream(path) << "not numbers\n";
    EXPECT_EQ(residentMemoryBytes(path), 0u);
    std::ofstream(path) << "1000 512 0 0 0 0 0\n";
    EXPECT_EQ(residentMemoryBytes(path), 512ull * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    std::remove(path.c_str());
}
