#pragma once
// Leaves only language tokens selectable (language detection). Its index list
// covers nearly the whole vocabulary, so it is built once per decoder and reused.

#include <cstdint>
#include <set>
#include <vector>

#include "auralith/core/text/LogitsFiltering.hpp"

namespace auralith {

class LanguageLogitsFilter : public LogitsFiltering {
  public:
    // logitsDim must not be negative.
    LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim,
                         std::int64_t sampleBegin);

    // Acts from `sampleBegin` tokens on.
    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override;

    const std::set<std::int64_t> allLanguageTokens;
    const std::int64_t logitsDim;
    const std::int64_t sampleBegin;
    const std::vector<std::vector<std::int64_t>> nonLanguageTokenIndexes;

  private:
    static std::vector<std::vector<std::int64_t>> getNonLanguageTokenIndexes(
        std::int64_t logitsDim, const std::set<std::int64_t>& allLanguageTokens);
};

}  // namespace auralith
