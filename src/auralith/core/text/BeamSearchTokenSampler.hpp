#pragma once
// Declared for callers that name it; beam search is not implemented, and
// using it is a programming error that stops the program.

#include <cstdint>
#include <vector>

#include "auralith/core/text/TokenSampling.hpp"

namespace auralith {

class BeamSearchTokenSampler : public TokenSampling {
  public:
    // Stops the program when beamSize × patience truncates to 0 or less.
    BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience = 1.0f);

    void reset();
    [[noreturn]] SamplingResult update(std::vector<std::int64_t> tokens,
                                       const platform::ml::MLMultiArray& logits,
                                       std::vector<float> logProbs) override;
    [[noreturn]] SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                                         const std::vector<float>& logProbs) override;

    std::int64_t beamSize;
    std::int64_t eotToken;
    float patience;
    std::int64_t maxCandidates;
    std::vector<float> finishedSequences;
};

}  // namespace auralith
