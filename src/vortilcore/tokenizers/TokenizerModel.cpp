// The table from tokenizer class name to vocabulary model.

#include "vortilcore/tokenizers/TokenizerModel.hpp"

#include <cstdio>
#include <string_view>

#include "vortilcore/tokenizers/BPETokenizer.hpp"
#include "vortilcore/tokenizers/BertTokenizer.hpp"
#include "vortilcore/tokenizers/T5Tokenizer.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"
#include "vortilcore/tokenizers/UnigramTokenizer.hpp"
#include "vortilcore/tokenizers/Utils.hpp"

namespace vortil {

namespace {

using ModelFactory = std::unique_ptr<TokenizingModel> (*)(const Config&, const Config&,
                                                          const AddedTokens&);

template <class Model>
std::unique_ptr<TokenizingModel> make(const Config& config, const Config& data,
                                      const AddedTokens& added) {
    return std::make_unique<Model>(config, data, added);
}

struct Entry {
    std::string_view name;
    ModelFactory factory;
};

constexpr Entry models[] = {
    {"BertTokenizer", make<BertTokenizer>},          {"CodeGenTokenizer", make<BPETokenizer>},
    {"CodeLlamaTokenizer", make<BPETokenizer>},      {"CohereTokenizer", make<BPETokenizer>},
    {"DistilbertTokenizer", make<BertTokenizer>},    {"DistilBertTokenizer", make<BertTokenizer>},
    {"FalconTokenizer", make<BPETokenizer>},         {"GemmaTokenizer", make<BPETokenizer>},
    {"GPT2Tokenizer", make<BPETokenizer>},           {"LlamaTokenizer", make<BPETokenizer>},
    {"RobertaTokenizer", make<BPETokenizer>},        {"T5Tokenizer", make<T5Tokenizer>},
    {"TokenizersBackend", make<BPETokenizer>},       {"PreTrainedTokenizer", make<BPETokenizer>},
    {"Qwen2Tokenizer", make<BPETokenizer>},          {"WhisperTokenizer", make<BPETokenizer>},
    {"XLMRobertaTokenizer", make<UnigramTokenizer>},
};

}  // namespace

std::optional<std::string> TokenizerModel::unknownToken(const Config& tokenizerConfig) {
    return unknownTokenOf(tokenizerConfig);
}

std::unique_ptr<TokenizingModel> TokenizerModel::from(const Config& tokenizerConfig,
                                                      const Config& tokenizerData,
                                                      const AddedTokens& addedTokens, bool strict) {
    auto tokenizerClass = tokenizerConfig.get("tokenizerClass").stringValue();
    if (!tokenizerClass) throw TokenizerError::missingTokenizerClassInConfig();
    std::string name = Utils::removingFast(*tokenizerClass);
    for (const Entry& e : models) {
        if (e.name != name) continue;
        return e.factory(tokenizerConfig, tokenizerData, addedTokens);
    }
    if (strict) throw TokenizerError::unsupportedTokenizer(name);
    std::printf(
        "Warning: Tokenizer model class %s is not registered, falling back to a standard BPE "
        "implementation.\n",
        name.c_str());
    std::fflush(stdout);
    return make<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
}

}  // namespace vortil
