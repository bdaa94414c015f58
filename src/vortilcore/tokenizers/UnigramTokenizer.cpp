#include "vortilcore/tokenizers/UnigramTokenizer.hpp"

#include <algorithm>
#include <climits>

#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/TokenLattice.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

// The text as characters, each in its composed form.
std::vector<std::string> canonicalCharacters(std::string_view text) {
    std::vector<std::string> out = unicode::graphemes(text);
    for (auto& c : out) c = unicode::nfc(c);
    return out;
}

std::string joined(std::span<const std::string> characters) {
    std::string out;
    for (const auto& c : characters) out += c;
    return out;
}

UnigramTokenizer::SentencePieceToken pieceFrom(const Config& entry) {
    const Config::Array* fields = entry.arrayValue();
    if (!fields || fields->empty()) throw TokenizerError::malformedVocab();
    auto text = fields->front().stringValue();
    if (!text) throw TokenizerError::malformedVocab();
    const Config& last = fields->back();
    if (auto n = last.integerValue()) return {std::move(*text), float(*n)};
    if (auto f = last.floatValue()) return {std::move(*text), *f};
    throw TokenizerError::malformedVocab();
}

}  // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                   const AddedTokens&) {
    const Config& model = tokenizerData.get("model");
    const Config::Array* entries = model.get("vocab").arrayValue();
    if (!entries) throw TokenizerError::missingVocab();
    if (entries->size() > size_t(INT_MAX)) throw TokenizerError::malformedVocab();

    vocab_.reserve(entries->size());
    for (const Config& entry : *entries) vocab_.push_back(pieceFrom(entry));
    for (const auto& piece : vocab_) minScore_ = std::min(minScore_, piece.score);

    auto unkId = model.get("unkId").integerValue();
    if (!unkId || *unkId < 0 || size_t(*unkId) >= vocab_.size())
        throw TokenizerError::malformedVocab();
    unknownTokenId_ = int(*unkId);
    unknownPiece_ = {vocab_[size_t(*unkId)].token, minScore_ - 10};

    tokensToIds_.reserve(vocab_.size());
    canonicalToIds_.reserve(vocab_.size());
    for (size_t id = 0; id < vocab_.size(); ++id) {
        // A piece listed twice would leave one of its ids unreachable.
        if (!tokensToIds_.emplace(vocab_[id].token, int(id)).second)
            throw TokenizerError::malformedVocab();
        std::vector<std::string> characters = canonicalCharacters(vocab_[id].token);
        canonicalToIds_.emplace(joined(characters), int(id));
        trie_.insert(characters);
    }

    bosTokenId_ = idOf(" ");
    eosToken_ = tokenizerConfig.get("eosToken").stringValue();
    if (eosToken_) eosTokenId_ = idOf(*eosToken_);
}

std::optional<int> UnigramTokenizer::idOf(std::string_view token) const {
    auto it = tokensToIds_.find(token);
    if (it == tokensToIds_.end()) return std::nullopt;
    return it->second;
}

std::optional<int> UnigramTokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = idOf(token)) return id;
    return unknownTokenId_;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int id) const {
    if (id < 0 || size_t(id) >= vocab_.size()) return std::nullopt;
    return vocab_[size_t(id)].token;
}

std::vector<std::string> UnigramTokenizer::tokenize(const std::string& input) const {
    // Converting text that arrives malformed keeps offsets and pieces on valid UTF-8.
    const std::string text = unicode::toUtf8(unicode::toUtf16(input));
    TokenLattice lattice(text, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    const std::vector<size_t>& bounds = lattice.characterBoundaries();
    const int n = lattice.characterCount();
    std::vector<std::string> characters;
    characters.reserve(size_t(n));
    for (int i = 0; i < n; ++i)
        characters.push_back(unicode::nfc(std::string_view(text).substr(
            bounds[size_t(i)], bounds[size_t(i) + 1] - bounds[size_t(i)])));

    const std::span<const std::string> all(characters);
    for (int begin = 0; begin < n; ++begin) {
        bool hasSingleCharacter = false;
        auto search = trie_.commonPrefixSearchIterator(all.subspan(size_t(begin)));
        while (auto length = search.nextLength()) {
            size_t from = bounds[size_t(begin)];
            auto id =
                idOf(std::string_view(text).substr(from, bounds[size_t(begin) + *length] - from));
            if (!id) {
                // The text spells the piece differently from the vocabulary.
                auto it = canonicalToIds_.find(joined(all.subspan(size_t(begin), *length)));
                if (it == canonicalToIds_.end()) continue;
                id = it->second;
            }
            lattice.insert(begin, int(*length), vocab_[size_t(*id)].score, *id);
            if (*length == 1) hasSingleCharacter = true;
        }
        if (!hasSingleCharacter)
            lattice.insert(begin, 1, unknownPiece_.score, unknownTokenId_.value_or(0));
    }

    std::vector<std::string> out;
    for (const auto& node : lattice.viterbi()) {
        std::string piece = lattice.piece(*node);
        // A piece found through a different spelling comes back as the
        // vocabulary writes it, so that it converts to the id it was scored as.
        if (!idOf(piece) && node->tokenId >= 0 && size_t(node->tokenId) < vocab_.size()) {
            const std::string& written = vocab_[size_t(node->tokenId)].token;
            auto it = canonicalToIds_.find(joined(canonicalCharacters(piece)));
            if (it != canonicalToIds_.end() && it->second == node->tokenId) piece = written;
        }
        out.push_back(std::move(piece));
    }
    return out;
}

}  // namespace vortil
