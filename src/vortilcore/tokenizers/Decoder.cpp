#include "vortilcore/tokenizers/Decoder.hpp"

#include <array>
#include <cstdint>

#include "platform/system/Text.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

// Malformed sequences become U+FFFD, one per maximal invalid subpart.
std::string repairedUtf8(const std::string& bytes) {
    return unicode::toUtf8(unicode::toUtf16(bytes));
}

// The byte-encoder images all lie below U+0144; -1 marks code points that
// stand for no byte.
constexpr char32_t byteImageLimit = 0x144;

const std::array<int, byteImageLimit>& byteForImage() {
    static const std::array<int, byteImageLimit> table = [] {
        std::array<int, byteImageLimit> t;
        t.fill(-1);
        for (const auto& [image, byte] : byteDecoder()) {
            size_t i = 0;
            char32_t c = unicode::nextScalar(image, i);
            if (c < byteImageLimit) t[c] = byte;
        }
        return t;
    }();
    return table;
}

// A character outside the byte alphabet is not byte-level text; it is kept
// as the character it is rather than dropped.
std::string byteLevelToText(const std::string& run) {
    const auto& table = byteForImage();
    std::string bytes;
    bytes.reserve(run.size());
    for (size_t i = 0; i < run.size();) {
        size_t begin = i;
        char32_t c = unicode::nextScalar(run, i);
        if (c < byteImageLimit && table[c] >= 0)
            bytes.push_back(char(table[c]));
        else
            bytes.append(run, begin, i - begin);
    }
    return repairedUtf8(bytes);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "<0xNN>" with two hexadecimal digits; its byte value, else -1.
int byteToken(const std::string& token) {
    if (token.size() != 6 || token.compare(0, 3, "<0x") != 0 || token[5] != '>') return -1;
    int hi = hexDigit(token[3]);
    int lo = hexDigit(token[4]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::string trimmingFromStart(const std::string& text, const std::string& character, int64_t upto) {
    if (upto < 1 || text.empty()) return text;
    std::vector<std::string> chars = unicode::graphemes(text);
    std::string target = unicode::nfc(character);
    size_t removed = 0;
    while (int64_t(removed) < upto && removed < chars.size() &&
           unicode::nfc(chars[removed]) == target)
        ++removed;
    if (removed == 0) return text;
    std::string out;
    for (size_t i = removed; i < chars.size(); ++i) out += chars[i];
    return out;
}

int64_t requiredInteger(const Config& config, std::string_view key) {
    auto value = config.get(key).integerValue();
    if (!value)
        throw TokenizerConfigurationError("Incorrect StripDecoder configuration: can't parse `" +
                                          std::string(key) + "`.");
    return *value;
}

}  // namespace

DecoderPtr DecoderFactory::fromConfig(
    const Config& config, const std::optional<std::unordered_set<std::string>>& addedTokens) {
    auto type = config.get("type").stringValue();
    if (!type) return nullptr;
    const std::string& t = *type;
    if (t == "Sequence") return std::make_shared<DecoderSequence>(config);
    if (t == "WordPiece") return std::make_shared<WordPieceDecoder>(config);
    if (t == "ByteLevel")
        return std::make_shared<ByteLevelDecoder>(addedTokens ? *addedTokens
                                                              : std::unordered_set<std::string>{});
    if (t == "Replace") return std::make_shared<ReplaceDecoder>(config);
    if (t == "ByteFallback") return std::make_shared<ByteFallbackDecoder>();
    if (t == "Fuse") return std::make_shared<FuseDecoder>();
    if (t == "Strip") return std::make_shared<StripDecoder>(config);
    if (t == "Metaspace") return std::make_shared<MetaspaceDecoder>(config);
    throw TokenizerConfigurationError("Unsupported Decoder type: " + t);
}

WordPieceDecoder::WordPieceDecoder(const Config& config)
    : cleanup_(config.get("cleanup").boolean().value_or(false)),
      re_("\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)") {
    auto prefix = config.get("prefix").stringValue();
    if (!prefix)
        throw TokenizerConfigurationError("Missing `prefix` configuration for WordPieceDecoder.");
    prefix_ = *prefix;
}

std::string WordPieceDecoder::cleanUp(const std::string& text) const {
    return platform::text::replacingAll(
        re_.replacingMatches(std::string_view(text), std::string_view("$1")), " do not", " don't");
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string& source = tokens[i];
        std::string token;
        // An empty prefix begins every token: nothing is removed and no space added.
        // (Built afresh rather than edited in place: GCC 12 at -O3 warns
        // falsely about overlap in an in-place insert at the front.)
        if (i == 0)
            token = source;
        else if (source.compare(0, prefix_.size(), prefix_) == 0)
            token = source.substr(prefix_.size());
        else
            token = " " + source;
        out.push_back(cleanup_ ? cleanUp(token) : std::move(token));
    }
    return out;
}

DecoderSequence::DecoderSequence(const Config& config) {
    const Config::Array* list = config.get("decoders").arrayValue();
    if (!list) throw TokenizerConfigurationError("No decoders in Sequence");
    for (const Config& item : *list)
        if (auto d = DecoderFactory::fromConfig(item)) decoders_.push_back(std::move(d));
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> current = tokens;
    for (const auto& d : decoders_) current = (*d)(current);
    return current;
}

ByteLevelDecoder::ByteLevelDecoder(const std::unordered_set<std::string>& addedTokens) {
    for (const auto& t : addedTokens) addedTokens_.insert(unicode::nfc(t));
}

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string run;
    for (const auto& token : tokens) {
        if (addedTokens_.count(unicode::nfc(token))) {
            if (!run.empty()) out.push_back(byteLevelToText(run));
            run.clear();
            out.push_back(token);
        } else {
            run += token;
        }
    }
    if (!run.empty()) out.push_back(byteLevelToText(run));
    return out;
}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern_) return tokens;
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const auto& t : tokens) out.push_back(pattern_->apply(t));
    return out;
}

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string pending;
    for (const auto& token : tokens) {
        int byte = byteToken(token);
        if (byte >= 0) {
            pending.push_back(char(byte));
            continue;
        }
        if (!pending.empty()) out.push_back(repairedUtf8(pending));
        pending.clear();
        out.push_back(token);
    }
    if (!pending.empty()) out.push_back(repairedUtf8(pending));
    return out;
}

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
    std::string joined;
    for (const auto& t : tokens) joined += t;
    return {joined};
}

StripDecoder::StripDecoder(const Config& config) {
    auto content = config.get("content").stringValue();
    if (!content)
        throw TokenizerConfigurationError(
            "Incorrect StripDecoder configuration: can't parse `content`.");
    content_ = *content;
    start_ = requiredInteger(config, "start");
    stop_ = requiredInteger(config, "stop");
}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    int stop = stop_ > INT32_MAX ? INT32_MAX : int(stop_ < 0 ? 0 : stop_);
    for (const auto& t : tokens)
        out.push_back(trimmingFromEnd(trimmingFromStart(t, content_, start_), content_, stop));
    return out;
}

MetaspaceDecoder::MetaspaceDecoder(const Config& config)
    : addPrefixSpace_(config.get("addPrefixSpace").boolean().value_or(false)),
      replacement_(config.get("replacement").stringValue().value_or("_")) {}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const auto& t : tokens) out.push_back(platform::text::replacingAll(t, replacement_, " "));
    if (addPrefixSpace_ && !out.empty() && !out.front().empty() && out.front().front() == ' ')
        out.front().erase(0, 1);
    return out;
}

}  // namespace vortil
