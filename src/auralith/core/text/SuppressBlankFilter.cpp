#include "auralith/core/text/SuppressBlankFilter.hpp"

#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      suppressTokenIndexes{{0, 0, specialTokens.whitespaceToken}, {0, 0, specialTokens.endToken}} {}

std::shared_ptr<platform::ml::MLMultiArray> SuppressBlankFilter::filterLogits(
    std::shared_ptr<platform::ml::MLMultiArray> logits,
    const std::vector<std::int64_t>& tokens) const {
    if (static_cast<std::int64_t>(tokens.size()) == sampleBegin)
        vortil::fill(*logits, suppressTokenIndexes, platform::ml::Float16::negativeInfinity());
    return logits;
}

}  // namespace auralith
