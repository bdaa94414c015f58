#include "vortilcore/tokenizers/BertTokenizer.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <iterator>

#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/StringSplitting.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

// The Unicode punctuation categories, plus the ASCII symbols ($, +, <, ^, `,
// | and the like) that BERT vocabularies also treat as punctuation.
bool isPunctuation(char32_t c) {
    return u_ispunct(UChar32(c)) || (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) ||
           (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// Accents and other nonspacing marks removed; case is left alone.
std::string foldingDiacritics(const std::string& text) {
    std::string decomposed = unicode::normalized(text, unicode::NormalizationForm::nfd);
    std::string out;
    out.reserve(decomposed.size());
    for (size_t i = 0; i < decomposed.size();) {
        size_t start = i;
        char32_t c = unicode::nextScalar(decomposed, i);
        if (u_charType(UChar32(c)) != U_NON_SPACING_MARK) out.append(decomposed, start, i - start);
    }
    return unicode::nfc(out);
}

std::vector<std::string> splitAtWordSeparators(const std::string& text) {
    std::vector<std::string> out;
    size_t pieceStart = 0;
    for (size_t i = 0; i < text.size();) {
        size_t at = i;
        // Blank only: a line break stays inside the word around it.
        if (platform::text::isBlank(unicode::nextScalar(text, i))) {
            out.push_back(text.substr(pieceStart, at - pieceStart));
            pieceStart = i;
        }
    }
    out.push_back(text.substr(pieceStart));
    return out;
}

}  // namespace

BasicTokenizer::BasicTokenizer(bool doLowerCase)
    : doLowerCase_(doLowerCase), neverSplit_{"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"} {}

std::vector<std::string> BasicTokenizer::tokenize(const std::string& text) const {
    // Converting text that arrives malformed keeps every later step on valid UTF-8.
    const std::string valid = unicode::toUtf8(unicode::toUtf16(text));
    std::vector<std::string> out;
    for (const std::string& piece :
         splitAtWordSeparators(doLowerCase_ ? foldingDiacritics(valid) : valid)) {
        if (piece.empty()) continue;
        if (std::find(neverSplit_.begin(), neverSplit_.end(), piece) != neverSplit_.end()) {
            out.push_back(piece);
            continue;
        }
        std::string word;
        for (auto& character :
             unicode::graphemes(doLowerCase_ ? unicode::lowercased(piece) : piece)) {
            if (isPunctuation(platform::text::firstScalar(character))) {
                if (!word.empty()) out.push_back(std::move(word));
                word.clear();
                out.push_back(std::move(character));
            } else {
                word += character;
            }
        }
        if (!word.empty()) out.push_back(std::move(word));
    }
    return out;
}

WordpieceTokenizer::WordpieceTokenizer(std::string unkToken, int maxInputCharsPerWord,
                                       std::shared_ptr<const CanonicalVocab> vocab)
    : unkToken_(std::move(unkToken)),
      maxInputCharsPerWord_(maxInputCharsPerWord),
      vocab_(std::move(vocab)) {}

std::vector<std::string> WordpieceTokenizer::tokenize(const std::string& word) const {
    const std::vector<size_t> bounds = unicode::graphemeBoundaries(std::string_view(word));
    const size_t count = bounds.size() - 1;
    if (count > size_t(maxInputCharsPerWord_)) return {unkToken_};

    std::vector<std::string> out;
    size_t start = 0;
    while (start < count) {
        bool found = false;
        size_t end = count;
        for (; end > start; --end) {
            std::string candidate = word.substr(bounds[start], bounds[end] - bounds[start]);
            if (start > 0) candidate.insert(0, "##");
            if (vocab_->count(unicode::nfc(candidate))) {
                out.push_back(std::move(candidate));
                found = true;
                break;
            }
        }
        if (!found) return {unkToken_};
        start = end;
    }
    return out;
}

std::shared_ptr<const CanonicalVocab> BertTokenizer::buildVocab(
    const Config& tokenizerData, const AddedTokens& addedTokens,
    std::unordered_map<int, std::string>& idsToTokens) {
    const Config::Dictionary* entries = tokenizerData.get("model").get("vocab").dictionaryValue();
    if (!entries) throw TokenizerError::missingVocab();

    auto vocab = std::make_shared<CanonicalVocab>();
    vocab->reserve(entries->size() + addedTokens.size());
    // The first spelling met for a token is the one converting ids back gives.
    std::unordered_map<std::string, std::string> spellings;
    auto put = [&](CanonicalVocab& into, const std::string& token, int id) {
        std::string key = unicode::nfc(token);
        spellings.emplace(key, token);
        into.insert_or_assign(std::move(key), id);
    };

    for (const auto& [token, id] : *entries)
        if (auto n = id.integerValue()) put(*vocab, token.string(), int(*n));

    if (const Config::Array* added = tokenizerData.get("addedTokens").arrayValue()) {
        CanonicalVocab fromData;
        for (const Config& item : *added) {
            auto id = item.get("id").integerValue();
            auto content = item.get("content").stringValue();
            if (id && content && item.dictionaryValue()) put(fromData, *content, int(*id));
        }
        for (auto& [key, id] : fromData) vocab->insert_or_assign(key, id);
    }
    for (const auto& [content, id] : addedTokens) put(*vocab, content, id);

    for (const auto& [key, id] : *vocab) idsToTokens.insert_or_assign(id, spellings.at(key));
    return vocab;
}

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                             const AddedTokens& addedTokens)
    : vocab_(buildVocab(tokenizerData, addedTokens, idsToTokens_)),
      basicTokenizer_(tokenizerConfig.get("doLowerCase").boolean().value_or(true)),
      wordpieceTokenizer_("[UNK]", 100, vocab_),
      tokenizeChineseChars_(tokenizerConfig.get("handleChineseChars").boolean().value_or(true)),
      bosToken_(tokenizerConfig.get("bosToken").stringValue()),
      eosToken_(tokenizerConfig.get("eosToken").stringValue()),
      fuseUnknownTokens_(tokenizerConfig.get("fuseUnk").boolean().value_or(false)) {
    if (bosToken_) bosTokenId_ = idOf(*bosToken_);
    if (eosToken_) eosTokenId_ = idOf(*eosToken_);
}

std::optional<int> BertTokenizer::idOf(const std::string& token) const {
    auto it = vocab_->find(unicode::nfc(token));
    if (it == vocab_->end()) return std::nullopt;
    return it->second;
}

std::optional<int> BertTokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = idOf(token)) return id;
    return unknownTokenId();
}

std::optional<std::string> BertTokenizer::convertIdToToken(int id) const {
    auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

std::string BertTokenizer::tokenizeChineseCharsIfNeed(const std::string& text) const {
    return spacingChineseCharacters(text);
}

std::vector<std::string> BertTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> out;
    for (const auto& word : basicTokenizer_.tokenize(
             tokenizeChineseChars_ ? tokenizeChineseCharsIfNeed(text) : text)) {
        auto pieces = wordpieceTokenizer_.tokenize(word);
        out.insert(out.end(), std::make_move_iterator(pieces.begin()),
                   std::make_move_iterator(pieces.end()));
    }
    return out;
}

}  // namespace vortil
