#pragma once
// Small helpers shared by the tokenizer models.

#include <unordered_map>

namespace vortil::Utils {

// Map from values to keys. Where two keys share a value, the one met last in
// the map's iteration order wins.
template <typename K, typename V, typename... Rest>
std::unordered_map<V, K> invert(const std::unordered_map<K, V, Rest...>& map) {
    std::unordered_map<V, K> out;
    out.reserve(map.size());
    for (const auto& [k, v] : map) out.insert_or_assign(v, k);
    return out;
}

}  // namespace vortil::Utils
