#pragma once
// A stage of the recognition pipeline: the text decoder, which turns one
// window's encoder embeddings into tokens. The pipeline has its own
// implementation; a configuration may supply another one in its place
// (AuralithConfig::textDecoder).

namespace auralith {

class TextDecoding {
  public:
    virtual ~TextDecoding() = 0;

  protected:
    TextDecoding() = default;
    TextDecoding(const TextDecoding&) = default;
    TextDecoding& operator=(const TextDecoding&) = default;
};

inline TextDecoding::~TextDecoding() = default;

}  // namespace auralith
