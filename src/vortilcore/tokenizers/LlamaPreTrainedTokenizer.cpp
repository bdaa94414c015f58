#include "vortilcore/tokenizers/LlamaPreTrainedTokenizer.hpp"

#include <nlohmann/json.hpp>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/PostProcessor.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

// The SentencePiece word-boundary marker, U+2581.
constexpr std::string_view marker = "\u2581";

bool legacyOf(const Config& tokenizerConfig) {
    return tokenizerConfig.get("legacy").boolean().value_or(true);
}

Config llamaTokenizerData(const Config& tokenizerConfig, const Config& tokenizerData) {
    Config::Dictionary copy;
    if (const Config::Dictionary* d = tokenizerData.dictionaryValue()) copy = *d;
    if (!legacyOf(tokenizerConfig)) {
        copy.erase(BinaryDistinctString("normalizer"));
        copy.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                              Config{{"type", "Metaspace"},
                                     {"replacement", std::string(marker)},
                                     {"add_prefix_space", true},
                                     {"prepend_scheme", "first"}});
    }
    if (auto processor =
            maybeUpdatePostProcessor(tokenizerConfig, tokenizerData.get("postProcessor"))) {
        copy.insert_or_assign(
            BinaryDistinctString("post_processor"),
            processor->dictionaryValue() ? *processor : Config(Config::Dictionary{}));
    }
    return Config(std::move(copy));
}

std::string replacingMarkers(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0;;) {
        size_t hit = text.find(marker, at);
        out.append(text, at, hit == std::string::npos ? std::string::npos : hit - at);
        if (hit == std::string::npos) break;
        out += ' ';
        at = hit + marker.size();
    }
    return out;
}

}  // namespace

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig,
                                               const Config& processorConfig) {
    PostProcessorPtr current = PostProcessorFactory::fromConfig(processorConfig);
    if (dynamic_cast<const TemplateProcessing*>(current.get())) return std::nullopt;

    const bool addBos = tokenizerConfig.get("addBosToken").boolean().value_or(false);
    const std::optional<std::string> bos = addedTokenAsString(tokenizerConfig.get("bosToken"));
    if (addBos && !bos)
        throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    const bool addEos = tokenizerConfig.get("addEosToken").boolean().value_or(false);
    const std::optional<std::string> eos = addedTokenAsString(tokenizerConfig.get("eosToken"));
    if (addEos && !eos)
        throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

    using nlohmann::json;
    auto special = [](const std::string& token, int typeId) {
        return json{{"SpecialToken", {{"id", token}, {"type_id", typeId}}}};
    };
    auto sequence = [](const char* id, int typeId) {
        return json{{"Sequence", {{"id", id}, {"type_id", typeId}}}};
    };
    json single = json::array();
    if (addBos) single.push_back(special(*bos, 0));
    single.push_back(sequence("A", 0));
    if (addEos) single.push_back(special(*eos, 0));
    json pair = single;
    if (addBos) pair.push_back(special(*bos, 1));
    pair.push_back(sequence("B", 1));
    if (addEos) pair.push_back(special(*eos, 1));
    return Config::fromJson(
        json{{"type", "TemplateProcessing"}, {"single", single}, {"pair", pair}},
        Config::JsonSource::configurationFile);
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig,
                                                   const Config& tokenizerData, bool strict)
    : PreTrainedTokenizer(tokenizerConfig, llamaTokenizerData(tokenizerConfig, tokenizerData),
                          strict),
      isLegacy_(legacyOf(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(const std::string& text) const {
    if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
    std::vector<std::string> tokens =
        PreTrainedTokenizer::tokenize(std::string(marker) + replacingMarkers(text));
    if (tokens.size() < 2 || tokens.front() != marker) return tokens;
    // A lone marker in front of a special token is an artefact of the one
    // added above.
    if (specialTokens().count(unicode::nfc(tokens[1]))) tokens.erase(tokens.begin());
    return tokens;
}

}  // namespace vortil
