#include "vortilcore/tokenizers/Normalizer.hpp"

#include "platform/system/Text.hpp"
#include "vortilcore/core/Unicode.hpp"
#include "vortilcore/tokenizers/StringSplitting.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

namespace vortil {

namespace {

bool readBool(const Config& config, std::string_view key, bool fallback) {
    return config.get(key).boolean().value_or(fallback);
}

}  // namespace

NormalizerPtr NormalizerFactory::fromConfig(const Config& config) {
    auto type = config.get("type").stringValue();
    if (!type) return nullptr;
    const std::string& t = *type;
    if (t == "Sequence") return std::make_shared<NormalizerSequence>(config);
    if (t == "Prepend") return std::make_shared<PrependNormalizer>(config);
    if (t == "Replace") return std::make_shared<ReplaceNormalizer>(config);
    if (t == "Lowercase") return std::make_shared<LowercaseNormalizer>();
    if (t == "NFD") return std::make_shared<NFDNormalizer>();
    if (t == "NFC") return std::make_shared<NFCNormalizer>();
    if (t == "NFKD") return std::make_shared<NFKDNormalizer>();
    if (t == "NFKC") return std::make_shared<NFKCNormalizer>();
    if (t == "Bert" || t == "BertNormalizer") return std::make_shared<BertNormalizer>(config);
    if (t == "Precompiled") return std::make_shared<PrecompiledNormalizer>();
    if (t == "StripAccents") return std::make_shared<StripAccentsNormalizer>();
    if (t == "Strip") return std::make_shared<StripNormalizer>(config);
    throw TokenizerConfigurationError("Unsupported Normalizer type: " + t);
}

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
    auto content = config.get("content").stringValue();
    if (!content) return std::nullopt;
    const Config& pattern = config.get("pattern");
    StringReplacePattern out;
    out.replacement = *content;
    if (auto literal = pattern.get("String").stringValue()) {
        out.kind = Kind::string;
        out.pattern = *literal;
        return out;
    }
    if (auto regex = pattern.get("Regex").stringValue()) {
        out.kind = Kind::regexp;
        out.regexp = Regex::tryCompile(*regex, Regex::fileTimeLimit);
        if (!out.regexp) throw TokenizerConfigurationError("Cannot build regexp from " + *regex);
        out.pattern = *regex;
        return out;
    }
    return std::nullopt;
}

std::string StringReplacePattern::apply(const std::string& text) const {
    if (kind == Kind::regexp)
        return regexp->replacingMatches(std::string_view(text), std::string_view(replacement));
    return platform::text::replacingAll(text, pattern, replacement);
}

NormalizerSequence::NormalizerSequence(const Config& config) {
    const Config::Array* list = config.get("normalizers").arrayValue();
    if (!list) throw TokenizerConfigurationError("No normalizers in Sequence");
    for (const Config& item : *list)
        if (auto n = NormalizerFactory::fromConfig(item)) normalizers_.push_back(std::move(n));
}

std::string NormalizerSequence::normalize(const std::string& text) const {
    std::string current = text;
    for (const auto& n : normalizers_) current = n->normalize(current);
    return current;
}

PrependNormalizer::PrependNormalizer(const Config& config)
    : prepend_(config.get("prepend").stringValue().value_or("")) {}

std::string ReplaceNormalizer::normalize(const std::string& text) const {
    return pattern_ ? pattern_->apply(text) : text;
}

std::string LowercaseNormalizer::normalize(const std::string& text) const {
    return unicode::lowercased(text);
}

std::string NFDNormalizer::normalize(const std::string& text) const {
    return unicode::normalized(text, unicode::NormalizationForm::nfd);
}

std::string NFCNormalizer::normalize(const std::string& text) const {
    return unicode::normalized(text, unicode::NormalizationForm::nfc);
}

std::string NFKDNormalizer::normalize(const std::string& text) const {
    return unicode::normalized(text, unicode::NormalizationForm::nfkd);
}

