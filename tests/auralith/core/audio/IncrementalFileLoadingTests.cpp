// Incremental loading of generated files: argument checks, chunk positions
// against the whole-file load, back-pressure, cancellation and failures.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/HostileAudio.hpp"

namespace {

using namespace std::chrono_literals;
using auralith::AudioProcessor;
using auralith::IncrementalFileChunk;
using ChannelMode = auralith::AudioInputOptions::ChannelMode;
using namespace testsupport;

constexpr int64_t kWindow = 480000;

class IncrementalFileLoading : public auralith::testing::LogCaptureTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>("verbolin-incremental");
        // A tone with a second of silence every 7 s, so the chunker finds cuts.
        makeAudio(*dir_ / "five-minutes.wav", "0.5*sin(2*PI*440*t)*gt(mod(t\\,7)\\,1)", 16000, 300,
                  "-c:a pcm_s16le");
        makeAudio(*dir_ / "short.wav", sine(440, 0.5), 44100, 5, "-c:a pcm_s16le");
        runTool("sox -n -r 16000 -c 1 '" + (*dir_ / "empty.wav").string() + "' trim 0 0");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static std::string path(const std::string& name) { return (*dir_ / name).string(); }

    static auto load(const std::string& name, double duration, int64_t buffered,
                     std::shared_ptr<const auralith::VoiceActivityDetector> vad = nullptr) {
        if (!vad) vad = std::make_shared<auralith::EnergyVAD>(16000, 1600, 0, 0.02f);
        return AudioProcessor::loadFileIncrementally(path(name), ChannelMode::sumChannels(),
                                                     duration, buffered, kWindow, vad);
    }

    // Every chunk, each signalled complete as soon as it arrives.
    static std::vector<auralith::AudioChunk> drain(
        platform::AsyncThrowingStream<IncrementalFileChunk>& stream) {
        std::vector<auralith::AudioChunk> chunks;
        while (auto chunk = stream.next(30s)) {
            chunks.push_back(chunk->audioChunk);
            chunk->completionSignal();
        }
        return chunks;
    }

    static std::unique_ptr<TempDir> dir_;
};
std::unique_ptr<TempDir> IncrementalFileLoading::dir_;

TEST_F(IncrementalFileLoading, RefusesBadArgumentsBeforeAnyStreamExists) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    const struct {
        double duration;
        int64_t buffered;
        std::string file;
        std::string message;
    } cases[] = {
        {0, 2, "short.wav", "Incremental chunk duration must be greater than 0"},
        {-1, 2, "short.wav", "Incremental chunk duration must be greater than 0"},
        {inf, 2, "short.wav", "Incremental chunk duration must be greater than 0"},
        {nan, 2, "short.wav", "Incremental chunk duration must be greater than 0"},
        {0, 0, "missing.wav",
         "Incremental chunk duration must be greater than 0"},  // duration first
        {120, 0, "short.wav", "Incremental chunk buffer size must be greater than 0"},
        {120, 0, "missing.wav", "Incremental chunk buffer size must be greater than 0"},
        {120, 2, "missing.wav", "Audio file not found at path: " + path("missing.wav")},
    };
    for (const auto& c : cases) {
        try {
            load(c.file, c.duration, c.buffered);
            ADD_FAILURE() << c.message;
        } catch (const auralith::WhisperError& e) {
            EXPECT_EQ(e.kind(), auralith::WhisperError::Kind::loadAudioFailed);
            EXPECT_EQ(e.message(), c.message);
        }
    }
    // A chunk length that could hold nothing would end the stream at once, as if the file were
    // empty.
    EXPECT_THROW(AudioProcessor::loadFileIncrementally(
                     path("short.wav"), ChannelMode::sumChannels(), 120, 2, 0, nullptr),
                 auralith::WhisperError);
}

