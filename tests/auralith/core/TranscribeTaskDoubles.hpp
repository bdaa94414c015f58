#pragma once
// Stage doubles for the transcribe task: features and embeddings that are the
// audio window itself (sample i of the test audio holds the value i, so a
// stage can tell which window it sees from its first value), and a text
// decoder that answers each window from a script and records every try.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auralith/core/AudioEncoding.hpp"
#include "auralith/core/DecodingInputs.hpp"
#include "auralith/core/FeatureExtracting.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "platform/ml/MLMultiArray.hpp"

namespace auralith::testing {

using Array = std::shared_ptr<platform::ml::MLMultiArray>;

// 0, 1, 2, ... as samples: the value at a window's start is its seek.
inline std::vector<float> countingAudio(std::int64_t samples) {
    std::vector<float> audio(static_cast<std::size_t>(samples));
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<float>(i);
    return audio;
}

class PassThroughFeatures : public FeatureExtracting {
  public:
    std::optional<std::int64_t> window = 480000;
    bool produceNothing = false;

    std::optional<std::int64_t> melCount() const override { return 80; }
    std::optional<std::int64_t> windowSamples() const override { return window; }
    Array logMelSpectrogram(const Array& audio) override { return produceNothing ? nullptr : audio; }
};

class PassThroughEncoder : public AudioEncoding {
  public:
    bool produceNothing = false;
    // Runs inside every encoding, on the running thread.
    std::function<void()> whileEncoding;

    std::optional<std::int64_t> embedSize() const override { return 4; }
    Array encodeFeatures(const Array& features) override {
        if (whileEncoding) whileEncoding();
        return produceNothing ? nullptr : features;
    }
};

// Counts the resets between decodes.
class CountingInputs : public DecodingInputs {
  public:
    using DecodingInputs::DecodingInputs;
    int resets = 0;
    void reset(std::int64_t maxTokenContext) override {
        ++resets;
        DecodingInputs::reset(maxTokenContext);
    }
};

class ScriptedDecoder : public TextDecoder {
  public:
    struct Try {
        std::int64_t seek;
        float temperature;
        std::optional<std::string> language;
        std::vector<std::int64_t> prompt;
        // The cache length the try found: 0 unless a reset was missed.
        std::int64_t cacheLengthAtStart;
    };
    // The answer to try `attempt` (from 0) of the window starting at `seek`.
    using Answer = std::function<DecodingResult(std::int64_t seek, int attempt)>;

    Answer answer;
    std::function<DecodingResult()> detection;
    std::vector<Try> tries;
    int detections = 0;
    mutable std::shared_ptr<CountingInputs> inputs;
    // What the task's progress callback answered, per try.
    std::vector<std::optional<bool>> callbackAnswers;

    std::shared_ptr<DecodingInputsType> prepareDecoderInputs(
        const std::vector<std::int64_t>& prompt) const override {
        using platform::ml::MLMultiArray;
        using platform::ml::MLMultiArrayDataType;
        auto f16 = [](std::vector<std::int64_t> shape) {
            return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16);
        };
        auto i32 = [](std::vector<std::int64_t> shape) {
            return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::int32);
        };
        auto made = std::make_shared<CountingInputs>(prompt, i32({1}), i32({1}), f16({1, 4, 1, 8}),
                                                     f16({1, 4, 1, 8}), f16({8, 10}), i32({1, 8}),
                                                     f16({1, 8}));
        made->reset(8);
        made->resets = 0;
        inputs = made;
        return made;
    }

    DecodingResult decodeText(const Array& encoderOutput,
                              const std::shared_ptr<DecodingInputsType>& decoderInputs,
                              TokenSampling& sampler, const DecodingOptions& options,
                              const TranscriptionCallback& callback) override {
        const auto seek = static_cast<std::int64_t>(encoderOutput->doubleValue(0));
        int attempt = 0;
        for (const auto& t : tries) attempt += t.seek == seek;
        tries.push_back({seek, static_cast<float>(dynamic_cast<GreedyTokenSampler&>(sampler).temperature),
                         options.language, decoderInputs->initialPrompt(),
                         static_cast<std::int64_t>(decoderInputs->cacheLength()->doubleValue(0))});
        // What a real decode leaves behind.
        decoderInputs->cacheLength()->setValue(0, 5);
        callbackAnswers.push_back(callback ? callback(TranscriptionProgress({}, "text", {1, 2},
                                                                            0.0f, -0.1f, 1.0f, 99))
                                           : std::optional<bool>(false));
        return answer(seek, attempt);
    }

    DecodingResult detectLanguage(const Array&, const std::shared_ptr<DecodingInputsType>&,
                                  TokenSampling&, const DecodingOptions&,
                                  platform::ml::Float16) override {
        ++detections;
        return detection();
    }
};

}  // namespace auralith::testing
