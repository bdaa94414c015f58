// The decoding loop on the runtime's own decoder model: no allocation per
// token once a window has run, and decodes on several threads at once.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>

#include "auralith/core/DecoderTestSupport.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/core/text/SuppressTokensFilter.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/WhisperTestModels.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "support/AllocationCounter.hpp"
#include "support/TempDir.hpp"

using namespace dectest;

namespace {

// Notes this thread's allocation count each time the loop filters a step.
struct AllocationProbe : auralith::LogitsFiltering {
    mutable std::vector<std::size_t> counts;
    AllocationProbe() { counts.reserve(512); }
    std::shared_ptr<MLMultiArray> filterLogits(std::shared_ptr<MLMultiArray> logits,
                                               const Ids&) const override {
        counts.push_back(testsupport::tAllocations);
        return logits;
    }
};

class RuntimeDecoder {
  public:
    RuntimeDecoder() {
        const nlohmann::json dims = {{"vocab_size", kVocab},
                                     {"d_model", 32},
                                     {"decoder_layers", 2},
                                     {"decoder_attention_heads", 4},
                                     {"decoder_ffn_dim", 64},
                                     {"max_target_positions", 240},
                                     {"max_source_positions", 100},
                                     {"kv_cache_length", 224},
                                     {"alignment_heads", {{0, 1}, {1, 2}}}};
        const auto folder = dir_.path() / "TextDecoder.mlmodelc";
        mltest::writeRandomNetwork(folder, "TextDecoder", dims, "F16", 5);
        decoder.loadModel(folder, platform::ml::MLComputeUnits::cpuOnly, false);
        decoder.setTokenizer(std::make_shared<FakeTokenizer>());
        encoder = MLMultiArray::make({1, 32, 1, 100}, MLMultiArrayDataType::float16);
        auto span = encoder->span<Float16>();
        for (std::size_t i = 0; i < span.size(); ++i) span[i] = std::sin(0.37f * i);
    }

    auralith::DecodingResult decode(std::shared_ptr<auralith::DecodingInputsType> state,
                                    const auralith::DecodingOptions& options) {
        state->reset(224);
        decoder.prefillDecoderInputs(state, options);
        auralith::GreedyTokenSampler sampler(Float16(0.0f), kEot, options);
        return decoder.decodeText(encoder, state, sampler, options);
    }

    auralith::TextDecoder decoder;
    std::shared_ptr<MLMultiArray> encoder;

  private:
    testsupport::TempDir dir_;
};

auralith::DecodingOptions windowOptions(bool timestamps) {
    auto o = auralith::DecodingOptions::defaultSet();
    o.withoutTimestamps = !timestamps;
    o.suppressBlank = true;
    o.sampleLength = 80;
    o.firstTokenLogProbThreshold = std::nullopt;
    return o;
}

}  // namespace

TEST(TextDecoderRuntime, StepsAllocateNothingAfterTheFirstWindow) {
    RuntimeDecoder runtime;
    auto probe = std::make_shared<AllocationProbe>();
    runtime.decoder.setLogitsFilters(std::vector<std::shared_ptr<auralith::LogitsFiltering>>{
        probe, std::make_shared<auralith::SuppressTokensFilter>(Ids{kEot})});
    for (const bool timestamps : {false, true}) {
        const auto options = windowOptions(timestamps);
        auto state = runtime.decoder.prepareDecoderInputs({kSot});
        runtime.decode(state, options);  // the first window sets up what is reused
        probe->counts.clear();
        const auto result = runtime.decode(state, options);
        ASSERT_GT(probe->counts.size(), 60u);
        for (std::size_t k = 1; k < probe->counts.size(); ++k)
            EXPECT_EQ(probe->counts[k], probe->counts[k - 1])
                << "step " << k << (timestamps ? " with timestamps" : "");
        EXPECT_GT(result.tokens.size(), 60u);
    }
}

TEST(TextDecoderRuntime, ConcurrentDecodesOnOneDecoderMatchSequentialOnes) {
    RuntimeDecoder runtime;
    const auto options = windowOptions(true);
    std::vector<Ids> expected;
    for (int t = 0; t < 4; ++t)
        expected.push_back(
            runtime.decode(runtime.decoder.prepareDecoderInputs({kSot}), options).tokens);
    std::vector<Ids> actual(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            auto state = runtime.decoder.prepareDecoderInputs({kSot});
            for (int round = 0; round < 3; ++round)
                actual[t] = runtime.decode(state, options).tokens;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(actual, expected);
}

TEST(TextDecoderRuntime, ACancelledTaskStopsBeforeTheNextModelStep) {
    RuntimeDecoder runtime;
    const auto options = windowOptions(false);
    auto state = runtime.decoder.prepareDecoderInputs({kSot});
    std::stop_source stop;
    platform::TaskCancellation::Scope scope(stop.get_token());
    const auto first = runtime.decode(state, options);
    EXPECT_GT(first.tokens.size(), 1u);
    stop.request_stop();
    EXPECT_THROW(runtime.decode(state, options), platform::CancellationError);
}
