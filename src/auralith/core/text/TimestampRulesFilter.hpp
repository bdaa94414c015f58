#pragma once
// The timestamp-token grammar of a window decoded with timestamps: the
// no-timestamps token is never chosen; timestamps come in pairs around text
// (a lone timestamp is followed by text or another timestamp, a pair by text
// or the end); timestamps never go back in time; and when the timestamps
// together are more probable than any single other token, a timestamp is forced.

#include <cstdint>
#include <optional>
#include <vector>

#include "auralith/core/SpecialTokens.hpp"
#include "auralith/core/text/LogitsFiltering.hpp"

namespace auralith {

class TimestampRulesFilter : public LogitsFiltering {
  public:
    // maxInitialTimestampIndex is kept for callers that read it; no rule uses it.
    TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
                         std::optional<std::int64_t> maxInitialTimestampIndex,
                         bool isModelMultilingual);

    std::shared_ptr<platform::ml::MLMultiArray> filterLogits(
        std::shared_ptr<platform::ml::MLMultiArray> logits,
        const std::vector<std::int64_t>& tokens) const override;

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    const std::optional<std::int64_t> maxInitialTimestampIndex;
    const bool isModelMultilingual;

  protected:
    // The first sampled position. For a multilingual model it lies after the
    // task token, searched within the prompt (a previous-text prompt puts it
    // well past the third position); absent when the prompt has no task token.
    virtual std::optional<std::int64_t> sampleBeginFor(
        const std::vector<std::int64_t>& tokens) const;

    // True when the log of the summed probability of all timestamp tokens is
    // strictly above the largest log-probability of any other token. Computed
    // in single precision over the half-precision scores; false on NaN.
    virtual bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(
        const platform::ml::MLMultiArray& logits, std::int64_t timeTokenBegin) const;

    friend class TimestampRulesFilterProbe;
};

}  // namespace auralith
