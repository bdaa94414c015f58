#pragma once
// Picks the next token from one step's filtered logits (float16 [1, 1, V]).
// A sampler instance serves one decoding loop at a time.

#include <cstdint>
#include <vector>

#include "auralith/core/text/SamplingResult.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class TokenSampling {
  public:
    virtual ~TokenSampling() = default;

    // Appends the chosen token and its log-probability to the sequences it is
    // given (a caller that moves them in gets them back without a copy);
    // `completed` tells whether the sequence has ended. Never throws: a sampler
    // that cannot choose ends the sequence instead. The logits are only read.
    virtual SamplingResult update(std::vector<std::int64_t> tokens,
                                  const platform::ml::MLMultiArray& logits,
                                  std::vector<float> logProbs) = 0;
    // The sequence as the window's result keeps it, with its end marked.
    virtual SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                                    const std::vector<float>& logProbs) = 0;

  protected:
    TokenSampling() = default;
    TokenSampling(const TokenSampling&) = default;
    TokenSampling& operator=(const TokenSampling&) = default;
};

}  // namespace auralith
