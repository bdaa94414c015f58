#include "auralith/core/TextDecoding.hpp"

#include "auralith/core/DecodingInputs.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/MLMultiArrayExtensions.hpp"

namespace auralith {

std::shared_ptr<DecodingInputsType> TextDecoding::prepareDecoderInputs(
    const std::vector<std::int64_t>& prompt) const {
    using platform::ml::Float16;
    using platform::ml::MLMultiArrayDataType;

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
    kvCacheUpdateMask->setValue(0, 1);
    decoderKeyPaddingMask->setValue(0, 0);

    return std::make_shared<DecodingInputs>(
        prompt, std::move(inputIds), std::move(cacheLength), std::move(keyCache),
        std::move(valueCache), std::move(alignmentWeights), std::move(kvCacheUpdateMask),
        std::move(decoderKeyPaddingMask));
}

}  // namespace auralith
