#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "verbolin/storage/KeyedStarts.hpp"

namespace verbolin {
namespace {

TEST(KeyedStartsTest, OrdersAsAComparisonSortDoes) {
    std::mt19937_64 random(11);
    const auto start = [&](std::uint64_t range) {
        return platform::Date(std::chrono::nanoseconds(std::int64_t(random() % range)));
    };
    struct Case {
        size_t size;
        std::uint64_t keyMask;  // narrow keys share digits, and collide often
        std::uint64_t startRange;
    } cases[] = {{0, ~0ull, 10},          {1, ~0ull, 10},
                 {4095, ~0ull, 1000},     {4096, 0xff, 3},
                 {30000, ~0ull, 1 << 20}, {30000, 0x7ff, 5},
                 {30000, 0, 1000},        {70001, 0xffff0000ffff0000ull, 50}};
    for (const Case& c : cases) {
        std::vector<KeyedStart> entries;
        for (size_t i = 0; i < c.size; ++i)
            entries.emplace_back(random() & c.keyMask, start(c.startRange));
        // Some entries twice over, as an id held twice makes them.
        for (size_t i = 0; i < c.size / 10; ++i) entries.push_back(entries[random() % c.size]);
        std::vector<KeyedStart> expected = entries;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(keyedStartsInOrder(entries.begin(), entries.size(),
                                     [](const KeyedStart& e) { return e; }),
                  expected)
            << c.size << " " << c.keyMask;
    }
}

}  // namespace
}  // namespace verbolin
