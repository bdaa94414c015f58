// Incremental loading: a producer thread reads the file window by window,
// cuts the samples into recognizer-sized chunks at silences and hands them
// out as a stream, never more than the allowed number at a time.

#include <cmath>
#include <filesystem>
#include <thread>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/IncrementalLoadController.hpp"
#include "auralith/core/audio/VADAudioChunker.hpp"
#include "auralith/utilities/Logging.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/system/TaskCancellation.hpp"

namespace auralith {
namespace {

using ChunkStream = platform::AsyncThrowingStream<IncrementalFileChunk>;
using platform::TaskCancellation;

struct Producer {
    std::string path;
    AudioInputOptions::ChannelMode channelMode;
    double chunkDurationSeconds;
    int64_t maxChunkLength;
    std::shared_ptr<const VoiceActivityDetector> vad;
    std::shared_ptr<IncrementalLoadController> controller;
    // Weak: a consumer that drops the stream ends it, which stops us.
    std::weak_ptr<ChunkStream> stream;

    // Hands the chunk to the consumer; false once nobody listens.
    bool yield(IncrementalFileChunk chunk) const {
        auto s = stream.lock();
        return s && s->yield(std::move(chunk));
    }

    void run(std::stop_token token) const {
        TaskCancellation::Scope scope(token);
        try {
            produce(token);
            if (auto s = stream.lock()) s->finish();
        } catch (const platform::CancellationError&) {
            if (auto s = stream.lock()) s->finish();
        } catch (const std::exception& e) {
            Logging::error("Error loading audio file incrementally: " + std::string(e.what()));
            if (auto s = stream.lock()) s->finish(std::current_exception());
        }
    }

    void produce(std::stop_token token) const {
        platform::AudioFile file(path);
        const double rate = file.fileFormat().sampleRate;
        // The length so far: reading up to a header's length finds out
        // whether the audio goes on past it, and the length grows with it.
        double total = double(file.length()) / rate;
        const VADAudioChunker chunker(16000, vad);
        std::vector<float> buffer;
        // One window plus what a cut may carry over; reserved once so that
        // growing never holds two copies.
        const double windowSamples = std::min(chunkDurationSeconds, total) * 16000.0 + 1;
        buffer.reserve(size_t(std::min(windowSamples + double(maxChunkLength), 1e9)));
        int64_t bufferStart = 0;
        double readPosition = 0;
        TaskCancellation::checkCancellation();
        for (;;) {
            const size_t before = buffer.size();
            while (int64_t(buffer.size()) <= maxChunkLength && readPosition < total) {
                // Not cut at the length in seconds: the load stops at the
                // length in frames, which a rounded time could miss by one.
                const double end = readPosition + chunkDurationSeconds;
                platform::PCMBuffer window = AudioProcessor::loadAudioFromFile(
                    file, channelMode, readPosition, end, std::nullopt);
                // Straight from the window into the buffer: no third copy.
                const float* samples = window.floatChannelData()[0];
                buffer.insert(buffer.end(), samples, samples + window.frameLength());
                readPosition = end;
                total = double(file.length()) / rate;
                TaskCancellation::checkCancellation();
            }
            if (buffer.empty()) return;

            const std::vector<AudioChunk> chunks =
                chunker.chunkAll(buffer, maxChunkLength, std::nullopt);
            const bool moreToCome = readPosition < total;
            size_t finalCount = chunks.size();
            if (moreToCome) {
                // A chunk is final once its whole window lay inside the buffer;
                // the rest are cut again when more audio has arrived.
                finalCount = 0;
                while (finalCount < chunks.size() &&
                       chunks[finalCount].seekOffsetIndex + maxChunkLength <=
                           int64_t(buffer.size()))
                    ++finalCount;
                // Reading added nothing (the file ended early): take what is there.
                if (finalCount == 0 && buffer.size() == before) finalCount = chunks.size();
            }
            if (finalCount == 0) {
                TaskCancellation::checkCancellation();
                continue;
            }
            for (size_t i = 0; i < finalCount; ++i) {
                TaskCancellation::checkCancellation();
                controller->requestChunkSlot(token);
                TaskCancellation::checkCancellation();
                std::weak_ptr<IncrementalLoadController> slots = controller;
                IncrementalFileChunk chunk{
                    AudioChunk{bufferStart + chunks[i].seekOffsetIndex, chunks[i].audioSamples},
                    [slots] {
                        if (auto c = slots.lock()) c->signalChunkConsumed();
                    }};
                if (!yield(std::move(chunk))) return;
            }
            if (!moreToCome) return;
            const AudioChunk& last = chunks[finalCount - 1];
            const int64_t consumed = std::min<int64_t>(
                last.seekOffsetIndex + int64_t(last.audioSamples.size()), int64_t(buffer.size()));
            bufferStart += consumed;
            buffer.erase(buffer.begin(), buffer.begin() + consumed);
            TaskCancellation::checkCancellation();
        }
    }
};

}  // namespace

std::shared_ptr<platform::AsyncThrowingStream<IncrementalFileChunk>>
AudioProcessor::loadFileIncrementally(const std::string& path,
                                      const AudioInputOptions::ChannelMode& channelMode,
                                      double chunkDurationSeconds, int64_t maxBufferedChunks,
                                      int64_t maxChunkLength,
                                      std::shared_ptr<const VoiceActivityDetector> vad) {
    if (!std::isfinite(chunkDurationSeconds) || !(chunkDurationSeconds > 0))
        throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
    if (maxBufferedChunks < 1)
        throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        throw WhisperError::loadAudioFailed("Audio file not found at path: " + path);
    // Without this the producer would read nothing and end as if the file were empty.
    if (maxChunkLength < 1)
        throw WhisperError::loadAudioFailed("Incremental chunk length must be greater than 0");

    auto stream = ChunkStream::make();
    auto controller = std::make_shared<IncrementalLoadController>(maxBufferedChunks);
    auto producer =
        std::make_shared<Producer>(Producer{path, channelMode, chunkDurationSeconds, maxChunkLength,
                                            std::move(vad), controller, stream});
    std::stop_source stop;
    // However the stream ends, the producer stops and is released from any wait.
    stream->setOnTermination([stop, controller]() mutable {
        stop.request_stop();
        controller->resumeWaitingProducers();
    });
    // The thread owns everything it touches; it ends soon after the stream does.
    std::thread([producer, token = stop.get_token()] { producer->run(token); }).detach();
    return stream;
}

}  // namespace auralith