std::string NFKCNormalizer::normalize(const std::string& text) const {
    return unicode::normalized(text, unicode::NormalizationForm::nfkc);
}

std::string StripAccentsNormalizer::normalize(const std::string& text) const {
    return unicode::normalized(text, unicode::NormalizationForm::nfkc);
}

BertNormalizer::BertNormalizer(const Config& config)
    : shouldCleanText_(readBool(config, "cleanText", true)),
      shouldHandleChineseChars_(readBool(config, "handleChineseChars", true)),
      shouldStripAccents_(false),
      shouldLowercase_(readBool(config, "lowercase", true)) {
    shouldStripAccents_ = readBool(config, "stripAccents", shouldLowercase_);
}

std::string BertNormalizer::normalize(const std::string& text) const {
    std::string current = text;
    if (shouldCleanText_) {
        // Characters such as control or unassigned ones pass through as they are.
        std::string out;
        out.reserve(current.size());
        for (const auto& ch : unicode::graphemes(std::string_view(current))) {
            char32_t c = platform::text::firstScalar(ch);
            out += (c == 0x09 || c == 0x0A || c == 0x0D) ? std::string(" ") : ch;
        }
        current = std::move(out);
    }
    if (shouldHandleChineseChars_) current = spacingChineseCharacters(current);
    if (shouldStripAccents_) {
        std::string decomposed = unicode::normalized(current, unicode::NormalizationForm::nfd);
        std::string out;
        out.reserve(decomposed.size());
        for (size_t i = 0; i < decomposed.size();) {
            size_t start = i;
            char32_t c = unicode::nextScalar(decomposed, i);
            if (c < 0x300 || c > 0x36F) out.append(decomposed, start, i - start);
        }
        current = std::move(out);
    }
    if (shouldLowercase_) current = unicode::lowercased(current);
    return current;
}

std::string PrecompiledNormalizer::normalize(const std::string& text) const {
    std::string out;
    out.reserve(text.size());
    bool sawTilde = false;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        char32_t c = unicode::nextScalar(text, i);
        bool removed = (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) ||
                       c == 0x7F || c == 0x8F || c == 0x9F;
        bool space = c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 ||
                     (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 || c == 0x2581 ||
                     c == 0xFEFF || c == 0xFFFD;
        if (removed) continue;
        if (space) {
            out += ' ';
            continue;
        }
        if (c == 0xFF5E) sawTilde = true;
        out.append(text, start, i - start);
    }
    if (!sawTilde) return unicode::normalized(out, unicode::NormalizationForm::nfkc);
    // NFKC would turn the fullwidth tilde into "~"; compose around it instead.
    static const StringSearch tilde = StringSearch::regularExpression("\xEF\xBD\x9E");
    std::string joined;
    bool first = true;
    for (const auto& piece : split(out, tilde, false)) {
        if (!first) joined += "\xEF\xBD\x9E";
        first = false;
        joined += unicode::normalized(piece, unicode::NormalizationForm::nfkc);
    }
    return joined;
}

StripNormalizer::StripNormalizer(const Config& config)
    : leftStrip_(readBool(config, "stripLeft", true)),
      rightStrip_(readBool(config, "stripRight", true)) {}

std::string StripNormalizer::normalize(const std::string& text) const {
    auto chars = unicode::graphemes(std::string_view(text));
    auto isSpace = [](const std::string& ch) {
        return unicode::isWhiteSpace(platform::text::firstScalar(ch));
    };
    size_t begin = 0, end = chars.size();
    if (leftStrip_)
        while (begin < end && isSpace(chars[begin])) ++begin;
    if (rightStrip_)
        while (end > begin && isSpace(chars[end - 1])) --end;
    std::string out;
    for (size_t i = begin; i < end; ++i) out += chars[i];
    return out;
}

}  // namespace vortil
