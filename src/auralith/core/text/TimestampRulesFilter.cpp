#include "auralith/core/text/TimestampRulesFilter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/Float16.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

using platform::ml::Float16;
using platform::ml::MLMultiArray;

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
                                           std::optional<std::int64_t> maxInitialTimestampIndex,
                                           bool isModelMultilingual)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      maxInitialTimestampIndex(maxInitialTimestampIndex),
      isModelMultilingual(isModelMultilingual) {}

std::optional<std::int64_t> TimestampRulesFilter::sampleBeginFor(
    const std::vector<std::int64_t>& tokens) const {
    if (!isModelMultilingual) return sampleBegin;
    // The task token follows the start of transcript, which a previous-text
    // prompt pushes back: look through the whole prompt, not only its head.
    const auto end = std::min<std::int64_t>(static_cast<std::int64_t>(tokens.size()),
                                            std::max<std::int64_t>(3, sampleBegin));
    for (std::int64_t p = 0; p < end; ++p) {
        const auto t = tokens[static_cast<std::size_t>(p)];
        if (t == specialTokens.transcribeToken || t == specialTokens.translateToken)
            return std::max(sampleBegin, p + 1);
    }
    return std::nullopt;
}

std::shared_ptr<MLMultiArray> TimestampRulesFilter::filterLogits(
    std::shared_ptr<MLMultiArray> logits, const std::vector<std::int64_t>& tokens) const {
    const auto begin = sampleBeginFor(tokens);
    const auto n = static_cast<std::int64_t>(tokens.size());
    if (!begin || n < *begin) return logits;
    const std::int64_t b = *begin;
    const std::int64_t T = specialTokens.timeTokenBegin;
    const Float16 forbidden = Float16::negativeInfinity();
    MLMultiArray& scores = *logits;

    vortil::fillLastDimension(scores, specialTokens.noTimestampsToken,
                              specialTokens.noTimestampsToken + 1, forbidden);

    if (n > b) {
        const auto at = [&](std::int64_t i) { return tokens[static_cast<std::size_t>(i)]; };
        const bool lastWasTimestamp = at(n - 1) >= T;
        const bool penultimateWasTimestamp = n - b == 1 || at(n - 2) >= T;
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp)
                vortil::fillLastDimension(scores, T, scores.count(), forbidden);
            else
                vortil::fillLastDimension(scores, 0, specialTokens.endToken, forbidden);
        }
        std::optional<std::int64_t> lastTimestamp;
        for (std::int64_t i = b; i < n; ++i)
            if (at(i) >= T) lastTimestamp = at(i);
        if (lastTimestamp) {
            const std::int64_t limit =
                *lastTimestamp + ((lastWasTimestamp && !penultimateWasTimestamp) ? 0 : 1);
            vortil::fillLastDimension(scores, T, limit, forbidden);
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(scores, T))
        vortil::fillLastDimension(scores, 0, T, forbidden);
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(
    const MLMultiArray& logits, std::int64_t timeTokenBegin) const {
    // Both sides are log-probabilities under one softmax, so its normaliser
    // cancels: compare the log-sum-exp of the timestamp scores with the
    // largest other score.
    const std::int64_t count = logits.count();
    const std::int64_t split = std::clamp<std::int64_t>(
        vortil::linearOffset(logits, std::array<std::int64_t, 3>{0, 0, timeTokenBegin}), 0, count);
    thread_local std::vector<float> values;
    values.resize(static_cast<std::size_t>(count));
    platform::ml::convertHalfToFloat(static_cast<const Float16*>(logits.dataPointer()),
                                     values.data(), values.size());
    // A NaN score leaves no distribution to compare.
    bool sawNaN = false;
    for (const float x : values) sawNaN |= std::isnan(x);
    if (sawNaN) return false;
    const auto& kernels = platform::ml::computeKernels();
    const auto n = static_cast<std::size_t>(split), total = static_cast<std::size_t>(count);
    const float maxText = kernels.maxValue(values.data(), n);
    const float maxTime = kernels.maxValue(values.data() + n, total - n);
    if (!std::isfinite(maxTime)) return false;
    const double sum = kernels.expShiftSum(values.data() + n, total - n, maxTime);
    const auto timestampLogSum = static_cast<float>(maxTime + std::log(sum));
    return timestampLogSum > maxText;
}

}  // namespace auralith
