#pragma once
// Cutting audio that is longer than one recognizer window into chunks, and
// moving the chunks' transcriptions back onto the timeline of the whole array.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "auralith/core/AudioChunk.hpp"
#include "auralith/core/DecodingOptions.hpp"
#include "auralith/core/TranscriptionResult.hpp"

namespace auralith {

class AudioChunking {
  public:
    // What transcribing one chunk gave: its results, or the error it failed with.
    using ChunkResult =
        std::variant<std::vector<std::shared_ptr<TranscriptionResult>>, std::exception_ptr>;

    virtual ~AudioChunking() = default;

    // Chunks of at most `maxChunkLength` samples, in array order.
    virtual std::vector<AudioChunk> chunkAll(
        const std::vector<float>& audioArray, std::int64_t maxChunkLength,
        const std::optional<DecodingOptions>& decodeOptions) const = 0;

    // One result list per chunk, paired by index. Each successful chunk's
    // results get its start as their seekTime and their segment and word
    // times shifted by it; they are changed in place and returned flat, in
    // chunk order. A failed chunk is logged at debug level and left out;
    // results beyond the last chunk are ignored.
    std::vector<std::shared_ptr<TranscriptionResult>> updateSeekOffsetsForResults(
        const std::vector<ChunkResult>& chunkedResults,
        const std::vector<AudioChunk>& audioChunks) const;

  protected:
    AudioChunking() = default;
    AudioChunking(const AudioChunking&) = default;
    AudioChunking& operator=(const AudioChunking&) = default;
};

}  // namespace auralith
