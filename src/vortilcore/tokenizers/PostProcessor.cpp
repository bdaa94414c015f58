#include "vortilcore/tokenizers/PostProcessor.hpp"

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

std::vector<Config> requiredItems(const Config& config, std::string_view key) {
    const Config::Array* items = config.get(key).arrayValue();
    if (!items)
        throw TokenizerConfigurationError("Missing `" + std::string(key) +
                                          "` processor configuration");
    return *items;
}

std::pair<uint64_t, std::string> requiredToken(const Config& config, std::string_view key) {
    auto token = config.get(key).token();
    if (!token)
        throw TokenizerConfigurationError("Missing `" + std::string(key) +
                                          "` processor configuration");
    return *token;
}

void append(TokenList& out, const TokenList& tokens) {
    out.insert(out.end(), tokens.begin(), tokens.end());
}

bool startsWithWhiteSpace(const std::string& character) {
    size_t i = 0;
    return !character.empty() && unicode::isWhiteSpace(unicode::nextScalar(character, i));
}

// Leading and trailing whitespace runs shrink to one character each. For a
// token of whitespace only the two runs overlap; one character stays as it
// is and anything longer becomes empty.
std::string trimKeepingOneSpace(const std::string& token) {
    std::vector<std::string> chars = unicode::graphemes(token);
    size_t n = chars.size();
    size_t leading = 0;
    while (leading < n && startsWithWhiteSpace(chars[leading])) ++leading;
    size_t trailing = 0;
    while (trailing < n && startsWithWhiteSpace(chars[n - 1 - trailing])) ++trailing;
    size_t start = leading > 0 ? leading - 1 : 0;
    size_t end = trailing > 0 ? n - trailing + 1 : n;
    std::string out;
    for (size_t i = start; i < end; ++i) out += chars[i];
    return out;
}

// Without leading and trailing tabs and space separators (line breaks stay).
// A token that loses any comes back through UTF-16, so malformed bytes left
// in it read as U+FFFD; one that loses none comes back as it is.
std::string trimSpacesAndTabs(const std::string& token) {
    const std::string_view kept = platform::text::trimmedScalars(token, platform::text::isBlank);
    if (kept.size() == token.size()) return token;
    return unicode::toUtf8(unicode::toUtf16(kept));
}

}  // namespace

PostProcessorPtr PostProcessorFactory::fromConfig(const Config& config) {
    auto type = config.get("type").stringValue();
    if (!type) return nullptr;
    const std::string& t = *type;
    if (t == "TemplateProcessing") return std::make_shared<TemplateProcessing>(config);
    if (t == "ByteLevel") return std::make_shared<ByteLevelPostProcessor>();
    if (t == "RobertaProcessing") return std::make_shared<RobertaProcessing>(config);
    if (t == "BertProcessing") return std::make_shared<BertProcessing>(config);
    if (t == "Sequence") return std::make_shared<SequenceProcessing>(config);
    throw TokenizerConfigurationError("Unsupported PostProcessor type: " + t);
}

TemplateProcessing::TemplateProcessing(const Config& config)
    : single_(requiredItems(config, "single")), pair_(requiredItems(config, "pair")) {}

TokenList TemplateProcessing::postProcess(const TokenList& tokens,
                                          const std::optional<TokenList>& tokensPair,
                                          bool addSpecialTokens) const {
    const std::vector<Config>& items = tokensPair ? pair_ : single_;
    TokenList out;
    for (const Config& item : items) {
        if (auto special = item.get("SpecialToken").get("id").stringValue()) {
            if (addSpecialTokens) out.push_back(*special);
            continue;
        }
        auto sequence = item.get("Sequence").get("id").stringValue();
        if (sequence == "A") {
            append(out, tokens);
        } else if (sequence == "B" && tokensPair) {
            // A "B" item in a template used without a pair has nothing to add.
            append(out, *tokensPair);
        }
    }
    return out;
}

TokenList ByteLevelPostProcessor::postProcess(const TokenList& tokens,
                                              const std::optional<TokenList>&, bool) const {
    return tokens;
}

RobertaProcessing::RobertaProcessing(const Config& config)
    : sep_(requiredToken(config, "sep")),
      cls_(requiredToken(config, "cls")),
      trimOffset_(config.get("trimOffset").boolean().value_or(true)),
      addPrefixSpace_(config.get("addPrefixSpace").boolean().value_or(true)) {}

TokenList RobertaProcessing::postProcess(const TokenList& tokens,
                                         const std::optional<TokenList>& tokensPair, bool) const {
    auto trimmed = [this](const TokenList& list) {
        if (!trimOffset_) return list;
        TokenList out;
        out.reserve(list.size());
        for (const auto& t : list)
            out.push_back(addPrefixSpace_ ? trimKeepingOneSpace(t) : trimSpacesAndTabs(t));
        return out;
    };
    TokenList out{cls_.second};
    append(out, trimmed(tokens));
    out.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        out.push_back(sep_.second);
        append(out, trimmed(*tokensPair));
        out.push_back(sep_.second);
    }
    return out;
}

BertProcessing::BertProcessing(const Config& config)
    : sep_(requiredToken(config, "sep")), cls_(requiredToken(config, "cls")) {}

TokenList BertProcessing::postProcess(const TokenList& tokens,
                                      const std::optional<TokenList>& tokensPair,
                                      bool addSpecialTokens) const {
    TokenList out;
    if (!addSpecialTokens) {
        out = tokens;
        if (tokensPair) append(out, *tokensPair);
        return out;
    }
    out.push_back(cls_.second);
    append(out, tokens);
    out.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        append(out, *tokensPair);
        out.push_back(sep_.second);
    }
    return out;
}

SequenceProcessing::SequenceProcessing(const Config& config) {
    const Config::Array* list = config.get("processors").arrayValue();
    if (!list) throw TokenizerConfigurationError("Missing `processors` configuration");
    for (const Config& item : *list)
        if (auto p = PostProcessorFactory::fromConfig(item)) processors_.push_back(std::move(p));
}

TokenList SequenceProcessing::postProcess(const TokenList& tokens,
                                          const std::optional<TokenList>& tokensPair,
                                          bool addSpecialTokens) const {
    if (processors_.empty()) return tokens;
    TokenList current = (*processors_.front())(tokens, tokensPair, addSpecialTokens);
    for (size_t i = 1; i < processors_.size(); ++i)
        current = (*processors_[i])(current, std::nullopt, addSpecialTokens);
    return current;
}

}  // namespace vortil
