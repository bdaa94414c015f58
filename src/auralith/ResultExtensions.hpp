#pragma once
// Small operations on lists of segments and of per-file outcomes.

#include <optional>
#include <variant>
#include <vector>

#include "auralith/core/TranscriptionSegment.hpp"

namespace auralith {

// True when some segment starts exactly where the given one starts; nothing
// else is compared.
bool contains(const std::vector<TranscriptionSegment>& segments,
              const TranscriptionSegment& segment);

// Each outcome's success value, or nothing for a failure (whose error is
// dropped), in the same order.
template <class Success, class Failure>
std::vector<std::optional<Success>> toOptionalArrays(
    const std::vector<std::variant<Success, Failure>>& outcomes) {
    std::vector<std::optional<Success>> out;
    out.reserve(outcomes.size());
    for (const auto& outcome : outcomes) {
        if (const Success* value = std::get_if<0>(&outcome)) {
            out.emplace_back(*value);
        } else {
            out.emplace_back(std::nullopt);
        }
    }
    return out;
}

}  // namespace auralith
