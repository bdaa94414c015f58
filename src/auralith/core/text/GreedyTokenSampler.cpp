#include "auralith/core/text/GreedyTokenSampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "auralith/utilities/Logging.hpp"
#include "platform/ml/ComputeKernels.hpp"

namespace auralith {

using platform::ml::Float16;

namespace {

float systemUniform() {
    thread_local std::mt19937 engine{std::random_device{}()};
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    // Some library versions can round up to the upper bound itself.
    return std::min(uniform(engine), std::nextafter(1.0f, 0.0f));
}

}  // namespace

GreedyTokenSampler::RandomSource GreedyTokenSampler::seededRandomSource(std::uint64_t seed) {
    // The engine's raw output is fixed by the standard; the library's real
    // distributions are not, so the float is made from the top 24 bits.
    return [engine = std::mt19937_64(seed)]() mutable {
        return static_cast<float>(engine() >> 40) * 0x1p-24f;
    };
}

GreedyTokenSampler::GreedyTokenSampler(Float16 temperature, std::int64_t eotToken,
                                       DecodingOptions decodingOptions)
    : temperature(temperature),
      eotToken(eotToken),
      decodingOptions(std::move(decodingOptions)),
      random_(systemUniform) {}

GreedyTokenSampler::Choice GreedyTokenSampler::sample(const platform::ml::MLMultiArray& logits) {
    const auto v = static_cast<std::size_t>(logits.count());
    constexpr float minusInf = -std::numeric_limits<float>::infinity();
    if (v == 0 || logits.dataType() != platform::ml::MLMultiArrayDataType::float16) {
        Logging::error("Sampling error: logits must be a non-empty float16 array");
        return {eotToken, minusInf};
    }
    // Scratch kept per thread: a new sampler for every window allocates nothing per step.
    thread_local std::vector<float> scratch;
    thread_local std::vector<std::int32_t> order;
    scratch.resize(v);
    platform::ml::convertHalfToFloat(static_cast<const Float16*>(logits.dataPointer()),
                                     scratch.data(), v);
    const float t = static_cast<float>(temperature);
    const bool greedy = t == 0.0f;  // -0 included

    // Arg-max on the unscaled scores; the first of equal maxima wins. The
    // vector maximum, then the first score equal to it: a plain scan for the
    // largest takes most of a greedy step's sampling time over 51,865 scores.
    const auto& kernels = platform::ml::computeKernels();
    const float top = kernels.maxValue(scratch.data(), v);
    const std::size_t best =
        static_cast<std::size_t>(std::find(scratch.begin(), scratch.end(), top) - scratch.begin());
    bool sawNaN = false;  // a loop the compiler vectorises: no early exit
    for (const float x : scratch) sawNaN |= x != x;

    // The tempered scores become exp(t - max) in place; their sum is the
    // softmax normaliser. A NaN score (which the vector maximum may skip), or
    // no finite maximum (every token forbidden), leaves no distribution.
    if (!greedy)
        for (auto& x : scratch) x /= t;
    const float shift = greedy ? top : kernels.maxValue(scratch.data(), v);
    const float sum = std::isfinite(shift) ? kernels.expShiftSum(scratch.data(), v, shift) : NAN;
    if (sawNaN || best >= v || !(sum > 0.0f) || !std::isfinite(sum) || !std::isfinite(t)) {
        Logging::error(std::string("Sampling error: no probability distribution over the scores") +
                       " at temperature " + std::to_string(t));
        return {eotToken, minusInf};
    }
    const float logSum = std::log(sum);
    const auto logProbOf = [&](std::size_t i) { return std::log(scratch[i]) - logSum; };
    if (greedy) return {static_cast<std::int64_t>(best), -logSum};

    // Top K by probability, the lower id first among equals.
    const auto k = static_cast<std::size_t>(
        std::clamp<std::int64_t>(decodingOptions.topK, 1, static_cast<std::int64_t>(v)));
    order.resize(v);
    std::iota(order.begin(), order.end(), 0);
    const auto higher = [&](std::int32_t a, std::int32_t b) {
        const float pa = scratch[static_cast<std::size_t>(a)];
        const float pb = scratch[static_cast<std::size_t>(b)];
        return pa > pb || (pa == pb && a < b);
    };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(),
                      higher);
    float total = 0;
    for (std::size_t i = 0; i < k; ++i) total += scratch[static_cast<std::size_t>(order[i])];
    const float threshold = total * random_();
    std::size_t position = 0;
    float cumulative = 0;
    for (std::size_t i = 0; i < k; ++i) {
        cumulative += scratch[static_cast<std::size_t>(order[i])];
        if (cumulative >= threshold) {
            position = i;
            break;
        }
    }
    const auto token = static_cast<std::size_t>(order[position]);
    return {static_cast<std::int64_t>(token), logProbOf(token)};
}

SamplingResult GreedyTokenSampler::update(std::vector<std::int64_t> tokens,
                                          const platform::ml::MLMultiArray& logits,
                                          std::vector<float> logProbs) {
    const Choice choice = sample(logits);
    SamplingResult result{std::move(tokens), std::move(logProbs), choice.token == eotToken};
    result.tokens.push_back(choice.token);
    result.logProbs.push_back(choice.logprob);
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<std::int64_t>& tokens,
                                            const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (result.tokens.empty() || result.tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0.0f);
    }
    return result;
}

}  // namespace auralith
