#pragma once
// The choice of tokenizer class by a configuration's tokenizer_class: almost
// every name builds the general PreTrainedTokenizer; "LlamaTokenizer" (also
// written "LlamaTokenizerFast") builds the Llama tokenizer.

#include <memory>
#include <string>
#include <unordered_map>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"

namespace vortil {

// A tokenizer class: its name and how to build one of it.
struct PreTrainedTokenizerClass {
    using Factory = std::unique_ptr<PreTrainedTokenizer> (*)(const Config& tokenizerConfig,
                                                             const Config& tokenizerData,
                                                             bool strict);
    std::string name;
    Factory create;
};

struct PreTrainedTokenizerClasses {
    // The classes other than the general one, by tokenizer class name.
    // Built once, on first use, and read-only afterwards.
    static const std::unordered_map<std::string, PreTrainedTokenizerClass>& tokenizerClasses();
    static const PreTrainedTokenizerClass& general();
};

struct AutoTokenizer {
    // Never fails: a missing, non-string or unlisted class name gives the
    // general class, whose construction then reports what is wrong.
    static const PreTrainedTokenizerClass& tokenizerClass(const Config& tokenizerConfig);
};

}  // namespace vortil
