#pragma once
// One decoder step's model inputs. TextDecoderInputType is the marker base
// through which decoders accept step inputs; the concrete record holds the
// seven arrays (shared with the decoder state, never copied) that map one to
// one onto the model's input features.

#include <memory>

#include "platform/ml/MLMultiArray.hpp"

namespace auralith {

class TextDecoderInputType {
  public:
    virtual ~TextDecoderInputType() = default;
};

struct TextDecoderMLMultiArrayInputType : TextDecoderInputType {
    using Array = std::shared_ptr<platform::ml::MLMultiArray>;

    TextDecoderMLMultiArrayInputType(Array inputIds, Array cacheLength, Array keyCache,
                                     Array valueCache, Array kvCacheUpdateMask,
                                     Array encoderOutputEmbeds, Array decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)),
          cacheLength(std::move(cacheLength)),
          keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)),
          kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
          decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

    Array inputIds;
    Array cacheLength;
    Array keyCache;
    Array valueCache;
    Array kvCacheUpdateMask;
    Array encoderOutputEmbeds;
    Array decoderKeyPaddingMask;
    // Set by a window's decoding loop for its steps after the first: the
    // encoder output is the array of the loop's previous step, unchanged, so
    // a decoder that keeps work derived from it (the cross-attention keys and
    // values) need not read all of it again to make sure. False promises nothing.
    bool encoderOutputUnchanged = false;
};

}  // namespace auralith
