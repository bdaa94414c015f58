#pragma once
// Test doubles for the decoder's tests: a small Whisper-shaped vocabulary, a
// log capture, a sampler that plays a script, and a decoder whose model step
// the test writes.

#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auralith/core/TextDecoder.hpp"
#include "auralith/utilities/Logging.hpp"

namespace dectest {

using Ids = std::vector<std::int64_t>;
using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// Ids 0..39 are text (5 is the blank), 40.. the control tokens, 50..71 timestamps.
constexpr std::int64_t kBlank = 5, kEot = 40, kSot = 41, kEn = 42, kDe = 43, kTranscribe = 44,
                       kTranslate = 45, kPrev = 46, kNoSpeech = 47, kNoTimestamps = 48,
                       kUnsupportedLanguage = 49, kTime = 50, kVocab = 72;

inline auralith::SpecialTokens specialTokens() {
    return {kEot, kEn,   kNoSpeech,   kNoTimestamps, kEot,  kPrev,
            kSot, kTime, kTranscribe, kTranslate,    kBlank};
}

class FakeTokenizer : public auralith::WhisperTokenizer {
  public:
    // `complete` false leaves "<|translate|>" and "<|de|>" out of the vocabulary.
    explicit FakeTokenizer(bool complete = true) {
        names_ = {{kEot, "<|endoftext|>"},
                  {kSot, "<|startoftranscript|>"},
                  {kEn, "<|en|>"},
                  {kTranscribe, "<|transcribe|>"},
                  {kPrev, "<|startofprev|>"},
                  {kNoSpeech, "<|nospeech|>"},
                  {kNoTimestamps, "<|notimestamps|>"},
                  {kUnsupportedLanguage, "<|zz|>"}};
        if (complete) {
            names_[kDe] = "<|de|>";
            names_[kTranslate] = "<|translate|>";
        }
    }
    Ids encode(const std::string&) const override { return {}; }
    std::string decode(const Ids& tokens) const override {
        std::string text;
        for (auto t : tokens) text += convertIdToToken(t).value_or("");
        return text;
    }
    std::optional<std::int64_t> convertTokenToId(const std::string& token) const override {
        for (const auto& [id, name] : names_)
            if (name == token) return id;
        return std::nullopt;
    }
    std::optional<std::string> convertIdToToken(std::int64_t id) const override {
        if (const auto it = names_.find(id); it != names_.end()) return it->second;
        if (id >= kTime && id < kVocab) return "<|" + std::to_string(id - kTime) + "|>";
        if (id >= 0 && id < kEot) return " w" + std::to_string(id);
        return std::nullopt;
    }
    const auralith::SpecialTokens& specialTokens() const override { return special_; }
    const std::set<std::int64_t>& allLanguageTokens() const override { return languages_; }
    auralith::WordTokens splitToWordTokens(const Ids&) const override { return {}; }

  private:
    std::map<std::int64_t, std::string> names_;
    auralith::SpecialTokens special_ = dectest::specialTokens();
    std::set<std::int64_t> languages_{kEn, kDe, kUnsupportedLanguage};
};

// Collects log lines at the given level for the life of the object.
class LogCapture {
  public:
    explicit LogCapture(vortil::Logging::LogLevel level = vortil::Logging::LogLevel::debug) {
        vortil::Logging::updateLogLevel(level);
        vortil::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard lock(m_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        vortil::Logging::updateCallback(nullptr);
        vortil::Logging::updateLogLevel(vortil::Logging::LogLevel::none);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(m_);
        return lines_;
    }
    std::size_t count(const std::string& part) const {
        std::size_t n = 0;
        for (const auto& l : lines()) n += l.find(part) != std::string::npos;
        return n;
    }

  private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

// float16 logits [1, 1, n] holding `value` everywhere.
inline std::shared_ptr<MLMultiArray> logits(float value = 0.0f, std::int64_t n = kVocab) {
    auto a = MLMultiArray::make({1, 1, n}, MLMultiArrayDataType::float16);
    for (auto& x : a->span<Float16>()) x = value;
    return a;
}

// Plays back (token, log-probability) pairs, one per update; past the end it repeats the last.
class ScriptedSampler : public auralith::TokenSampling {
  public:
    explicit ScriptedSampler(std::vector<std::pair<std::int64_t, float>> script)
        : script_(std::move(script)) {}
    auralith::SamplingResult update(Ids tokens, const MLMultiArray&,
                                    std::vector<float> logProbs) override {
        const auto& [token, logProb] = script_[std::min(calls++, script_.size() - 1)];
        auralith::SamplingResult r{std::move(tokens), std::move(logProbs), token == kEot};
        r.tokens.push_back(token);
        r.logProbs.push_back(logProb);
        return r;
    }
    auralith::SamplingResult finalize(const Ids& tokens,
                                      const std::vector<float>& logProbs) override {
        auralith::SamplingResult r{tokens, logProbs, true};
        if (r.tokens.empty() || r.tokens.back() != kEot) {
            r.tokens.push_back(kEot);
            r.logProbs.push_back(0.0f);
        }
        return r;
    }
    std::size_t calls = 0;

  private:
    std::vector<std::pair<std::int64_t, float>> script_;
};

// A decoder with E = 2, W = 3 and a chosen cache length whose model step
// records what it was fed and answers with caches that echo the fed token.
class ScriptedDecoder : public auralith::TextDecoder {
  public:
    explicit ScriptedDecoder(std::int64_t cachePositions = 224) : s_(cachePositions) {
        setTokenizer(std::make_shared<FakeTokenizer>());
    }
    std::optional<std::int64_t> kvCacheEmbedDim() const override { return 2; }
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override { return s_; }
    std::optional<std::int64_t> windowSize() const override { return 3; }
    std::optional<std::int64_t> logitsSize() const override { return kVocab; }

    std::shared_ptr<auralith::TextDecoderOutputType> predictLogits(
        const auralith::TextDecoderInputType& input) override {
        const auto& in = dynamic_cast<const auralith::TextDecoderMLMultiArrayInputType&>(input);
        const auto token = static_cast<std::int64_t>(in.inputIds->doubleValue(0));
        {
            std::lock_guard lock(m_);  // language detection may call from several threads
            fed.push_back(token);
            cacheLengths.push_back(static_cast<std::int64_t>(in.cacheLength->doubleValue(0)));
            if (throwAtStep && fed.size() == *throwAtStep) throw std::runtime_error("model failed");
        }
        if (stepDelay.count()) std::this_thread::sleep_for(stepDelay);
        auto slice = [&](std::vector<std::int64_t> shape) {
            auto a = MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16);
            for (auto& x : a->span<Float16>()) x = static_cast<float>(token);
            return a;
        };
        auralith::DecodingCache cache{slice({1, 2, 1, 1}), slice({1, 2, 1, 1}),
                                      withAlignment ? slice({1, 3}) : nullptr};
        return std::make_shared<auralith::TextDecoderMLMultiArrayOutputType>(logits(), cache);
    }

    using auralith::TextDecoder::drainProgressCallbacks;
    using auralith::TextDecoder::earlyStopActor;

    Ids fed;
    Ids cacheLengths;
    std::optional<std::size_t> throwAtStep;
    bool withAlignment = true;
    std::chrono::microseconds stepDelay{0};

  private:
    std::int64_t s_;
    std::mutex m_;
};

inline std::shared_ptr<MLMultiArray> encoderOutput() {
    return MLMultiArray::make({1, 4, 1, 3}, MLMultiArrayDataType::float16);
}

}  // namespace dectest
