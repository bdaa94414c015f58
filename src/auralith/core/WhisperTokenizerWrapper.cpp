#include "auralith/core/WhisperTokenizerWrapper.hpp"

#include <unicode/uchar.h>

#include <limits>
#include <stdexcept>
#include <string_view>

#include "auralith/core/Constants.hpp"
#include "auralith/utilities/LanguageRecognizer.hpp"
#include "platform/system/Text.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"

namespace auralith {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// True when the bytes stop after the start of a well-formed UTF-8 sequence
// that lacks its last bytes, so that more bytes may still complete it. Bytes
// that can never become a character (a stray continuation byte, an invalid
// lead or second byte) do not count: they stay replacement characters.
bool endsInsideCharacter(std::string_view bytes) {
    const std::size_t n = bytes.size();
    std::size_t lead = n;
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        if ((static_cast<uint8_t>(bytes[n - back]) & 0xC0) != 0x80) {
            lead = n - back;
            break;
        }
    }
    if (lead == n) return false;
    const auto first = static_cast<uint8_t>(bytes[lead]);
    std::size_t need = 0;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        need = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        need = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        need = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    } else {
        return false;
    }
    const std::size_t have = n - lead;
    if (have >= need) return false;
    if (have >= 2) {
        const auto second = static_cast<uint8_t>(bytes[lead + 1]);
        if (second < low || second > high) return false;
    }
    return true;
}

// Ids beyond the tokenizer's range are no token of it; -1 is never one either,
// so the tokenizer leaves them out as it does any unknown id.
std::vector<int> toTokenizerIds(const std::vector<std::int64_t>& tokens) {
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (auto t : tokens)
        ids.push_back(t < 0 || t > std::numeric_limits<int>::max() ? -1 : static_cast<int>(t));
    return ids;
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
    // Bytes that are not UTF-8 count as replacement characters, as the
    // tokenizer's own decoding would have made them.
    const auto scalars = platform::text::scalars(subword.substr(begin, end - begin + 1));
    return scalars.size() == 1 && u_ispunct(UChar32(scalars[0]));
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

void WhisperTokenizerWrapper::appendTokenBytes(std::string& bytes, std::int64_t token) const {
    const auto text = convertIdToToken(token);
    if (!text) return;  // decode leaves unknown ids out as well
    // Vocabulary entries are written in the byte-level alphabet; a character
    // outside it (an added token's own text) stands for its UTF-8 bytes.
    const auto& decoder = vortil::byteDecoder();
    for (std::size_t i = 0; i < text->size();) {
        const std::size_t start = i;
        platform::text::decodeScalar(*text, i);
        const std::string character(text->data() + start, i - start);
        const auto found = decoder.find(character);
        if (found != decoder.end())
            bytes.push_back(static_cast<char>(found->second));
        else
            bytes += character;
    }
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(
    const std::vector<std::int64_t>& tokens) const {
    WordTokens result;
    std::vector<std::int64_t> group;
    std::string groupBytes;
    // A replacement character in a group's text is either a real one, or a
    // character whose UTF-8 bytes the next tokens complete. Only the group's
    // bytes tell them apart: the group stays open while they end inside a
    // character. Tokens of a group still open at the end are dropped.
    for (auto token : tokens) {
        group.push_back(token);
        appendTokenBytes(groupBytes, token);
        auto text = decode(group);
        if (text.find(kReplacementUtf8) != std::string::npos && endsInsideCharacter(groupBytes))
            continue;
        result.words.push_back(std::move(text));
        result.wordTokens.push_back(std::move(group));
        group.clear();
        groupBytes.clear();
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
