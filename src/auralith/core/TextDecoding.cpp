#include "auralith/core/TextDecoding.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

std::shared_ptr<DecodingInputsType> TextDecoding::prepareDecoderInputs(
    const std::vector<std::int64_t>& prompt) const {
    const auto embedDim = kvCacheEmbedDim();
    if (!embedDim)
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    const auto maxSequenceLength = kvCacheMaxSequenceLength();
    if (!maxSequenceLength)
        throw WhisperError::prepareDecoderInputsFailed(
            "Unable to determine kvCacheMaxSequenceLength");
    const auto encoderOutputDim = windowSize();
    if (!encoderOutputDim)
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");

    const std::int64_t e = *embedDim, s = *maxSequenceLength, w = *encoderOutputDim;
    const auto int32 = MLMultiArrayDataType::int32;
    const auto float16 = MLMultiArrayDataType::float16;
    auto inputIds = vortil::makeMLMultiArray({1}, int32, std::int32_t{0});
    auto cacheLength = vortil::makeMLMultiArray({1}, int32, std::int32_t{0});
    auto keyCache = vortil::makeMLMultiArray({1, e, 1, s}, float16, Float16(0.0f));
    auto valueCache = vortil::makeMLMultiArray({1, e, 1, s}, float16, Float16(0.0f));
    auto alignmentWeights = vortil::makeMLMultiArray({s, w}, float16, Float16(0.0f));
    auto kvCacheUpdateMask = vortil::makeMLMultiArray({1, s}, int32, std::int32_t{0});
    auto decoderKeyPaddingMask = vortil::makeMLMultiArray({1, s}, float16, Float16(-10000.0f));
    if (s > 0) {
        kvCacheUpdateMask->setValue(0, 1);
        decoderKeyPaddingMask->setValue(0, 0);
    }

    return std::make_shared<DecodingInputs>(
        prompt, std::move(inputIds), std::move(cacheLength), std::move(keyCache),
        std::move(valueCache), std::move(alignmentWeights), std::move(kvCacheUpdateMask),
        std::move(decoderKeyPaddingMask));
}

namespace {

// The last `count` tokens of the list that are below `limit`, in order.
std::vector<std::int64_t> textTokensOfTail(const std::vector<std::int64_t>& tokens,
                                           std::int64_t count, std::int64_t limit) {
    const auto take = static_cast<std::size_t>(std::max<std::int64_t>(0, count));
    const auto first =
        tokens.size() > take ? tokens.end() - static_cast<std::ptrdiff_t>(take) : tokens.begin();
    std::vector<std::int64_t> kept;
    std::copy_if(first, tokens.end(), std::back_inserter(kept),
                 [limit](std::int64_t t) { return t < limit; });
    return kept;
}

void setIfInside(MLMultiArray& array, std::int64_t index, double value) {
    if (index >= 0 && index < array.count()) array.setValue(index, value);
}

}  // namespace

std::shared_ptr<DecodingInputsType> TextDecoding::prefillDecoderInputs(
    std::shared_ptr<DecodingInputsType> decoderInputs,
    const std::optional<DecodingOptions>& options) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (!inputs)
        throw WhisperError::prepareDecoderInputsFailed(
            "Unable to cast decoderInputs to DecodingInputs");

    const SpecialTokens& special = tokenizer->specialTokens();
    std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
    if (options) {
        if (isModelMultilingual()) {
            const std::string language = options->language.value_or("en");
            prompt.push_back(
                tokenizer->convertTokenToId("<|" + language + "|>").value_or(special.englishToken));
            const char* task =
                options->task == DecodingTask::translate ? "<|translate|>" : "<|transcribe|>";
            prompt.push_back(tokenizer->convertTokenToId(task).value_or(special.transcribeToken));
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken
                                                    : special.timeTokenBegin);
        if (options->promptTokens) {
            const auto previous =
                textTokensOfTail(*options->promptTokens, 111, special.specialTokenBegin);
            if (!previous.empty()) {
                std::vector<std::int64_t> withPrevious{special.startOfPreviousToken};
                withPrevious.insert(withPrevious.end(), previous.begin(), previous.end());
                withPrevious.insert(withPrevious.end(), prompt.begin(), prompt.end());
                prompt = std::move(withPrevious);
            }
        }
        if (options->prefixTokens) {
            const auto n = static_cast<std::int64_t>(prompt.size());
            const std::int64_t budget =
                std::min<std::int64_t>(112, std::max<std::int64_t>(0, 222 - n));
            const auto prefix =
                textTokensOfTail(*options->prefixTokens, budget, special.specialTokenBegin);
            prompt.insert(prompt.end(), prefix.begin(), prefix.end());
        }
    }
    inputs->setInitialPrompt(std::move(prompt));
    setIfInside(*inputs->kvCacheUpdateMask(), 0, 1);
    setIfInside(*inputs->decoderKeyPaddingMask(), 0, 0);
    return decoderInputs;
}

