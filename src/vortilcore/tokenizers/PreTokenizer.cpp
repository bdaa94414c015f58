#include "vortilcore/tokenizers/PreTokenizer.hpp"

#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/ByteEncoder.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

const char* const whitespacePattern = "\\S+";
const char* const punctuationPattern =
    "[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
const char* const bertPattern =
    "[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
const char* const gpt2Pattern =
    "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";

bool readBool(const Config& config, std::string_view key, bool fallback) {
    return config.get(key).boolean().value_or(fallback);
}

}  // namespace

const Regex& byteLevelPattern() {
    static const Regex re(gpt2Pattern);
    return re;
}

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   PreTokenizerOptions options) const {
    std::vector<std::string> out;
    for (const auto& t : texts) {
        auto pieces = preTokenize(t, options);
        out.insert(out.end(), std::make_move_iterator(pieces.begin()),
                   std::make_move_iterator(pieces.end()));
    }
    return out;
}

PreTokenizerPtr PreTokenizerFactory::fromConfig(const Config& config) {
    auto type = config.get("type").stringValue();
    if (!type) return nullptr;
    const std::string& t = *type;
    if (t == "Sequence") return std::make_shared<PreTokenizerSequence>(config);
    if (t == "ByteLevel") return std::make_shared<ByteLevelPreTokenizer>(config);
    if (t == "Punctuation") return std::make_shared<PunctuationPreTokenizer>();
    if (t == "Digits") return std::make_shared<DigitsPreTokenizer>(config);
    if (t == "Split") return std::make_shared<SplitPreTokenizer>(config);
    if (t == "Whitespace" || t == "WhitespaceSplit")
        return std::make_shared<WhitespacePreTokenizer>();
    if (t == "Metaspace") return std::make_shared<MetaspacePreTokenizer>(config);
    if (t == "BertPreTokenizer") return std::make_shared<BertPreTokenizer>();
    throw TokenizerConfigurationError("Unsupported PreTokenizer type: " + t);
}

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
    const Config& pattern = config.get("pattern");
    if (auto s = pattern.get("String").stringValue()) return StringSplitPattern{Kind::string, *s};
    if (auto r = pattern.get("Regex").stringValue()) return StringSplitPattern{Kind::regexp, *r};
    return std::nullopt;
}

PatternPreTokenizer::PatternPreTokenizer(std::string re)
    : re_(std::move(re)), search_(StringSearch::regularExpression(Regex(re_))) {}

std::vector<std::string> PatternPreTokenizer::preTokenize(const std::string& text,
                                                          PreTokenizerOptions) const {
    return matchingPieces(text, search_);
}

BertPreTokenizer::BertPreTokenizer() : PatternPreTokenizer(bertPattern) {}
WhitespacePreTokenizer::WhitespacePreTokenizer() : PatternPreTokenizer(whitespacePattern) {}
PunctuationPreTokenizer::PunctuationPreTokenizer() : PatternPreTokenizer(punctuationPattern) {}
DigitsPreTokenizer::DigitsPreTokenizer(const Config& config)
    : PatternPreTokenizer(readBool(config, "individualDigits", false) ? "[^\\d]+|\\d"
                                                                      : "[^\\d]+|\\d+") {}

PreTokenizerSequence::PreTokenizerSequence(const Config& config) {
    const Config::Array* list = config.get("pretokenizers").arrayValue();
    if (!list) throw TokenizerConfigurationError("No pretokenizers in Sequence");
    for (const Config& item : *list)
        if (auto p = PreTokenizerFactory::fromConfig(item)) preTokenizers_.push_back(std::move(p));
}

std::vector<std::string> PreTokenizerSequence::preTokenize(const std::string& text,
                                                           PreTokenizerOptions options) const {
    std::vector<std::string> current{text};
    for (const auto& p : preTokenizers_) current = (*p)(current, options);
    return current;
}

