#pragma once
// The vocabulary model that the "T5Tokenizer" class names: a Unigram model
// with nothing of its own.

#include "vortilcore/tokenizers/UnigramTokenizer.hpp"

namespace vortil {

class T5Tokenizer final : public UnigramTokenizer {
  public:
    using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace vortil
