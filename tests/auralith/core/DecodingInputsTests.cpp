#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/utilities/WhisperError.hpp"

using auralith::DecodingInputs;
using auralith::WhisperError;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

namespace {

// A decoder whose model sizes the test chooses.
struct SizedDecoder : auralith::TextDecoder {
    std::optional<std::int64_t> e, s, w;
    SizedDecoder(std::optional<std::int64_t> e, std::optional<std::int64_t> s,
                 std::optional<std::int64_t> w)
        : e(e), s(s), w(w) {}
    std::optional<std::int64_t> kvCacheEmbedDim() const override { return e; }
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override { return s; }
    std::optional<std::int64_t> windowSize() const override { return w; }
};

std::shared_ptr<DecodingInputs> prepared(std::int64_t e, std::int64_t s, std::int64_t w,
                                         std::vector<std::int64_t> prompt = {50258}) {
    auto state = SizedDecoder(e, s, w).prepareDecoderInputs(prompt);
    auto inputs = std::dynamic_pointer_cast<DecodingInputs>(state);
    EXPECT_NE(inputs, nullptr);
    return inputs;
}

std::vector<double> values(const MLMultiArray& array) {
    std::vector<double> out;
    for (std::int64_t i = 0; i < array.count(); ++i) out.push_back(array.doubleValue(i));
    return out;
}

void fillAll(MLMultiArray& array, double value) {
    for (std::int64_t i = 0; i < array.count(); ++i) array.setValue(i, value);
}

// The masks as a window that decoded `filled` tokens leaves them.
void decodeTokens(DecodingInputs& inputs, std::int64_t filled) {
    inputs.cacheLength()->setValue(0, static_cast<double>(filled));
    fillAll(*inputs.kvCacheUpdateMask(), 0);
    inputs.kvCacheUpdateMask()->setValue(filled, 1);
    for (std::int64_t i = 0; i <= filled; ++i) inputs.decoderKeyPaddingMask()->setValue(i, 0);
}

}  // namespace

TEST(DecodingInputs, PreparedStateHasTheModelsShapesAndFreshMasks) {
    auto inputs = prepared(6, 8, 5, {50258, 50259});
    ASSERT_NE(inputs, nullptr);
    EXPECT_EQ(inputs->initialPrompt(), (std::vector<std::int64_t>{50258, 50259}));
    struct Row {
        const MLMultiArray& array;
        std::vector<std::int64_t> shape;
        MLMultiArrayDataType type;
    };
    const Row rows[] = {
        {*inputs->inputIds(), {1}, MLMultiArrayDataType::int32},
        {*inputs->cacheLength(), {1}, MLMultiArrayDataType::int32},
        {*inputs->keyCache(), {1, 6, 1, 8}, MLMultiArrayDataType::float16},
        {*inputs->valueCache(), {1, 6, 1, 8}, MLMultiArrayDataType::float16},
        {*inputs->alignmentWeights(), {8, 5}, MLMultiArrayDataType::float16},
        {*inputs->kvCacheUpdateMask(), {1, 8}, MLMultiArrayDataType::int32},
        {*inputs->decoderKeyPaddingMask(), {1, 8}, MLMultiArrayDataType::float16},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.array.shape(), row.shape);
        EXPECT_EQ(row.array.dataType(), row.type);
    }
    for (const MLMultiArray* zero :
         {&*inputs->inputIds(), &*inputs->cacheLength(), &*inputs->keyCache(),
          &*inputs->valueCache(), &*inputs->alignmentWeights()})
        EXPECT_EQ(values(*zero), std::vector<double>(zero->count(), 0.0));
    EXPECT_EQ(values(*inputs->kvCacheUpdateMask()), (std::vector<double>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(values(*inputs->decoderKeyPaddingMask()),
              (std::vector<double>{0, -10000, -10000, -10000, -10000, -10000, -10000, -10000}));
    // The two caches are separate arrays: the decoder writes them independently.
    EXPECT_NE(inputs->keyCache(), inputs->valueCache());
}

TEST(DecodingInputs, PreparationNamesTheFirstSizeTheModelLacks) {
    struct Row {
        std::optional<std::int64_t> e, s, w;
        const char* message;
    };
    const Row rows[] = {
        {std::nullopt, std::nullopt, std::nullopt, "Unable to determine kvCacheEmbedDim"},
        {std::nullopt, 224, 1500, "Unable to determine kvCacheEmbedDim"},
        {384, std::nullopt, std::nullopt, "Unable to determine kvCacheMaxSequenceLength"},
        {384, 224, std::nullopt, "Unable to determine encoderOutputDim"},
    };
    for (const Row& row : rows) {
        try {
            SizedDecoder(row.e, row.s, row.w).prepareDecoderInputs({});
            ADD_FAILURE() << "prepared without " << row.message;
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, WhisperError::prepareDecoderInputsFailed(row.message));
        }
    }
}

TEST(DecodingInputs, ResetToOneTouchesOnlyPositionZero) {
    auto inputs = prepared(2, 6, 3);
    decodeTokens(*inputs, 4);
    inputs->reset(1);
    EXPECT_EQ(inputs->cacheLength()->doubleValue(0), 0);
    EXPECT_EQ(values(*inputs->kvCacheUpdateMask()), (std::vector<double>{1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(values(*inputs->decoderKeyPaddingMask()),
              (std::vector<double>{0, 0, 0, 0, 0, -10000}));
}

TEST(DecodingInputs, ResetRestoresTheContextAndLeavesEverythingElse) {
    auto inputs = prepared(3, 300, 4, {1, 2, 3});
    decodeTokens(*inputs, 299);
    inputs->kvCacheUpdateMask()->setValue(250, 7);
    fillAll(*inputs->keyCache(), 0.5);
    fillAll(*inputs->valueCache(), -0.25);
    fillAll(*inputs->alignmentWeights(), 0.125);
    inputs->inputIds()->setValue(0, 50363);

    inputs->reset(224);

    std::vector<double> padding(300, 0.0);
    std::fill(padding.begin() + 1, padding.begin() + 224, -10000.0);
    EXPECT_EQ(values(*inputs->decoderKeyPaddingMask()), padding);
    std::vector<double> update(300, 0.0);
    update[0] = 1;
    update[250] = 7;
    update[299] = 1;
    EXPECT_EQ(values(*inputs->kvCacheUpdateMask()), update);
    EXPECT_EQ(inputs->cacheLength()->doubleValue(0), 0);
    EXPECT_EQ(inputs->inputIds()->doubleValue(0), 50363);
    EXPECT_EQ(values(*inputs->keyCache()), std::vector<double>(3 * 300, 0.5));
    EXPECT_EQ(values(*inputs->valueCache()), std::vector<double>(3 * 300, -0.25));
    EXPECT_EQ(values(*inputs->alignmentWeights()), std::vector<double>(300 * 4, 0.125));
    EXPECT_EQ(inputs->initialPrompt(), (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(DecodingInputs, ResetStopsAtTheEndOfMasksShorterThanTheContext) {
    auto inputs = prepared(2, 100, 3);
    decodeTokens(*inputs, 99);
    inputs->reset(224);
    std::vector<double> padding(100, -10000.0);
    padding[0] = 0;
    EXPECT_EQ(values(*inputs->decoderKeyPaddingMask()), padding);
    std::vector<double> update(100, 0.0);
    update[0] = 1;
    EXPECT_EQ(values(*inputs->kvCacheUpdateMask()), update);
}
