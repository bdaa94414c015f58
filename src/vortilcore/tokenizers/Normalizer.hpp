#pragma once
// Normalizers rewrite a whole text section before it is pre-tokenized. One is
// built from the "normalizer" object of tokenizer.json by NormalizerFactory;
// every failure happens while building (TokenizerConfigurationError), never
// while normalizing. Built normalizers are immutable and thread-safe.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/core/Regex.hpp"

namespace vortil {

class Normalizer {
  public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(const std::string& text) const = 0;
    std::string operator()(const std::string& text) const { return normalize(text); }
};

using NormalizerPtr = std::shared_ptr<const Normalizer>;

struct NormalizerFactory {
    // nullptr for a null configuration or one without a string "type".
    static NormalizerPtr fromConfig(const Config& config);
};

// A literal or regular-expression replacement; shared with the Replace decoder.
struct StringReplacePattern {
    enum class Kind { regexp, string };
    Kind kind = Kind::string;
    std::optional<Regex> regexp;  // set for Kind::regexp
    std::string pattern;          // the literal for Kind::string
    std::string replacement;

    // nullopt without a string "content" or without a "String"/"Regex" pattern;
    // throws for a "Regex" that does not compile.
    static std::optional<StringReplacePattern> from(const Config& config);
    std::string apply(const std::string& text) const;
};

class NormalizerSequence final : public Normalizer {
  public:
    explicit NormalizerSequence(const Config& config);
    std::string normalize(const std::string& text) const override;
    const std::vector<NormalizerPtr>& normalizers() const { return normalizers_; }

  private:
    std::vector<NormalizerPtr> normalizers_;
};

class PrependNormalizer final : public Normalizer {
  public:
    explicit PrependNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override { return prepend_ + text; }

  private:
    std::string prepend_;
};

class ReplaceNormalizer final : public Normalizer {
  public:
    explicit ReplaceNormalizer(const Config& config)
        : pattern_(StringReplacePattern::from(config)) {}
    std::string normalize(const std::string& text) const override;

  private:
    std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class NFDNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class NFCNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class NFKDNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class NFKCNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class BertNormalizer final : public Normalizer {
  public:
    explicit BertNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

  private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

// Stands for a precompiled character map by fixed rules; the map such
// configurations carry is not read.
class PrecompiledNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

// Compatibility composition of the whole text; it removes no marks.
class StripAccentsNormalizer final : public Normalizer {
  public:
    std::string normalize(const std::string& text) const override;
};

class StripNormalizer final : public Normalizer {
  public:
    explicit StripNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

  private:
    bool leftStrip_;
    bool rightStrip_;
};

}  // namespace vortil
