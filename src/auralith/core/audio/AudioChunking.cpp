#include "auralith/core/audio/AudioChunking.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "auralith/utilities/Logging.hpp"

namespace auralith {

namespace {

constexpr float kSampleRate = 16000.0f;

std::string describe(const std::exception_ptr& error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

std::vector<std::shared_ptr<TranscriptionResult>> AudioChunking::updateSeekOffsetsForResults(
    const std::vector<ChunkResult>& chunkedResults,
    const std::vector<AudioChunk>& audioChunks) const {
    std::vector<std::shared_ptr<TranscriptionResult>> updated;
    const std::size_t paired = std::min(chunkedResults.size(), audioChunks.size());
    for (std::size_t i = 0; i < paired; ++i) {
        if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
            Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " +
                           describe(*error));
            continue;
        }
        const float seekTime = static_cast<float>(audioChunks[i].seekOffsetIndex) / kSampleRate;
        // Derived from the seconds value, as the seek times themselves are;
        // it may differ from the chunk's index by a sample.
        const auto sampleOffset = static_cast<std::int64_t>(seekTime * kSampleRate);
        for (const auto& result : std::get<0>(chunkedResults[i])) {
            if (!result) continue;
            auto segments = result->segments();
            for (auto& segment : segments) {
                segment.seek += sampleOffset;
                segment.start += seekTime;
                segment.end += seekTime;
                if (segment.words)
                    for (auto& word : *segment.words) {
                        word.start += seekTime;
                        word.end += seekTime;
                    }
            }
            result->setSeekTime(seekTime);
            result->setSegments(std::move(segments));
            updated.push_back(result);
        }
    }
    return updated;
}

}  // namespace auralith
