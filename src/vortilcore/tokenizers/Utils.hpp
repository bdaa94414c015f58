#pragma once
// Small helpers shared by the tokenizer models.

#include <string>
#include <string_view>
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

// A tokenizer class name with every "Fast" removed in one left-to-right pass,
// so letters that come together only once a "Fast" is gone stay
// ("LlamaTokenizerFast" -> "LlamaTokenizer", "FaFastst" -> "Fast"). Both the
// tokenizer class choice and the vocabulary model choice read names this way.
inline std::string removingFast(std::string name) {
    static constexpr std::string_view fast = "Fast";
    for (size_t at = 0; (at = name.find(fast, at)) != std::string::npos;)
        name.erase(at, fast.size());
    return name;
}

}  // namespace vortil::Utils
