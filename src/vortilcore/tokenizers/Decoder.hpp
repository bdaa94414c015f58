#pragma once
// Decoders turn the token strings of a decoded id sequence back into readable
// pieces: they undo the byte-level alphabet, rebuild bytes from "<0xNN>"
// tokens, drop word-piece prefixes and meta-space markers, strip, replace or
// fuse. One is built from the "decoder" object of tokenizer.json by
// DecoderFactory; failures happen while building
// (TokenizerConfigurationError), never while decoding. Built decoders are
// immutable and thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "vortilcore/core/Config.hpp"
#include "vortilcore/core/Regex.hpp"
#include "vortilcore/tokenizers/Normalizer.hpp"

namespace vortil {

class Decoder {
  public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const {
        return decode(tokens);
    }
};

using DecoderPtr = std::shared_ptr<const Decoder>;

struct DecoderFactory {
    // nullptr for a null configuration or one without a string "type".
    // addedTokens (the tokenizer's added-token texts) reaches a ByteLevel decoder.
    static DecoderPtr fromConfig(
        const Config& config,
        const std::optional<std::unordered_set<std::string>>& addedTokens = std::nullopt);
};

class WordPieceDecoder final : public Decoder {
  public:
    explicit WordPieceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    std::string cleanUp(const std::string& text) const;

    std::string prefix_;
    bool cleanup_;
    Regex re_;
};

class DecoderSequence final : public Decoder {
  public:
    explicit DecoderSequence(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    std::vector<DecoderPtr> decoders_;
};

// Each maximal run of ordinary tokens becomes one UTF-8 text (invalid
// sequences read as U+FFFD); added tokens pass through as their own pieces.
class ByteLevelDecoder final : public Decoder {
  public:
    explicit ByteLevelDecoder(const std::unordered_set<std::string>& addedTokens);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    std::unordered_set<std::string> addedTokens_;  // NFC forms
};

class ReplaceDecoder final : public Decoder {
  public:
    explicit ReplaceDecoder(const Config& config) : pattern_(StringReplacePattern::from(config)) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    std::optional<StringReplacePattern> pattern_;
};

class ByteFallbackDecoder final : public Decoder {
  public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class FuseDecoder final : public Decoder {
  public:
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class StripDecoder final : public Decoder {
  public:
    explicit StripDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    std::string content_;
    int64_t start_;
    int64_t stop_;
};

class MetaspaceDecoder final : public Decoder {
  public:
    explicit MetaspaceDecoder(const Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;

  private:
    bool addPrefixSpace_;
    std::string replacement_;
};

}  // namespace vortil
