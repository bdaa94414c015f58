#include "auralith/core/text/LanguageLogitsFilter.hpp"

#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

LanguageLogitsFilter::LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens,
                                           std::int64_t logitsDim, std::int64_t sampleBegin)
    : allLanguageTokens(std::move(allLanguageTokens)),
      logitsDim(logitsDim),
      sampleBegin(sampleBegin),
      nonLanguageTokenIndexes(getNonLanguageTokenIndexes(logitsDim, this->allLanguageTokens)) {}

std::vector<std::vector<std::int64_t>> LanguageLogitsFilter::getNonLanguageTokenIndexes(
    std::int64_t logitsDim, const std::set<std::int64_t>& allLanguageTokens) {
    std::vector<std::vector<std::int64_t>> indexes;
    for (std::int64_t t = 0; t < logitsDim; ++t)
        if (!allLanguageTokens.contains(t)) indexes.push_back({0, 0, t});
    return indexes;
}

std::shared_ptr<platform::ml::MLMultiArray> LanguageLogitsFilter::filterLogits(
    std::shared_ptr<platform::ml::MLMultiArray> logits,
    const std::vector<std::int64_t>& tokens) const {
    if (static_cast<std::int64_t>(tokens.size()) >= sampleBegin)
        vortil::fill(*logits, nonLanguageTokenIndexes, platform::ml::Float16::negativeInfinity());
    return logits;
}

}  // namespace auralith
