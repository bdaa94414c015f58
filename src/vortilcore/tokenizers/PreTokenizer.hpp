#pragma once
// Pre-tokenizers cut one normalized text section into the word-sized pieces
// that the vocabulary model then tokenizes. One is built from the
// "pre_tokenizer" object of tokenizer.json by PreTokenizerFactory; failures
// happen while building (TokenizerConfigurationError). Built pre-tokenizers
// are immutable and thread-safe.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/StringSplitting.hpp"

namespace vortil {

enum class PreTokenizerOption { firstSection };

// The option set handed to a pre-tokenizer.
struct PreTokenizerOptions {
    bool firstSection = false;
    bool contains(PreTokenizerOption o) const {
        return o == PreTokenizerOption::firstSection && firstSection;
    }
};

class PreTokenizer {
  public:
    virtual ~PreTokenizer() = default;
    virtual std::vector<std::string> preTokenize(const std::string& text,
                                                 PreTokenizerOptions options) const = 0;
    // Each text in order with the same options, results concatenated.
    virtual std::vector<std::string> preTokenize(const std::vector<std::string>& texts,
                                                 PreTokenizerOptions options) const;
    std::vector<std::string> operator()(const std::vector<std::string>& texts,
                                        PreTokenizerOptions options) const {
        return preTokenize(texts, options);
    }
    std::vector<std::string> operator()(const std::string& text,
                                        PreTokenizerOptions options) const {
        return preTokenize(text, options);
    }
};

using PreTokenizerPtr = std::shared_ptr<const PreTokenizer>;

struct PreTokenizerFactory {
    // nullptr for a null configuration or one without a string "type".
    static PreTokenizerPtr fromConfig(const Config& config);
};

// A literal or regular-expression split pattern, read from {"String": ...} or
// {"Regex": ...}.
struct StringSplitPattern {
    enum class Kind { regexp, string };
    Kind kind = Kind::string;
    std::string pattern;

    static std::optional<StringSplitPattern> from(const Config& config);
};

// Pre-tokenizers whose pieces are simply all matches of one fixed pattern.
class PatternPreTokenizer : public PreTokenizer {
  public:
    using PreTokenizer::preTokenize;
    std::vector<std::string> preTokenize(const std::string& text,
                                         PreTokenizerOptions options) const override;
    const std::string& pattern() const { return re_; }

  protected:
    explicit PatternPreTokenizer(std::string re);

  private:
    std::string re_;
    StringSearch search_;
};

class BertPreTokenizer final : public PatternPreTokenizer {
  public:
    BertPreTokenizer();
};

class WhitespacePreTokenizer final : public PatternPreTokenizer {
  public:
    WhitespacePreTokenizer();
};

class PunctuationPreTokenizer final : public PatternPreTokenizer {
  public:
    PunctuationPreTokenizer();
};

class DigitsPreTokenizer final : public PatternPreTokenizer {
  public:
    explicit DigitsPreTokenizer(const Config& config);
};

class PreTokenizerSequence final : public PreTokenizer {
  public:
    using PreTokenizer::preTokenize;
    explicit PreTokenizerSequence(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text,
                                         PreTokenizerOptions options) const override;

  private:
    std::vector<PreTokenizerPtr> preTokenizers_;
};

class MetaspacePreTokenizer final : public PreTokenizer {
  public:
    enum class PrependScheme { first, never, always };

    using PreTokenizer::preTokenize;
    explicit MetaspacePreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text,
                                         PreTokenizerOptions options) const override;

  private:
    bool addPrefixSpace_;
    std::string replacement_;
    std::string stringReplacement_;
    PrependScheme prependScheme_;
    StringSearch replacementSearch_;
};

class ByteLevelPreTokenizer final : public PreTokenizer {
  public:
    using PreTokenizer::preTokenize;
    explicit ByteLevelPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text,
                                         PreTokenizerOptions options) const override;

  private:
    bool addPrefixSpace_;
    bool trimOffsets_;  // read and kept; it changes nothing in the pieces
    bool useRegex_;
};

class SplitPreTokenizer final : public PreTokenizer {
  public:
    using PreTokenizer::preTokenize;
    explicit SplitPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text,
                                         PreTokenizerOptions options) const override;

  private:
    std::optional<StringSplitPattern> pattern_;
    bool invert_;
    std::optional<StringSearch> search_;
};

// The GPT-2 pattern shared by the ByteLevel pre-tokenizer and the BPE byte fallback.
const Regex& byteLevelPattern();

}  // namespace vortil
