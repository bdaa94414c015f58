#include "vortilcore/tokenizers/BPETokenizer.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"
#include "vortilcore/tokenizers/Utils.hpp"
#include "vortilcore/tokenizers/TokenizerModel.hpp"

namespace vortil {

namespace {

// Merging the same word again always gives the same tokens, and real text
// repeats its words heavily; past this many entries the cache starts over.
constexpr size_t cacheLimit = 100000;

void pairKey(std::string& out, const std::string& a, const std::string& b) {
    // Length-prefixed, so no two different pairs share a key whatever the
    // symbols contain.
    uint32_t n = uint32_t(a.size());
    out.assign(reinterpret_cast<const char*>(&n), sizeof n);
    out += a;
    out += b;
}

std::vector<std::string> splitAtSpaces(const std::string& s, bool keepEmpty) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t hit = s.find(' ', start);
        std::string part = s.substr(start, hit == std::string::npos ? std::string::npos : hit - start);
        if (keepEmpty || !part.empty()) out.push_back(std::move(part));
        if (hit == std::string::npos) break;
        start = hit + 1;
    }
    return out;
}

}  // namespace

struct BPETokenizer::Cache {
    std::shared_mutex mutex;
    std::unordered_map<std::string, std::vector<std::string>> pieces;
};

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const Config& config) {
    const Config::Array* list = config.arrayValue();
    if (!list) return std::nullopt;
    std::vector<std::vector<std::string>> out;
    out.reserve(list->size());
    for (const Config& item : *list) {
        if (auto s = item.stringValue())
            out.push_back(splitAtSpaces(*s, true));
        else if (auto strings = item.getStrings())
            out.push_back(std::move(*strings));
    }
    return out;
}

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens)
    : cache_(std::make_unique<Cache>()) {
    const Config& model = tokenizerData.get("model");
    auto merges = mergesFromConfig(model.get("merges"));
    if (!merges) throw TokenizerConfigurationError("BPETokenizer requires merges");
    const Config::Dictionary* vocab = model.get("vocab").dictionaryValue();
    if (!vocab) throw TokenizerError::missingVocab();

    std::string key;
    bpeRanks_.reserve(merges->size());
    for (size_t i = 0; i < merges->size(); ++i) {
        const auto& symbols = (*merges)[i];
        if (symbols.size() < 2) {
            std::string text;
            for (const auto& s : symbols) text += (text.empty() ? "" : " ") + s;
            throw TokenizerConfigurationError("BPETokenizer requires merges of two symbols, got '" + text + "'");
        }
        pairKey(key, unicode::nfc(symbols[0]), unicode::nfc(symbols[1]));
        bpeRanks_.insert_or_assign(key, int(i));  // a repeated pair keeps its later rank
    }

    tokensToIds_.reserve(vocab->size() + addedTokens.size());
    for (const auto& [token, id] : *vocab)
        if (auto n = id.integerValue()) tokensToIds_.insert_or_assign(token.string(), int(*n));
    for (const auto& [content, id] : addedTokens) tokensToIds_.insert_or_assign(content, id);
    idsToTokens_ = Utils::invert(tokensToIds_);

    auto idOf = [this](const std::optional<std::string>& token) -> std::optional<int> {
        if (!token) return std::nullopt;
        auto it = tokensToIds_.find(*token);
        return it == tokensToIds_.end() ? std::nullopt : std::optional<int>(it->second);
    };
    unknownToken_ = TokenizerModel::unknownToken(tokenizerConfig);
    unknownTokenId_ = idOf(unknownToken_);
    eosToken_ = addedTokenAsString(tokenizerConfig.get("eosToken"));
    eosTokenId_ = idOf(eosToken_);
    bosToken_ = addedTokenAsString(tokenizerConfig.get("bosToken"));
    bosTokenId_ = idOf(bosToken_);
    fuseUnknownTokens_ = tokenizerConfig.get("fuseUnk").boolean().value_or(false);
}

BPETokenizer::~BPETokenizer() = default;

std::optional<int> BPETokenizer::convertTokenToId(const std::string& token) const {
    auto it = tokensToIds_.find(token);
    if (it != tokensToIds_.end()) return it->second;
    return unknownTokenId_;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
    auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> BPETokenizer::byteEncode(const std::string& text) const {
    std::vector<std::string> out;
    out.reserve(text.size());
    for (unsigned char b : text) out.push_back(byteEncoder()[b]);
    return out;
}

std::vector<std::string> BPETokenizer::hexaEncode(const std::string& text) const {
    std::vector<std::string> out;
    std::u16string t = unicode::toUtf16(text);
    for (const auto& m : byteLevelPattern().successiveMatches(t)) {
        for (unsigned char b : unicode::toUtf8(std::u16string_view(t).substr(m.begin, m.end - m.begin))) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<0x%02X>", unsigned(b));
            out.emplace_back(buf);
        }
    }
    return out;
}

