#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"

#include <algorithm>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/StringSplitting.hpp"
#include "vortilcore/tokenizers/TokenizerModel.hpp"

namespace vortil {

namespace {

struct AddedTokenPattern {
    std::string content;
    bool lstrip = false;
    bool rstrip = false;
    size_t length = 0;  // characters (grapheme clusters)
};

// One alternative per added token, longest first so that a token containing
// another one wins; "\s*" on a side lets the match swallow the whitespace
// there, and the token's capture group tells the split what to keep. A token
// without such whitespace is the whole match, so its group is left
// non-capturing: every capture group enlarges each backtracking frame of the
// regex engine, and with the 1608 Whisper tokens a capturing alternation costs
// milliseconds at every "<" of the text.
std::optional<Regex> addedTokensPattern(const Config::Array* list) {
    std::vector<AddedTokenPattern> tokens;
    if (list) {
        for (const Config& item : *list) {
            if (!item.dictionaryValue()) continue;
            auto content = item.get("content").stringValue();
            if (!content) continue;
            tokens.push_back({*content, item.get("lstrip").boolean().value_or(false),
                              item.get("rstrip").boolean().value_or(false),
                              unicode::graphemeCount(*content)});
        }
    }
    std::stable_sort(
        tokens.begin(), tokens.end(),
        [](const AddedTokenPattern& a, const AddedTokenPattern& b) { return a.length > b.length; });
    std::string pattern;
    for (const auto& t : tokens) {
        if (!pattern.empty()) pattern += '|';
        if (t.lstrip) pattern += "\\s*";
        pattern += (t.lstrip || t.rstrip ? "(" : "(?:") + Regex::escapedPattern(t.content) + ')';
        if (t.rstrip) pattern += "\\s*";
    }
    // With no added tokens the whole text is one section.
    if (pattern.empty()) return std::nullopt;
    return Regex::tryCompile(pattern);
}

std::string replaceAll(std::string text, std::string_view target, std::string_view replacement) {
    for (size_t at = 0; (at = text.find(target, at)) != std::string::npos; at += replacement.size())
        text.replace(at, target.size(), replacement);
    return text;
}

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                         bool strict) {
    AddedTokens addedTokenIds;
    const Config::Array* addedList = tokenizerData.get("addedTokens").arrayValue();
    if (addedList) {
        for (const Config& item : *addedList) {
            auto id = item.get("id").integerValue();
            auto content = item.get("content").stringValue();
            if (!id || !content) continue;
            addedTokenIds.insert_or_assign(*content, int(*id));
            if (item.get("special").boolean().value_or(false))
                specialTokens_.insert_or_assign(unicode::nfc(*content), int(*id));
        }
    }
    addedTokensRegex_ = addedTokensPattern(addedList);

    std::unordered_set<std::string> addedContents;
    for (const auto& [content, id] : addedTokenIds) addedContents.insert(content);
    preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData.get("preTokenizer"));
    normalizer_ = NormalizerFactory::fromConfig(tokenizerData.get("normalizer"));
    postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData.get("postProcessor"));
    decoder_ = DecoderFactory::fromConfig(tokenizerData.get("decoder"), addedContents);

    cleanUpTokenizationSpaces_ =
        tokenizerConfig.get("cleanUpTokenizationSpaces").boolean().value_or(true);
    tokenizerConfig_ = tokenizerConfig;
    for (const auto& content : addedContents) addedTokens_.insert(unicode::nfc(content));
    for (const auto& [content, id] : specialTokens_) specialTokenIds_.insert(id);

    model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokenIds, strict);
}

PreTrainedTokenizer::~PreTrainedTokenizer() = default;

bool PreTrainedTokenizer::isAddedToken(const std::string& text) const {
    return addedTokens_.count(unicode::nfc(text)) > 0;
}

std::vector<std::string> PreTrainedTokenizer::preTokenize(const std::string& text,
                                                          PreTokenizerOptions options) const {
    if (!preTokenizer_) return {text};
    return (*preTokenizer_)(text, options);
}

std::string PreTrainedTokenizer::normalize(const std::string& text) const {
    if (!normalizer_) return text;
    return (*normalizer_)(text);
}

std::vector<std::string> PreTrainedTokenizer::postProcess(const std::vector<std::string>& tokens,
                                                          bool addSpecialTokens) const {
    if (!postProcessor_) return tokens;
    return (*postProcessor_)(tokens, std::nullopt, addSpecialTokens);
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(
    const std::vector<std::string>& tokens) const {
    if (!decoder_) return tokens;
    return (*decoder_)(tokens);
}

std::string PreTrainedTokenizer::cleanUp(const std::string& text) const {
    if (!cleanUpTokenizationSpaces_) return text;
    static constexpr std::pair<std::string_view, std::string_view> replacements[] = {
        {" .", "."},     {" ?", "?"},   {" !", "!"},   {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
    };
    std::string out = text;
    for (const auto& [target, replacement] : replacements)
        out = replaceAll(std::move(out), target, replacement);
    return out;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(
    const std::vector<std::string>& tokens) const {
    if (!fuseUnknownTokens()) return tokens;
    const std::optional<int> unknownId = model_->unknownTokenId();
    std::vector<std::string> out;
    out.reserve(tokens.size());
    bool previousUnknown = false;
    for (const auto& token : tokens) {
        // A token without an id counts as unknown when the model has no unknown id.
        bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!unknown || !previousUnknown) out.push_back(token);
        previousUnknown = unknown;
    }
    return out;
}

std::vector<std::string> PreTrainedTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> sections =
        addedTokensRegex_ ? split(text, *addedTokensRegex_) : std::vector{text};
    std::vector<std::string> out;
    for (size_t i = 0; i < sections.size(); ++i) {
        const std::string& section = sections[i];
        if (isAddedToken(section)) {
            out.push_back(section);
            continue;
        }
        PreTokenizerOptions options;
        options.firstSection = i == 0;
        std::vector<std::string> tokens;
        for (const auto& piece : preTokenize(normalize(section), options))
            for (auto& token : (*model_)(piece)) tokens.push_back(std::move(token));
        for (auto& token : fuseUnknown(tokens)) out.push_back(std::move(token));
    }
    return out;
}

std::vector<int> PreTrainedTokenizer::encode(const std::string& text, bool addSpecialTokens) const {
    std::vector<std::string> tokens = tokenize(text);
    if (postProcessor_) tokens = postProcess(tokens, addSpecialTokens);
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (const auto& token : tokens) {
        if (auto id = model_->convertTokenToId(token))
            ids.push_back(*id);
        else
            Logging::debug("Token without an id left out of the encoding:", token);
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int>& tokens,
                                        bool skipSpecialTokens) const {
    std::vector<std::string> strings;
    strings.reserve(tokens.size());
    for (int id : tokens) {
        if (skipSpecialTokens && specialTokenIds_.count(id)) continue;
        if (auto token = model_->convertIdToToken(id)) strings.push_back(std::move(*token));
    }
    if (decoder_) strings = decodeTokens(strings);
    std::string text;
    for (const auto& s : strings) text += s;
    return cleanUp(text);
}

std::optional<int> PreTrainedTokenizer::convertTokenToId(const std::string& token) const {
    return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int id) const {
    return model_->convertIdToToken(id);
}

}  // namespace vortil
