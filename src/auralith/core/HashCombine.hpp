#pragma once
// Hash mixing for the data model's records. Floats hash by value, so 0 and -0
// (which compare equal) hash alike.

#include <cstddef>
#include <functional>

namespace auralith::detail {

inline void hashCombine(size_t& seed, size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
void hashValue(size_t& seed, const T& value) {
    hashCombine(seed, std::hash<T>{}(value));
}

inline void hashValue(size_t& seed, float value) {
    hashCombine(seed, std::hash<float>{}(value == 0 ? 0.0f : value));
}

}  // namespace auralith::detail
