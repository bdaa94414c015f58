#pragma once
// Arg-max at temperature 0 (on the unscaled scores), otherwise a draw among
// the K most probable tokens of softmax(z / T). The reported log-probability
// is that of the full (tempered) distribution, not renormalised over K.
//
// K is clamped to [1, V]. When the scores admit no distribution (all forbidden,
// or NaN) the sampler logs "Sampling error: ..." and ends the sequence with
// end of text at log-probability -infinity, which pushes the window below any
// average log-probability threshold so that it is decoded again.

#include <cstdint>
#include <functional>
#include <vector>

#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/text/TokenSampling.hpp"
#include "platform/ml/Float16.hpp"

namespace auralith {

class GreedyTokenSampler : public TokenSampling {
  public:
    // Uniform draws in [0, 1); the default comes from the system's random source.
    using RandomSource = std::function<float()>;

    GreedyTokenSampler(platform::ml::Float16 temperature, std::int64_t eotToken,
                       DecodingOptions decodingOptions);

    SamplingResult update(std::vector<std::int64_t> tokens,
                          const platform::ml::MLMultiArray& logits,
                          std::vector<float> logProbs) override;
    SamplingResult finalize(const std::vector<std::int64_t>& tokens,
                            const std::vector<float>& logProbs) override;

    // Replaces the draws, e.g. with seededRandomSource for reproducible text.
    void setRandomSource(RandomSource source) { random_ = std::move(source); }

    // Uniform draws in [0, 1) that depend only on the seed: the same on every
    // run and every standard library.
    static RandomSource seededRandomSource(std::uint64_t seed);

    platform::ml::Float16 temperature;
    std::int64_t eotToken;
    DecodingOptions decodingOptions;

  private:
    struct Choice {
        std::int64_t token;
        float logprob;
    };
    Choice sample(const platform::ml::MLMultiArray& logits);

    RandomSource random_;
};

}  // namespace auralith
