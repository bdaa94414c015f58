#include "auralith/core/text/BeamSearchTokenSampler.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/system/FatalError.hpp"

namespace auralith {

BeamSearchTokenSampler::BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken,
                                               float patience)
    : beamSize(beamSize),
      eotToken(eotToken),
      patience(patience),
      maxCandidates(static_cast<std::int64_t>(static_cast<float>(beamSize) * patience)) {
    if (maxCandidates <= 0)
        platform::fatalError("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                             std::to_string(patience));
}

void BeamSearchTokenSampler::reset() { finishedSequences.clear(); }

SamplingResult BeamSearchTokenSampler::update(std::vector<std::int64_t>,
                                              const platform::ml::MLMultiArray&,
                                              std::vector<float>) {
    platform::fatalError("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<std::int64_t>&,
                                                const std::vector<float>&) {
    platform::fatalError("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace auralith