std::optional<int> BPETokenizer::rank(const std::string& firstKey, const std::string& secondKey,
                                      std::string& scratch) const {
    pairKey(scratch, firstKey, secondKey);
    auto it = bpeRanks_.find(scratch);
    if (it == bpeRanks_.end()) return std::nullopt;
    return it->second;
}

std::string BPETokenizer::bpe(const std::string& token) const {
    std::vector<std::string> word = unicode::graphemes(std::string_view(token));
    if (word.size() <= 1) return token;
    // Symbols compare by canonical equivalence, so each carries its NFC form.
    std::vector<std::string> keys;
    keys.reserve(word.size());
    for (const auto& s : word) keys.push_back(unicode::nfc(s));

    // ranks[i] is the rank of the pair (i, i+1), or -1. A pass only creates
    // new pairs around the symbols it merged; every other pair keeps its rank.
    constexpr int none = -1;
    std::string scratch;
    std::vector<int> ranks(word.size() - 1);
    for (size_t i = 0; i + 1 < word.size(); ++i) ranks[i] = rank(keys[i], keys[i + 1], scratch).value_or(none);

    std::vector<std::string> nextWord, nextKeys;
    std::vector<int> nextRanks;
    std::vector<size_t> origin;  // per new symbol: its old index, or SIZE_MAX when merged
    while (word.size() > 1) {
        int best = INT_MAX;
        size_t bestAt = 0;
        for (size_t i = 0; i < ranks.size(); ++i)
            if (ranks[i] != none && ranks[i] < best) {
                best = ranks[i];
                bestAt = i;
            }
        if (best == INT_MAX) break;
        const std::string first = keys[bestAt];
        const std::string second = keys[bestAt + 1];

        // Merge every occurrence of the pair in one left-to-right pass.
        nextWord.clear();
        nextKeys.clear();
        origin.clear();
        size_t i = 0;
        while (i < word.size()) {
            size_t j = i;
            while (j < word.size() && keys[j] != first) ++j;
            for (size_t k = i; k < j; ++k) {
                nextWord.push_back(std::move(word[k]));
                nextKeys.push_back(std::move(keys[k]));
                origin.push_back(k);
            }
            if (j == word.size()) break;
            if (j + 1 < word.size() && keys[j + 1] == second) {
                nextWord.push_back(word[j] + word[j + 1]);
                nextKeys.push_back(unicode::nfc(keys[j] + keys[j + 1]));
                origin.push_back(SIZE_MAX);
                i = j + 2;
            } else {
                nextWord.push_back(std::move(word[j]));
                nextKeys.push_back(std::move(keys[j]));
                origin.push_back(j);
                i = j + 1;
            }
        }
        nextRanks.assign(nextWord.size() > 0 ? nextWord.size() - 1 : 0, none);
        for (size_t k = 0; k + 1 < nextWord.size(); ++k) {
            bool unchanged = origin[k] != SIZE_MAX && origin[k + 1] == origin[k] + 1;
            nextRanks[k] = unchanged ? ranks[origin[k]] : rank(nextKeys[k], nextKeys[k + 1], scratch).value_or(none);
        }
        word.swap(nextWord);
        keys.swap(nextKeys);
        ranks.swap(nextRanks);
    }

    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        if (i > 0) out += ' ';
        out += word[i];
    }
    return out;
}

std::vector<std::string> BPETokenizer::tokenizeUncached(const std::string& text) const {
    std::vector<std::string> out;
    for (auto& part : splitAtSpaces(bpe(text), false)) {
        auto it = tokensToIds_.find(part);
        if (it != tokensToIds_.end() && (!unknownTokenId_ || it->second != *unknownTokenId_)) {
            out.push_back(std::move(part));
        } else {
            auto bytes = hexaEncode(part);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
    }
    return out;
}

std::vector<std::string> BPETokenizer::tokenize(const std::string& text) const {
    {
        std::shared_lock lock(cache_->mutex);
        auto it = cache_->pieces.find(text);
        if (it != cache_->pieces.end()) return it->second;
    }
    std::vector<std::string> tokens = tokenizeUncached(text);
    std::unique_lock lock(cache_->mutex);
    if (cache_->pieces.size() >= cacheLimit) cache_->pieces.clear();
    cache_->pieces.emplace(text, tokens);
    return tokens;
}

}  // namespace vortil
