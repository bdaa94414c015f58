#include "verbolin/storage/KeyedStarts.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace verbolin {

void sortKeyedStarts(std::vector<KeyedStart>& entries) {
    // Below this many, the buckets cost more than the comparisons they spare.
    constexpr size_t kSmall = 4096;
    if (entries.size() < kSmall) {
        std::sort(entries.begin(), entries.end());
        return;
    }
    // Least significant digit first, each pass stable: after the last one the
    // entries are in key order, those of equal keys as they were.
    constexpr unsigned kBits = 11;
    constexpr size_t kBuckets = size_t(1) << kBits;
    std::vector<KeyedStart> other(entries.size());
    std::array<size_t, kBuckets> counts{};
    for (unsigned shift = 0; shift < 64; shift += kBits) {
        counts.fill(0);
        for (const KeyedStart& e : entries) ++counts[(std::uint64_t(e.first) >> shift) % kBuckets];
        // A digit all keys share moves nothing.
        if (std::find(counts.begin(), counts.end(), entries.size()) != counts.end()) continue;
        size_t at = 0;
        for (size_t& c : counts) at += std::exchange(c, at);
        for (const KeyedStart& e : entries)
            other[counts[(std::uint64_t(e.first) >> shift) % kBuckets]++] = e;
        entries.swap(other);
    }
    // Keys shared (a hash that two ids share, an id held twice) are few and
    // short runs: ordered by start within each.
    for (auto run = entries.begin(); run != entries.end();) {
        auto end = std::find_if(run + 1, entries.end(),
                                [&](const KeyedStart& e) { return e.first != run->first; });
        if (end - run > 1) std::sort(run, end);
        run = end;
    }
}

}  // namespace verbolin
