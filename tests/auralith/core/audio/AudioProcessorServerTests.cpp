// The processor's live capture through a PulseAudio server of the test's own,
// whose pipe sources stand in for microphones.

#include <gtest/gtest.h>

#include <mutex>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "platform/audio/PulseAudioBackend.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/ToneFeeder.hpp"

namespace {

using namespace std::chrono_literals;
using auralith::AudioProcessor;

const std::vector<std::string> kScript = {
    "load-module module-null-sink sink_name=speakers",
    "load-module module-pipe-source source_name=mic1 file={dir}/mic1.fifo format=s16le rate=48000 "
    "channels=2",
    "load-module module-pipe-source source_name=mic2 file={dir}/mic2.fifo format=s16le rate=48000 "
    "channels=2",
    "set-default-source mic1",
};

class AudioProcessorServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        try {
            server = std::make_unique<testsupport::PrivatePulseServer>(kScript);
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
        backend = std::make_shared<platform::PulseAudioBackend>(server->serverString());
        processor = std::make_unique<AudioProcessor>(backend);
        for (const auto& d : AudioProcessor::getAudioDevices(*backend)) {
            if (d.name().find("mic1.fifo") != std::string::npos) mic1 = d.id();
            if (d.name().find("mic2.fifo") != std::string::npos) mic2 = d.id();
        }
    }
    void TearDown() override {
        processor.reset();
        backend.reset();
        server.reset();
    }

    void feed(const char* fifo, double seconds) {
        testsupport::ToneFeeder feeder(server->path(fifo), seconds, 0.5f);
        feeder.join();
        // Let the server hand over what it holds.
        std::this_thread::sleep_for(300ms);
    }

    // Feeds until some audio has arrived, so that the stream is known to be
    // connected before the measured tone starts.
    void primeUntilAudio(const char* fifo) {
        for (int i = 0; i < 50 && processor->audioSamples().empty(); ++i) feed(fifo, 0.1);
        ASSERT_FALSE(processor->audioSamples().empty()) << "no audio from " << fifo;
    }

    std::unique_ptr<testsupport::PrivatePulseServer> server;
    std::shared_ptr<platform::PulseAudioBackend> backend;
    std::unique_ptr<AudioProcessor> processor;
    std::optional<uint32_t> mic1, mic2;
};

TEST_F(AudioProcessorServerTest,
       OneSecondOfToneArrivesAsSixteenThousandSamplesWithOneEnergyEntryPerBuffer) {
    ASSERT_TRUE(mic1 && mic2) << "the pipe sources are listed";
    std::mutex m;
    std::vector<size_t> buffers;
    processor->startRecordingLive(mic1, [&](const std::vector<float>& s) {
        std::lock_guard lock(m);
        buffers.push_back(s.size());
    });
    primeUntilAudio("mic1.fifo");
    const size_t before = processor->audioSamples().size();
    feed("mic1.fifo", 1.0);
    processor->stopRecording();

    const auto samples = processor->audioSamples();
    const size_t arrived = samples.size() - before;
    // 1600 frames at 48 kHz per buffer: 30 buffers of 533 or 534 samples a
    // second; the server may still hold the last one.
    EXPECT_GE(arrived, 16000u - 1100u);
    EXPECT_LE(arrived, 16000u + 1100u);
    std::lock_guard lock(m);
    EXPECT_EQ(processor->audioEnergy().size(), buffers.size());
    for (size_t n : buffers) EXPECT_NEAR(double(n), 533.3, 1.0);
    const std::vector<float> tail(samples.begin() + long(before), samples.end());
    EXPECT_NEAR(testsupport::zeroCrossingHz(tail, 16000), 440, 15);
    EXPECT_NEAR(testsupport::rms(tail, 800, tail.size() - 800), 0.354, 0.03);
}

TEST_F(AudioProcessorServerTest, PauseDropsAudioAndResumeOnAnotherSourceReplacesTheEngine) {
    ASSERT_TRUE(mic1 && mic2);
    processor->startRecordingLive(mic1);
    primeUntilAudio("mic1.fifo");
    const auto engine = processor->audioEngine();

    processor->pauseRecording();
    const size_t paused = processor->audioSamples().size();
    // Short feeds while nobody records: an unread pipe holds only 64 KiB.
    feed("mic1.fifo", 0.2);
    EXPECT_EQ(processor->audioSamples().size(), paused) << "nothing is captured while paused";

    processor->resumeRecordingLive(mic1);
    EXPECT_EQ(processor->audioEngine(), engine);
    feed("mic1.fifo", 0.5);
    const size_t resumed = processor->audioSamples().size();
    EXPECT_GT(resumed, paused + 4000) << "the same engine captures again and earlier samples stay";

    processor->resumeRecordingLive(mic2);
    EXPECT_NE(processor->audioEngine(), engine);
    feed("mic1.fifo", 0.2);
    EXPECT_EQ(processor->audioSamples().size(), resumed) << "the old source's engine is gone";
    for (int i = 0; i < 20 && processor->audioSamples().size() <= resumed; ++i)
        feed("mic2.fifo", 0.2);
    EXPECT_GT(processor->audioSamples().size(), resumed) << "the new source delivers";
    processor->stopRecording();
    EXPECT_EQ(processor->audioEngine(), nullptr);
}

}  // namespace
