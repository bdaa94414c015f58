#include "auralith/core/WhisperTokenizerWrapper.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <limits>
#include <stdexcept>

#include "auralith/core/Constants.hpp"
#include "auralith/utilities/LanguageRecognizer.hpp"

namespace auralith {

namespace {

constexpr UChar32 kReplacementCharacter = 0xFFFD;

// Ids beyond the tokenizer's range are no token of it; -1 is never one either,
// so the tokenizer leaves them out as it does any unknown id.
std::vector<int> toTokenizerIds(const std::vector<std::int64_t>& tokens) {
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (auto t : tokens)
        ids.push_back(t < 0 || t > std::numeric_limits<int>::max() ? -1 : static_cast<int>(t));
    return ids;
}

// The text's code points; bytes that are not UTF-8 count as replacement characters,
// as the tokenizer's own decoding would have made them.
std::vector<UChar32> codePoints(const std::string& text) {
    std::vector<UChar32> out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        out.push_back(c < 0 ? kReplacementCharacter : c);
    }
    return out;
}

// Languages whose words are not separated by blanks.
bool splitsPerCharacter(const std::optional<std::string>& code) {
    if (!code) return false;
    for (const char* c : {"zh", "ja", "th", "lo", "my", "yue"})
        if (*code == c) return true;
    return false;
}

bool isLonePunctuation(const std::string& subword) {
    const auto begin = subword.find_first_not_of(" \t");
    if (begin == std::string::npos) return false;
    const auto end = subword.find_last_not_of(" \t");
    const auto scalars = codePoints(subword.substr(begin, end - begin + 1));
    return scalars.size() == 1 && u_ispunct(scalars[0]);
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(
    vortil::TokenizerWrapper tokenizer, std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
    if (!tokenizer_.impl) throw std::invalid_argument("WhisperTokenizerWrapper: no tokenizer");
    auto id = [this](const char* token, std::int64_t fallback) {
        return vocabularyId(token).value_or(fallback);
    };
    specialTokens_ = SpecialTokens{
        .endToken = id("<|endoftext|>", 50257),
        .englishToken = id("<|en|>", 50259),
        .noSpeechToken = id("<|nospeech|>", 50362),
        .noTimestampsToken = id("<|notimestamps|>", 50363),
        .specialTokenBegin = id("<|endoftext|>", 50257),
        .startOfPreviousToken = id("<|startofprev|>", 50361),
        .startOfTranscriptToken = id("<|startoftranscript|>", 50258),
        .timeTokenBegin = id("<|0.00|>", 50364),
        .transcribeToken = id("<|transcribe|>", 50359),
        .translateToken = id("<|translate|>", 50358),
        .whitespaceToken = id(" ", 220),
    };
    for (const auto& [name, code] : Constants::languages()) {
        const auto token = vocabularyId("<|" + code + "|>");
        if (token && *token > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*token);
    }
}

std::optional<std::int64_t> WhisperTokenizerWrapper::vocabularyId(const std::string& token) const {
    // The tokenizer may answer with its unknown token's id; only an id that
    // stands for this very token counts.
    const auto id = tokenizer_.convertTokenToId(token);
    if (!id || tokenizer_.convertIdToToken(*id) != token) return std::nullopt;
    return *id;
}

std::vector<std::int64_t> WhisperTokenizerWrapper::encode(const std::string& text) const {
    const auto ids = tokenizer_.encode(text);
    return {ids.begin(), ids.end()};
}

std::string WhisperTokenizerWrapper::decode(const std::vector<std::int64_t>& tokens) const {
    return tokenizer_.decode(toTokenizerIds(tokens));
}

std::optional<std::int64_t> WhisperTokenizerWrapper::convertTokenToId(
    const std::string& token) const {
    return tokenizer_.convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(std::int64_t id) const {
    if (id < 0 || id > std::numeric_limits<int>::max()) return std::nullopt;
    return tokenizer_.convertIdToToken(static_cast<int>(id));
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(
    const std::vector<std::int64_t>& tokenIds) const {
    std::vector<std::int64_t> textTokens;
    for (auto t : tokenIds)
        if (t < specialTokens_.specialTokenBegin) textTokens.push_back(t);
    const auto language = LanguageRecognizer::dominantLanguageCode(decode(textTokens));
    return splitsPerCharacter(language) ? splitTokensOnUnicode(tokenIds)
                                        : splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(
    const std::vector<std::int64_t>& tokens) const {
    const auto full = codePoints(decode(tokens));
    WordTokens result;
    std::vector<std::int64_t> group;
    // Where the open group starts in the full text, in code points. A group's
    // replacement character is genuine when the full text has one at the same
    // place; otherwise it is half a character that later tokens complete.
    // A sequence cut inside a character decodes to a replacement character
    // at its very end as well; one there is taken for such a cut, and its
    // tokens are dropped with the unfinished group.
    std::size_t offset = 0;
    for (auto token : tokens) {
        group.push_back(token);
        const auto text = decode(group);
        const auto scalars = codePoints(text);
        bool complete = true;
        for (std::size_t i = 0; i < scalars.size(); ++i) {
            if (scalars[i] != kReplacementCharacter) continue;
            const auto at = offset + i;
            complete = at + 1 < full.size() && full[at] == kReplacementCharacter;
            break;
        }
        if (!complete) continue;
        result.words.push_back(text);
        result.wordTokens.push_back(std::move(group));
        group.clear();
        offset += scalars.size();
    }
    return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(
    const std::vector<std::int64_t>& tokens) const {
    auto subwords = splitTokensOnUnicode(tokens);
    WordTokens result;
    for (std::size_t i = 0; i < subwords.words.size(); ++i) {
        auto& subword = subwords.words[i];
        auto& group = subwords.wordTokens[i];
        const bool special = group.front() >= specialTokens_.specialTokenBegin;
        const bool startsWithBlank = !subword.empty() && subword.front() == ' ';
        if (special || startsWithBlank || isLonePunctuation(subword) || result.words.empty()) {
            result.words.push_back(std::move(subword));
            result.wordTokens.push_back(std::move(group));
        } else {
            result.words.back() += subword;
            auto& last = result.wordTokens.back();
            last.insert(last.end(), group.begin(), group.end());
        }
    }
    return result;
}

}  // namespace auralith
