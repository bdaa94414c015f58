#pragma once
// A stage of the recognition pipeline: the text decoder, which turns one
// window's encoder embeddings into tokens. The pipeline has its own
// implementation; a configuration may supply another one in its place
// (AuralithConfig::textDecoder).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "auralith/core/DecodingInputsType.hpp"

namespace auralith {

class TextDecoding {
  public:
    virtual ~TextDecoding() = default;

    // Sizes read from the loaded decoder model; absent while no model is
    // loaded. E: key/value embedding size, S: cache positions, W: encoder
    // output length.
    virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<std::int64_t> windowSize() const = 0;

    // A fresh decoder state (a DecodingInputs) for the prompt, sized from the
    // model: zero token, cache length, caches and alignment weights, the
    // update mask 1 at position 0, the padding mask 0 at position 0 and -10000
    // elsewhere. Throws WhisperError::prepareDecoderInputsFailed naming the
    // first size that is absent; array creation errors pass through.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) const;

  protected:
    TextDecoding() = default;
    TextDecoding(const TextDecoding&) = default;
    TextDecoding& operator=(const TextDecoding&) = default;
};

}  // namespace auralith
