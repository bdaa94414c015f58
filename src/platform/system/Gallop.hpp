#pragma once

#include <algorithm>
#include <cstddef>

namespace platform {

// The first index in [from, n) at which `below` no longer holds, `below`
// holding for a prefix of the range. Steps out from `from` in doubling
// strides before halving: a walk of sorted hits or pixel columns most often
// finds the next one near the last, where a plain binary search would pay
// the whole range's depth each time.
template <class Below>
size_t gallop(size_t from, size_t n, Below below) {
    size_t lo = from, step = 1;
    while (lo + step <= n && below(lo + step - 1)) lo += step, step *= 2;
    size_t hi = std::min(n, lo + step);
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (below(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace platform
