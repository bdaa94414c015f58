// Live capture on a scripted backend: buffering, energy records, the
// start/pause/resume/stop states, the streaming form and concurrent readers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/FakeAudioBackend.hpp"

namespace {

using auralith::AudioProcessor;
using platform::FakeAudioBackend;

std::vector<float> tone(size_t frames, double rate, double hz, float amplitude,
                        uint32_t channels = 1) {
    std::vector<float> out(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            out[i * channels + c] = amplitude * float(std::sin(2 * M_PI * hz * double(i) / rate));
    return out;
}

size_t zeroCrossings(const std::vector<float>& s) {
    size_t n = 0;
    for (size_t i = 1; i < s.size(); ++i) n += (s[i - 1] < 0) != (s[i] < 0);
    return n;
}

struct Rig {
    std::shared_ptr<FakeAudioBackend> backend = std::make_shared<FakeAudioBackend>();
    AudioProcessor processor{backend};

    explicit Rig(platform::AudioFormat format = {16000, 1}) {
        backend->script().devices = {{1, "Built-in", 1}, {2, "USB", 2}, {3, "Speakers", 0}};
        backend->script().format = format;
    }
};

TEST(AudioCapture, ConvertsEveryBufferAndRecordsOneEnergyEntryEach) {
    const struct {
        platform::AudioFormat format;
    } cases[] = {{{48000, 1}}, {{44100, 2}}, {{16000, 1}}, {{8000, 1}}};
    for (const auto& c : cases) {
        Rig rig(c.format);
        std::vector<size_t> callbackSizes;
        rig.processor.startRecordingLive(
            std::nullopt, [&](const std::vector<float>& s) { callbackSizes.push_back(s.size()); });
        // One second of 440 Hz in deliveries of 10 ms.
        const auto rate = c.format.sampleRate;
        const auto second = tone(size_t(rate), rate, 440, 0.5f, c.format.channels);
        const size_t step = size_t(rate / 100) * c.format.channels;
        for (size_t at = 0; at < second.size(); at += step)
            rig.backend->deliver(
                std::vector<float>(second.begin() + long(at), second.begin() + long(at + step)));
        const auto samples = rig.processor.audioSamples();
        const size_t buffers = size_t(rate) / 1600;  // whole tap buffers of 1600 frames
        EXPECT_EQ(rig.processor.audioEnergy().size(), buffers) << rate;
        EXPECT_EQ(callbackSizes.size(), buffers);
        EXPECT_NEAR(double(samples.size()), double(buffers) * 1600 * 16000 / rate, double(buffers))
            << rate;
        // 440 Hz: 880 crossings per second of output.
        const double seconds = double(samples.size()) / 16000;
        EXPECT_NEAR(double(zeroCrossings(samples)) / seconds, 880, 880 * 0.03) << rate;
        EXPECT_EQ(rig.processor.audioEnergy().front().rel, 0.0f);
        rig.processor.stopRecording();
    }
}

TEST(AudioCapture, RelativeEnergyUsesTheQuietestOfTheLastTwentyBuffers) {
    AudioProcessor p(std::make_shared<FakeAudioBackend>());
    auto level = [](float v) { return std::vector<float>(1600, v); };
    p.processBuffer(level(0.5f));  // first: no floor yet
    p.processBuffer(level(0.01f));
    p.processBuffer(level(0.01f));  // at the floor
    p.processBuffer(level(1.0f));   // full scale
    p.processBuffer(level(0.1f));   // halfway between -40 dB and 0 dB
    for (int i = 0; i < 20; ++i) p.processBuffer(level(0.5f));
    p.processBuffer(level(0.5f));  // the 0.01 buffers have left the look-back
    const auto rel = p.relativeEnergy();
    ASSERT_EQ(rel.size(), 26u);
    EXPECT_EQ(rel[0], 0.0f);
    EXPECT_NEAR(rel[1], 0.0f, 1e-6);
    EXPECT_NEAR(rel[2], 0.0f, 1e-6);
    EXPECT_NEAR(rel[3], 1.0f, 1e-6);
    EXPECT_NEAR(rel[4], 0.5f, 1e-5);
    EXPECT_NEAR(rel[25], 0.0f, 1e-6);
    EXPECT_EQ(p.audioSamples().size(), 26u * 1600);
}

TEST(AudioCapture, SuppressedInputIsMeasuredAndHandedOnAsZeros) {
    Rig rig;
    std::vector<float> received;
    rig.processor.setInputSuppressed(true);
    rig.processor.startRecordingLive(std::nullopt,
                                     [&](const std::vector<float>& s) { received = s; });
    rig.backend->deliver(tone(1600, 16000, 440, 0.5f));
    ASSERT_EQ(rig.processor.audioEnergy().size(), 1u);
    EXPECT_EQ(rig.processor.audioEnergy()[0].avg, 0.0f);
    EXPECT_EQ(received, std::vector<float>(1600, 0.0f));
    EXPECT_EQ(rig.processor.audioSamples(), std::vector<float>(1600, 0.0f));
}

class AudioCaptureLogTest : public auralith::testing::LogCaptureTest {};

TEST_F(AudioCaptureLogTest, DebugSummaryEveryPeriodAndNeverWithAZeroPeriod) {
    capture(vortil::Logging::LogLevel::debug);
    AudioProcessor p(std::make_shared<FakeAudioBackend>());
    for (int i = 0; i < 40; ++i) p.processBuffer(std::vector<float>(1600, 0.1f));
    size_t summaries = 0;
    for (const auto& m : taken()) summaries += m.find("Current audio size: ") != std::string::npos;
    EXPECT_EQ(summaries, 2u);  // at 32000 and 64000 samples
    p.setRelativeEnergyWindow(0);
    p.setMinBufferLength(0);
    p.processBuffer(std::vector<float>(1600, 0.1f));
    for (const auto& m : taken()) EXPECT_EQ(m.find("Current audio size: "), std::string::npos);
}

TEST(AudioCapture, PauseResumeAndStopFollowTheCaptureStates) {
    Rig rig;
    const auto buffer = tone(1600, 16000, 440, 0.5f);
    rig.processor.startRecordingLive(1);
    rig.backend->deliver(buffer);
    rig.processor.pauseRecording();
    EXPECT_EQ(rig.backend->deliver(buffer), 0);
    const auto engine = rig.processor.audioEngine();
    rig.processor.resumeRecordingLive(1);
    EXPECT_EQ(rig.processor.audioEngine(), engine);  // the same engine again
    rig.backend->deliver(buffer);
    EXPECT_EQ(rig.processor.audioSamples().size(), 3200u);
    // Resuming a running capture on the same device changes nothing.
    rig.processor.resumeRecordingLive(1);
    EXPECT_EQ(rig.backend->runningCount(), 1);
    rig.processor.stopRecording();
    EXPECT_EQ(rig.processor.audioEngine(), nullptr);
    rig.processor.resumeRecordingLive(1);  // no engine: nothing starts
    EXPECT_EQ(rig.backend->runningCount(), 0);
    EXPECT_EQ(rig.processor.audioSamples().size(), 3200u);  // kept after stop
    // A new start clears what was collected; starting again while running
    // replaces the engine rather than leaving a second one feeding the buffer.
    rig.processor.startRecordingLive(1);
    EXPECT_TRUE(rig.processor.audioSamples().empty());
    rig.processor.startRecordingLive(2);
    EXPECT_EQ(rig.backend->runningCount(), 1);
    EXPECT_EQ(rig.backend->deliver(buffer), 1);
    EXPECT_EQ(rig.processor.audioSamples().size(), 1600u);
}

TEST(AudioCapture, ResumingOnAnotherDeviceTearsTheOldEngineDown) {
    for (bool pausedFirst : {false, true}) {
        Rig rig;
        int calls = 0;
        rig.processor.startRecordingLive(1, [&](const std::vector<float>&) { ++calls; });
        if (pausedFirst) rig.processor.pauseRecording();
        rig.processor.resumeRecordingLive(2);
        EXPECT_EQ(rig.backend->lastRequestedDevice(), 2u);
        EXPECT_EQ(rig.backend->runningCount(), 1);
        // Exactly one engine delivers: one buffer, one append.
        EXPECT_EQ(rig.backend->deliver(tone(1600, 16000, 440, 0.5f)), 1);
        EXPECT_EQ(rig.processor.audioSamples().size(), 1600u);
        EXPECT_EQ(calls, 1);  // the callback survives the device change
    }
}

TEST(AudioCapture, StartFailuresThrowAndLeaveNoEngine) {
    Rig rig;
    rig.backend->script().startFailure = "device busy";
    rig.processor.setAudioSamples({1, 2, 3});
    int earlier = 0;
    rig.processor.setAudioBufferCallback([&](const std::vector<float>&) { ++earlier; });
    EXPECT_THROW(rig.processor.startRecordingLive(1, [](const std::vector<float>&) {}),
                 std::exception);
    EXPECT_EQ(rig.processor.audioEngine(), nullptr);
    EXPECT_TRUE(rig.processor.audioSamples().empty());
    // The failed start stored nothing: the earlier callback is still the one.
    rig.processor.audioBufferCallback()({});
    EXPECT_EQ(earlier, 1);
    // A device with no usable format cannot be converted.
    Rig silent(platform::AudioFormat{0, 0});
    try {
        silent.processor.startRecordingLive();
        ADD_FAILURE();
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e.message(), "Failed to create node format");
    }
}

TEST(AudioCapture, StreamingDeliversBuffersAndStopsWhenTheConsumerFinishes) {
    Rig rig;
    auto stream = rig.processor.startStreamingRecordingLive();
    rig.backend->deliver(tone(3200, 16000, 440, 0.5f));
    ASSERT_EQ(stream->buffered(), 2u);
    EXPECT_EQ(stream->next()->size(), 1600u);
    stream->finish();  // the consumer goes away
    EXPECT_EQ(rig.processor.audioEngine(), nullptr);
    EXPECT_FALSE(rig.processor.audioBufferCallback());
    EXPECT_EQ(rig.backend->runningCount(), 0);

    rig.backend->script().startFailure = "no microphone";
    auto failed = rig.processor.startStreamingRecordingLive();
    EXPECT_TRUE(failed->isFinished());
    EXPECT_THROW(failed->next(), std::exception);
}

TEST(AudioCapture, StreamOutlivingTheProcessorEndsSafely) {
    auto backend = std::make_shared<FakeAudioBackend>();
    backend->script().format = {16000, 1};
    std::shared_ptr<auralith::AudioSampleStream> stream;
    {
        AudioProcessor p(backend);
        stream = p.startStreamingRecordingLive();
    }
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_EQ(backend->deliver(std::vector<float>(1600, 0.1f)), 0);
    stream->finish();
}

TEST(AudioCapture, ReadersCopyWhileTheCaptureThreadAppends) {
    Rig rig;
    std::atomic<size_t> seenByCallback{0};
    rig.processor.startRecordingLive(
        std::nullopt, [&](const std::vector<float>& s) { seenByCallback += s.size(); });
    std::atomic<bool> done{false};
    std::thread capture([&] {
        const auto buffer = tone(1600, 16000, 440, 0.5f);
        for (int i = 0; i < 400; ++i) rig.backend->deliver(buffer);
        done = true;
    });
    size_t lastSize = 0;
    bool monotonic = true;
    while (!done) {
        const auto samples = rig.processor.audioSamples();
        const auto rel = rig.processor.relativeEnergy();
        monotonic = monotonic && samples.size() >= lastSize && samples.size() % 1600 == 0;
        lastSize = samples.size();
        rig.processor.setAudioBufferCallback(rig.processor.audioBufferCallback());
        if (rel.size() > 50) {
            rig.processor.purgeAudioSamples(16000);
            // This thread is the only one that shortens the samples: after
            // the purge there are at least this many, whatever was appended.
            lastSize = std::min<size_t>(lastSize, 16000);
        }
    }
    capture.join();
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(rig.processor.audioEnergy().size(), 400u);
    EXPECT_EQ(seenByCallback.load(), 400u * 1600);
}

}  // namespace
