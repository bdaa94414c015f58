#pragma once
// Forbids a fixed list of token ids at every step. Ids outside the vocabulary
// (the -1 "default non-speech tokens" sentinel of other front ends included)
// have no effect.

#include <cstdint>
#include <vector>

#include "auralith/core/text/LogitsFiltering.hpp"

namespace auralith {

class SuppressTokensFilter : public LogitsFiltering {
  public:
    explicit SuppressTokensFilter(std::vector<std::int64_t> suppressTokens);

    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override;

    const std::vector<std::int64_t> suppressTokens;
    const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

}  // namespace auralith
