#pragma once
// Start times under a 64-bit key (the hash of a segment's id), in the order
// of the pairs, key first: what the store's start index is made of. Years of
// segments are put in buckets by their keys' top bits, then each bucket is
// sorted: a comparison sort of a quarter of a million pairs costs a user's
// click on All tens of milliseconds, and the entries are made straight in
// their buckets rather than sorted from a copy that would stay behind in the
// allocator's free memory.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"

namespace verbolin {

using KeyedStart = std::pair<std::size_t, platform::Date>;

// The entries entryOf(x) of the `n` items from `first` on, as std::sort
// orders them; the items are walked twice.
template <class Iterator, class EntryOf>
std::vector<KeyedStart> keyedStartsInOrder(Iterator first, size_t n, EntryOf entryOf) {
    // Keys are hashes, spread evenly: a few entries to a bucket. Keys that
    // are not spread only make some buckets larger.
    constexpr unsigned kBits = 16;
    constexpr unsigned kShift = 64 - kBits;
    const auto bucketOf = [](const KeyedStart& e) {
        return size_t(std::uint64_t(e.first) >> kShift);
    };
    std::vector<size_t> starts((size_t(1) << kBits) + 1, 0);
    Iterator it = first;
    for (size_t i = 0; i < n; ++i, ++it) ++starts[bucketOf(entryOf(*it)) + 1];
    for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    std::vector<KeyedStart> sorted(n);
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    it = first;
    for (size_t i = 0; i < n; ++i, ++it) {
        const KeyedStart e = entryOf(*it);
        sorted[next[bucketOf(e)]++] = e;
    }
    for (size_t b = 0; b + 1 < starts.size(); ++b)
        if (starts[b + 1] - starts[b] > 1)
            std::sort(sorted.begin() + std::ptrdiff_t(starts[b]),
                      sorted.begin() + std::ptrdiff_t(starts[b + 1]));
    return sorted;
}

}  // namespace verbolin
