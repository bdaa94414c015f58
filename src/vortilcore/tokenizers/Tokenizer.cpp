#include "vortilcore/tokenizers/Tokenizer.hpp"

namespace vortil {

std::vector<std::optional<int>> Tokenizer::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
    std::vector<std::optional<int>> out;
    out.reserve(tokens.size());
    for (const auto& t : tokens) out.push_back(convertTokenToId(t));
    return out;
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(
    const std::vector<int>& ids) const {
    std::vector<std::optional<std::string>> out;
    out.reserve(ids.size());
    for (int id : ids) out.push_back(convertIdToToken(id));
    return out;
}

std::vector<std::optional<int>> TokenizingModel::convertTokensToIds(
    const std::vector<std::string>& tokens) const {
    std::vector<std::optional<int>> out;
    out.reserve(tokens.size());
    for (const auto& t : tokens) out.push_back(convertTokenToId(t));
    return out;
}

std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(
    const std::vector<int>& ids) const {
    std::vector<std::optional<std::string>> out;
    out.reserve(ids.size());
    for (int id : ids) out.push_back(convertIdToToken(id));
    return out;
}

std::optional<std::string> unknownTokenOf(const Config& tokenizerConfig) {
    const Config& unk = tokenizerConfig.get("unkToken");
    if (auto content = unk.get("content").stringValue()) return content;
    return unk.stringValue();
}

std::optional<std::string> addedTokenAsString(const Config* value) {
    if (!value) return std::nullopt;
    if (auto s = value->stringValue()) return s;
    return value->get("content").stringValue();
}

}  // namespace vortil
