#pragma once
// Start times under a 64-bit key (the hash of a segment's id), put in the
// order of the pairs, key first: what the store's start index is made of.
// Years of segments are ordered by radix rather than by comparison: a
// comparison sort of a quarter of a million pairs costs a user's click on
// All tens of milliseconds.

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"

namespace verbolin {

using KeyedStart = std::pair<std::size_t, platform::Date>;

// Sorts `entries` as std::sort would, by key and then by start.
void sortKeyedStarts(std::vector<KeyedStart>& entries);

}  // namespace verbolin
