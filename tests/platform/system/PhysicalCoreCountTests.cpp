#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/system/SysInfo.hpp"

TEST(PhysicalCoreCount, CountsDistinctCoresOfEverySocket) {
    const std::string twoSocketsWithThreads =
        "processor : 0\nphysical id : 0\ncore id : 0\n\n"
        "processor : 1\nphysical id : 0\ncore id : 0\n\n"  // a second thread of core 0
        "processor : 2\nphysical id : 0\ncore id : 1\n\n"
        "processor : 3\nphysical id : 1\ncore id : 0\n\n"  // same core id, other socket
        "processor : 4\ncore id : 7\n\n";                  // no socket named: its own
    const std::pair<std::string, std::optional<int>> cases[] = {
        {twoSocketsWithThreads, 4},
        {"processor\t: 0\ncpu cores\t: 6\n", 6},  // no core ids: the socket's own count
        {"cpu cores : 0\n", std::nullopt},
        {"cpu cores : -2\n", std::nullopt},
        {"cpu cores : 4 cores\n", std::nullopt},
        {"cpu cores : 99999999999\n", std::nullopt},
        {"", std::nullopt},
        {std::string("processor : 0\ncore id : 0\n\0core id : 1\n", 39), 1},  // ends at a NUL
    };
    for (const auto& [cpuinfo, expected] : cases)
        EXPECT_EQ(platform::physicalCoreCountFrom(cpuinfo), expected) << cpuinfo;
}