MetaspacePreTokenizer::MetaspacePreTokenizer(const Config& config)
    : addPrefixSpace_(readBool(config, "addPrefixSpace", false)),
      replacement_(config.get("replacement").stringValue().value_or(" ")),
      stringReplacement_(config.get("strRep").stringValue().value_or(replacement_)),
      prependScheme_(PrependScheme::always),
      replacementSearch_(StringSearch::regularExpression(replacement_)) {
    auto scheme = config.get("prependScheme").stringValue();
    if (scheme == "first")
        prependScheme_ = PrependScheme::first;
    else if (scheme == "never")
        prependScheme_ = PrependScheme::never;
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(const std::string& text,
                                                            PreTokenizerOptions options) const {
    std::string replaced = platform::text::replacingAll(text, " ", stringReplacement_);
    std::string prefix;
    if (addPrefixSpace_ && replaced.compare(0, replacement_.size(), replacement_) != 0) {
        if (prependScheme_ == PrependScheme::always ||
            (prependScheme_ == PrependScheme::first &&
             options.contains(PreTokenizerOption::firstSection)))
            prefix = stringReplacement_;
    }
    return split(prefix + replaced, replacementSearch_, SplitDelimiterBehavior::mergedWithNext);
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const Config& config)
    : addPrefixSpace_(readBool(config, "addPrefixSpace", false)),
      trimOffsets_(readBool(config, "trimOffsets", true)),
      useRegex_(readBool(config, "useRegex", true)) {}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(const std::string& text,
                                                            PreTokenizerOptions) const {
    auto encode = [this](std::string_view piece) {
        std::string encoded;
        encoded.reserve(piece.size() * 2 + 2);
        if (addPrefixSpace_ && (piece.empty() || piece[0] != ' ')) appendByteEncoded(encoded, " ");
        appendByteEncoded(encoded, piece);
        return encoded;
    };
    if (!useRegex_) return {encode(text)};
    // The pattern has no anchors or look-behind and never matches the empty
    // string, so one pass over the text finds the same pieces as searching
    // again after each hit. Matches come in UTF-16 offsets; walking the UTF-8
    // text alongside turns them into byte offsets without re-encoding.
    std::u16string t = unicode::toUtf16(text);
    bool sameOffsets = true;  // ASCII: UTF-16 offsets are byte offsets
    for (unsigned char c : text)
        if (c >= 0x80) {
            sameOffsets = false;
            break;
        }
    std::string repaired;
    std::string_view source = text;
    if (!sameOffsets) {
        repaired = unicode::toUtf8(t);  // malformed bytes read as U+FFFD, as the regex saw them
        source = repaired;
    }
    std::vector<std::string> out;
    size_t unit = 0, byte = 0;
    auto advanceTo = [&](size_t target) {
        while (unit < target) {
            unsigned char c = static_cast<unsigned char>(source[byte]);
            size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            unit += len == 4 ? 2 : 1;
            byte += len;
        }
    };
    for (auto [b, e] : byteLevelPattern().matchRanges(t)) {
        if (sameOffsets) {
            out.push_back(encode(source.substr(b, e - b)));
            continue;
        }
        advanceTo(b);
        size_t startByte = byte;
        advanceTo(e);
        out.push_back(encode(source.substr(startByte, byte - startByte)));
    }
    return out;
}

SplitPreTokenizer::SplitPreTokenizer(const Config& config)
    : pattern_(StringSplitPattern::from(config)), invert_(readBool(config, "invert", false)) {
    if (!pattern_) return;
    search_ = pattern_->kind == StringSplitPattern::Kind::string
                  ? StringSearch::literal(pattern_->pattern)
                  : StringSearch::regularExpression(pattern_->pattern, Regex::fileTimeLimit);
}

std::vector<std::string> SplitPreTokenizer::preTokenize(const std::string& text,
                                                        PreTokenizerOptions) const {
    if (!pattern_) return {text};
    // Only a literal pattern honours invert; a regular expression always
    // keeps its separators.
    bool includeSeparators = pattern_->kind == StringSplitPattern::Kind::regexp || !invert_;
    return split(text, *search_, includeSeparators);
}

}  // namespace vortil