namespace {

bool isHalfCacheShaped(const MLMultiArray& a) {
    return a.dataType() == MLMultiArrayDataType::float16 && a.shape().size() == 4;
}

}  // namespace

void TextDecoding::updateKVCache(MLMultiArray& keyTensor, const MLMultiArray& keySlice,
                                 MLMultiArray& valueTensor, const MLMultiArray& valueSlice,
                                 std::int64_t insertAtIndex) {
    if (!isHalfCacheShaped(keyTensor) || !isHalfCacheShaped(keySlice) ||
        !isHalfCacheShaped(valueTensor) || !isHalfCacheShaped(valueSlice) ||
        keySlice.shape() != valueSlice.shape() || keyTensor.shape() != valueTensor.shape()) {
        Logging::error("updateKVCache: caches and slices must be float16 [1, E, 1, positions]");
        return;
    }
    const std::int64_t rows = keyTensor.shape()[1];
    const std::int64_t positions = keySlice.shape()[3];
    const std::int64_t capacity = keyTensor.shape()[3];
    if (keySlice.shape()[1] < rows || insertAtIndex < 0 || insertAtIndex > capacity - positions) {
        Logging::error("updateKVCache: cannot write " + std::to_string(positions) +
                       " positions at " + std::to_string(insertAtIndex) + " into a cache of " +
                       std::to_string(capacity));
        return;
    }
    const auto& sliceStride = keySlice.strides();
    const auto& keyStride = keyTensor.strides();
    const auto& valueStride = valueTensor.strides();
    auto* key = static_cast<std::uint16_t*>(keyTensor.dataPointer());
    auto* value = static_cast<std::uint16_t*>(valueTensor.dataPointer());
    const auto* keyIn = static_cast<const std::uint16_t*>(keySlice.dataPointer());
    const auto* valueIn = static_cast<const std::uint16_t*>(valueSlice.dataPointer());
    if (!key || !value || !keyIn || !valueIn) return;
    // One element per row and position: far too little work to be worth
    // spreading over threads for a one-token step.
    for (std::int64_t e = 0; e < rows; ++e)
        for (std::int64_t t = 0; t < positions; ++t) {
            const std::int64_t s = e * sliceStride[1] + t * sliceStride[3];
            key[e * keyStride[1] + (insertAtIndex + t) * keyStride[3]] = keyIn[s];
            value[e * valueStride[1] + (insertAtIndex + t) * valueStride[3]] = valueIn[s];
        }
}

void TextDecoding::updateAlignmentWeights(MLMultiArray& alignmentTensor,
                                          const MLMultiArray& alignmentSlice,
                                          std::int64_t insertAtIndex) {
    if (alignmentTensor.dataType() != MLMultiArrayDataType::float16 ||
        alignmentSlice.dataType() != MLMultiArrayDataType::float16 ||
        alignmentTensor.shape().size() != 2 || alignmentSlice.shape().size() != 2) {
        Logging::error("updateAlignmentWeights: the table and the slice must be float16 [rows, W]");
        return;
    }
    const std::int64_t row = insertAtIndex + 1;
    const std::int64_t columns = alignmentTensor.shape()[1];
    if (insertAtIndex < 0 || row >= alignmentTensor.shape()[0] || alignmentSlice.shape()[0] < 1 ||
        alignmentSlice.shape()[1] < columns) {
        Logging::error("updateAlignmentWeights: cannot write row " + std::to_string(row) + " of " +
                       std::to_string(alignmentTensor.shape()[0]));
        return;
    }
    auto* out = static_cast<std::uint16_t*>(alignmentTensor.dataPointer());
    const auto* in = static_cast<const std::uint16_t*>(alignmentSlice.dataPointer());
    if (!out || !in) return;
    const auto& outStride = alignmentTensor.strides();
    const auto& inStride = alignmentSlice.strides();
    for (std::int64_t j = 0; j < columns; ++j)
        out[row * outStride[0] + j * outStride[1]] = in[j * inStride[1]];
}

}  // namespace auralith
