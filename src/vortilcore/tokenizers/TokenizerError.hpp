#pragma once
// The tokenizer errors. TokenizerError carries one of the fixed cases with its
// user-readable description; TokenizerConfigurationError is the rejection of
// a tokenizer file while a tokenizer is being built ("Unsupported Normalizer
// type: ...", "No pretokenizers in Sequence", ...). Neither ever ends the
// process: whoever builds the tokenizer receives them as exceptions.

#include <stdexcept>
#include <string>

namespace vortil {

class TokenizerError : public std::runtime_error {
  public:
    enum class Case {
        unsupportedTokenizer,
        tooLong,
        mismatchedConfig,
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
    };

    static TokenizerError unsupportedTokenizer(const std::string& name);
    static TokenizerError tooLong(const std::string& message);
    static TokenizerError mismatchedConfig(const std::string& message);
    static TokenizerError missingConfig();
    static TokenizerError missingTokenizerClassInConfig();
    static TokenizerError missingVocab();
    static TokenizerError malformedVocab();
    // The same case, naming what is wrong (kept as the payload).
    static TokenizerError malformedVocab(const std::string& detail);

    Case errorCase() const { return case_; }
    // The case's payload (tokenizer name or message); empty for the others.
    const std::string& payload() const { return payload_; }
    std::string localizedDescription() const { return what(); }

  private:
    TokenizerError(Case c, std::string payload, const std::string& description)
        : std::runtime_error(description), case_(c), payload_(std::move(payload)) {}

    Case case_;
    std::string payload_;
};

class TokenizerConfigurationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace vortil