TEST_F(IncrementalFileLoading, ChunksTileTheFileAndMatchTheWholeFileLoad) {
    const auto whole =
        AudioProcessor::loadAudioAsFloatArray(path("five-minutes.wav"), ChannelMode::sumChannels());
    ASSERT_EQ(whole.size(), 300u * 16000);
    for (double duration : {120.0, 45.0, 7.3}) {
        auto stream = load("five-minutes.wav", duration, 2);
        const auto chunks = drain(*stream);
        ASSERT_GT(chunks.size(), 10u) << duration;
        int64_t expectedStart = 0;
        for (const auto& c : chunks) {
            EXPECT_EQ(c.seekOffsetIndex, expectedStart) << duration;
            ASSERT_LE(int64_t(c.audioSamples.size()), kWindow);
            ASSERT_TRUE(std::equal(c.audioSamples.begin(), c.audioSamples.end(),
                                   whole.begin() + c.seekOffsetIndex))
                << "chunk at " << c.seekOffsetIndex;
            expectedStart = c.seekOffsetIndex + int64_t(c.audioSamples.size());
        }
        EXPECT_GE(expectedStart, int64_t(whole.size()) - 16000) << duration;
    }
}

// A header claiming a third of the audio (or less) is a hint: the stream goes
// on to the real end, as ffmpeg decodes it, in windows that cross the claim.
TEST_F(IncrementalFileLoading, HeadersClaimingLessThanTheFileHoldsAreReadToTheRealEnd) {
    for (const auto& f : underclaimingFiles(dir_->path())) {
        SCOPED_TRACE(f.name);
        std::ofstream(path(f.name), std::ios::binary) << f.bytes;
        const auto reference = ffmpegDecode(path(f.name), dir_->path());
        for (double duration : {0.3, 120.0}) {
            std::vector<float> streamed;
            for (const auto& c : drain(*load(f.name, duration, 2))) {
                ASSERT_EQ(c.seekOffsetIndex, int64_t(streamed.size())) << duration;
                streamed.insert(streamed.end(), c.audioSamples.begin(), c.audioSamples.end());
            }
            ASSERT_EQ(streamed.size(), reference.size()) << duration;
            for (size_t i = 0; i < streamed.size(); ++i)
                ASSERT_NEAR(streamed[i], reference[i], f.tolerance) << duration << " at " << i;
        }
    }
}

TEST_F(IncrementalFileLoading, ShortAndEmptyFiles) {
    const auto shortChunks = drain(*load("short.wav", 120, 2));
    ASSERT_EQ(shortChunks.size(), 1u);
    EXPECT_EQ(shortChunks[0].seekOffsetIndex, 0);
    EXPECT_EQ(shortChunks[0].audioSamples.size(), 80000u);
    auto empty = load("empty.wav", 120, 2);
    EXPECT_TRUE(drain(*empty).empty());
    EXPECT_FALSE(empty->error());
}

TEST_F(IncrementalFileLoading, OneBufferedChunkWaitsForItsCompletionSignal) {
    auto stream = load("five-minutes.wav", 40, 1);
    auto first = stream->next(30s);
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(stream->buffered(), 0u) << "the second chunk came before the first was done";
    first->completionSignal();
    auto second = stream->next(30s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->audioChunk.seekOffsetIndex,
              first->audioChunk.seekOffsetIndex + int64_t(first->audioChunk.audioSamples.size()));
    stream->finish();
}

TEST_F(IncrementalFileLoading, ConsumerLeavingWhileTheProducerWaitsEndsItQuietly) {
    capture(vortil::Logging::LogLevel::error);
    for (bool dropInsteadOfFinish : {false, true}) {
        auto vad = std::make_shared<auralith::EnergyVAD>(16000, 1600, 0, 0.02f);
        auto stream = load("five-minutes.wav", 40, 1, vad);
        ASSERT_TRUE(stream->next(30s));  // never signalled: the producer blocks on its slot
        std::this_thread::sleep_for(100ms);
        if (dropInsteadOfFinish)
            stream.reset();
        else
            stream->finish();
        // The producer owns a reference to the detector until it has ended.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (vad.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(vad.use_count(), 1) << "the producer is still running";
        if (stream) {
            EXPECT_FALSE(stream->error());
        }
    }
    EXPECT_TRUE(taken().empty());
}

TEST_F(IncrementalFileLoading, UnreadableFileEndsTheStreamWithTheError) {
    capture(vortil::Logging::LogLevel::error);
    std::ofstream(path("broken.wav")) << "RIFF but not really a wave file";
    auto stream = load("broken.wav", 120, 2);
    EXPECT_THROW(drain(*stream), std::exception);
    const auto logged = taken();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("Error loading audio file incrementally: ", 0), 0u) << logged[0];
}

}  // namespace
