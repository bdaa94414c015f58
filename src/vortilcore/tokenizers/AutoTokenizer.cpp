#include "vortilcore/tokenizers/AutoTokenizer.hpp"

#include "vortilcore/tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/Utils.hpp"

namespace vortil {

namespace {

template <typename T>
std::unique_ptr<PreTrainedTokenizer> make(const Config& tokenizerConfig,
                                          const Config& tokenizerData, bool strict) {
    return std::make_unique<T>(tokenizerConfig, tokenizerData, strict);
}

}  // namespace

const std::unordered_map<std::string, PreTrainedTokenizerClass>&
PreTrainedTokenizerClasses::tokenizerClasses() {
    static const std::unordered_map<std::string, PreTrainedTokenizerClass> classes{
        {"LlamaTokenizer", {"LlamaPreTrainedTokenizer", make<LlamaPreTrainedTokenizer>}},
    };
    return classes;
}

const PreTrainedTokenizerClass& PreTrainedTokenizerClasses::general() {
    static const PreTrainedTokenizerClass general{"PreTrainedTokenizer", make<PreTrainedTokenizer>};
    return general;
}

const PreTrainedTokenizerClass& AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
    auto name = tokenizerConfig.get("tokenizerClass").stringValue();
    if (!name) return PreTrainedTokenizerClasses::general();
    const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
    auto it = classes.find(Utils::removingFast(*name));
    return it == classes.end() ? PreTrainedTokenizerClasses::general() : it->second;
}

}  // namespace vortil
