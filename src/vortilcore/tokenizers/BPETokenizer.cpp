#include "vortilcore/tokenizers/BPETokenizer.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <queue>
#include <shared_mutex>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"
#include "vortilcore/tokenizers/PreTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"
#include "vortilcore/tokenizers/Utils.hpp"

namespace vortil {

namespace {

// Merging the same word again always gives the same tokens, and real text
// repeats its words heavily; past this many entries the cache starts over.
constexpr size_t cacheLimit = 100000;

// Words of up to this many symbols are merged by passes (measured faster
// there); longer ones with the heap.
constexpr size_t kPassesUpTo = 64;

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
        std::string part =
            s.substr(start, hit == std::string::npos ? std::string::npos : hit - start);
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
    std::atomic<std::uint64_t> mergeSteps{0};
};

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(
    const Config& config) {
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

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                           const AddedTokens& addedTokens)
    : cache_(std::make_unique<Cache>()) {
    const Config& model = tokenizerData.get("model");
    auto merges = mergesFromConfig(model.get("merges"));
    if (!merges) throw TokenizerConfigurationError("BPETokenizer requires merges");
    const Config::Dictionary* vocab = model.get("vocab").dictionaryValue();
    if (!vocab) throw TokenizerError::missingVocab();

    // A vocabulary that does not fit its merges would load and then map
    // every piece to the unknown id; it is refused here instead.
    tokensToIds_.reserve(vocab->size() + addedTokens.size());
    for (const auto& [token, id] : *vocab) {
        auto n = id.integerValue();
        if (!n || *n < 0 || *n > INT_MAX)
            throw TokenizerError::malformedVocab("the id of \"" + token.string() +
                                                 "\" is not a token id");
        tokensToIds_.insert_or_assign(token.string(), int(*n));
    }
    for (const auto& [content, id] : addedTokens) tokensToIds_.insert_or_assign(content, id);
    idsToTokens_ = Utils::invert(tokensToIds_);

    std::string key;
    bpeRanks_.reserve(merges->size());
    for (size_t i = 0; i < merges->size(); ++i) {
        const auto& symbols = (*merges)[i];
        std::string text;
        for (const auto& s : symbols) text += (text.empty() ? "" : " ") + s;
        if (symbols.size() < 2)
            throw TokenizerConfigurationError("BPETokenizer requires merges of two symbols, got '" +
                                              text + "'");
        for (const std::string& token : {symbols[0], symbols[1], symbols[0] + symbols[1]})
            if (!tokensToIds_.count(token))
                throw TokenizerError::malformedVocab("the merge \"" + text + "\" needs \"" + token +
                                                     "\", which the vocabulary lacks");
        pairKey(key, unicode::nfc(symbols[0]), unicode::nfc(symbols[1]));
        bpeRanks_.insert_or_assign(key, int(i));  // a repeated pair keeps its later rank
    }

    auto idOf = [this](const std::optional<std::string>& token) -> std::optional<int> {
        if (!token) return std::nullopt;
        auto it = tokensToIds_.find(*token);
        return it == tokensToIds_.end() ? std::nullopt : std::optional<int>(it->second);
    };
    unknownToken_ = unknownTokenOf(tokenizerConfig);
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
        for (unsigned char b :
             unicode::toUtf8(std::u16string_view(t).substr(m.begin, m.end - m.begin))) {
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
    // Both give the same symbols; the passes are quicker on words of
    // ordinary length, the heap does not slow down quadratically on long ones.
    std::uint64_t steps = 0;
    const bool longWord = word.size() > kPassesUpTo;
    std::string merged = longWord ? mergeWithHeap(std::move(word), std::move(keys), steps)
                                  : mergeByPasses(std::move(word), std::move(keys), steps);
    // Only long words are counted: threads tokenizing ordinary text at once
    // would otherwise all write to one counter for every word.
    if (longWord) cache_->mergeSteps.fetch_add(steps, std::memory_order_relaxed);
    return merged;
}

std::uint64_t BPETokenizer::mergeSteps() const {
    return cache_->mergeSteps.load(std::memory_order_relaxed);
}

// Finds the lowest-ranked pair, merges all its occurrences in one pass, and
// starts over: a pass per merge rule, over the whole word.
std::string BPETokenizer::mergeByPasses(std::vector<std::string> word,
                                        std::vector<std::string> keys, std::uint64_t& steps) const {
    // ranks[i] is the rank of the pair (i, i+1), or -1. A pass only creates
    // new pairs around the symbols it merged; every other pair keeps its rank.
    constexpr int none = -1;
    std::string scratch;
    std::vector<int> ranks(word.size() - 1);
    for (size_t i = 0; i + 1 < word.size(); ++i)
        ranks[i] = rank(keys[i], keys[i + 1], scratch).value_or(none);

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
        steps += word.size();
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
            nextRanks[k] = unchanged ? ranks[origin[k]]
                                     : rank(nextKeys[k], nextKeys[k + 1], scratch).value_or(none);
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

// The same rule over a linked list of symbols, with the pairs filed by rank
// and a heap of the ranks that have pairs: O(n log n) in the word's length.
std::string BPETokenizer::mergeWithHeap(std::vector<std::string> word,
                                        std::vector<std::string> keys, std::uint64_t& steps) const {
    const uint32_t n = uint32_t(word.size());
    // A merge folds a symbol into its left neighbour, which keeps its place
    // and gets a new version, so pairs filed for its old self go stale.
    constexpr uint32_t end = UINT32_MAX;
    std::vector<uint32_t> prev(n), next(n), version(n, 0);
    for (uint32_t k = 0; k < n; ++k) {
        prev[k] = k == 0 ? end : k - 1;
        next[k] = k + 1 == n ? end : k + 1;
    }
    struct Pair {
        uint32_t left, right, leftVersion, rightVersion;
    };
    std::unordered_map<int, std::vector<Pair>> byRank;
    std::priority_queue<int, std::vector<int>, std::greater<int>> ranks;
    std::string scratch;
    auto file = [&](uint32_t left) {
        if (left == end || next[left] == end) return;
        const uint32_t right = next[left];
        ++steps;
        auto r = rank(keys[left], keys[right], scratch);
        if (!r) return;
        auto& pairs = byRank[*r];
        if (pairs.empty()) ranks.push(*r);
        pairs.push_back({left, right, version[left], version[right]});
    };
    for (uint32_t k = 0; k + 1 < n; ++k) file(k);

    // Each round merges every occurrence of the lowest-ranked pair, left to
    // right, and only then files the pairs those merges made; a merge never
    // makes a pair of its own rank.
    std::vector<uint32_t> merged;
    while (!ranks.empty()) {
        auto node = byRank.extract(ranks.top());
        ranks.pop();
        std::vector<Pair>& pairs = node.mapped();
        steps += 1 + pairs.size();
        std::sort(pairs.begin(), pairs.end(),
                  [](const Pair& x, const Pair& y) { return x.left < y.left; });
        merged.clear();
        for (const Pair& p : pairs) {
            // Stale: one side was merged away or grew since it was filed.
            if (next[p.left] != p.right || version[p.left] != p.leftVersion ||
                version[p.right] != p.rightVersion || prev[p.right] != p.left)
                continue;
            word[p.left] += word[p.right];
            keys[p.left] = unicode::nfc(keys[p.left] + keys[p.right]);
            std::string().swap(word[p.right]);
            ++version[p.left];
            ++version[p.right];
            prev[p.right] = end;  // marks it gone
            next[p.left] = next[p.right];
            if (next[p.right] != end) prev[next[p.right]] = p.left;
            merged.push_back(p.left);
        }
        for (uint32_t m : merged) {
            file(prev[m]);
            file(m);
        }
    }

    std::string out;
    for (uint32_t k = 0; k != end; k = next[k]) {
        if (k > 0) out += ' ';
        out += word[k];
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
