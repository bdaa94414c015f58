#pragma once
// Keeps the first sampled token of a window from being a blank or the end of
// text: at exactly the first position after the prompt it forbids the
// whitespace and end-of-text tokens.

#include <cstdint>
#include <vector>

#include "auralith/core/SpecialTokens.hpp"
#include "auralith/core/text/LogitsFiltering.hpp"

namespace auralith {

class SuppressBlankFilter : public LogitsFiltering {
  public:
    SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin);

    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override;

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

}  // namespace auralith
