// The table from tokenizer class name to vocabulary model.

#include <cstdio>
#include <string_view>

#include "vortilcore/tokenizers/BPETokenizer.hpp"
#include "vortilcore/tokenizers/Tokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

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
    // nullptr: a known class whose model this build does not include yet; it
    // is refused as unsupported rather than tokenized with the wrong model.
    ModelFactory factory;
};

constexpr ModelFactory wordPiece = nullptr;  // BertTokenizer
constexpr ModelFactory t5 = nullptr;         // T5Tokenizer
constexpr ModelFactory unigram = nullptr;    // UnigramTokenizer

constexpr Entry models[] = {
    {"BertTokenizer", wordPiece},
    {"CodeGenTokenizer", make<BPETokenizer>},
    {"CodeLlamaTokenizer", make<BPETokenizer>},
    {"CohereTokenizer", make<BPETokenizer>},
    {"DistilbertTokenizer", wordPiece},
    {"DistilBertTokenizer", wordPiece},
    {"FalconTokenizer", make<BPETokenizer>},
    {"GemmaTokenizer", make<BPETokenizer>},
    {"GPT2Tokenizer", make<BPETokenizer>},
    {"LlamaTokenizer", make<BPETokenizer>},
    {"RobertaTokenizer", make<BPETokenizer>},
    {"T5Tokenizer", t5},
    {"TokenizersBackend", make<BPETokenizer>},
    {"PreTrainedTokenizer", make<BPETokenizer>},
    {"Qwen2Tokenizer", make<BPETokenizer>},
    {"WhisperTokenizer", make<BPETokenizer>},
    {"XLMRobertaTokenizer", unigram},
};

std::string removingFast(std::string name) {
    for (size_t at; (at = name.find("Fast")) != std::string::npos;) name.erase(at, 4);
    return name;
}

}  // namespace

std::unique_ptr<TokenizingModel> TokenizerModel::from(const Config& tokenizerConfig,
                                                      const Config& tokenizerData,
                                                      const AddedTokens& addedTokens, bool strict) {
    auto tokenizerClass = tokenizerConfig.get("tokenizerClass").stringValue();
    if (!tokenizerClass) throw TokenizerError::missingTokenizerClassInConfig();
    std::string name = removingFast(*tokenizerClass);
    for (const Entry& e : models) {
        if (e.name != name) continue;
        if (!e.factory) throw TokenizerError::unsupportedTokenizer(name);
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
