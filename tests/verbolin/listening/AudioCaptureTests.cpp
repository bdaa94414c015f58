#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>

#include "platform/system/AppError.hpp"
#include "support/FakeAudioBackend.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/AudioCapture.hpp"

using namespace std::chrono_literals;
using platform::AppError;
using platform::FakeAudioBackend;
using verbolin::AudioCapture;
using verbolin::DebugRecorder;

namespace {

class AudioCaptureTest : public ::testing::Test {
  protected:
    AudioCaptureTest()
        : backend(std::make_shared<FakeAudioBackend>()),
          main(clock),
          recorder(std::make_shared<DebugRecorder>(tmp.path(), clock)),
          capture(std::make_unique<AudioCapture>(backend, main, clock, recorder)) {
        recorder->beginSession();
    }

    // The debug events since the session began, as "name\tdetail".
    std::vector<std::string> events() {
        recorder->flush();
        std::vector<std::string> out;
        std::istringstream in(testsupport::readFile(tmp / "events.log"));
        std::string line;
        while (std::getline(in, line)) {
            auto tab = line.find('\t');
            std::string rest = line.substr(tab + 1);
            if (rest.rfind("session_", 0) != 0) out.push_back(rest);
        }
        return out;
    }

    // Throws what start() throws, as an AppError.
    AppError startError(AudioCapture::Options options = {}) {
        try {
            capture->start(options);
        } catch (const AppError& e) {
            return e;
        }
        ADD_FAILURE() << "start did not throw";
        return AppError("", 0, "");
    }

    testsupport::TempDir tmp;
    platform::VirtualClock clock;
    std::shared_ptr<FakeAudioBackend> backend;
    platform::ManualMainExecutor main;
    std::shared_ptr<DebugRecorder> recorder;
    std::unique_ptr<AudioCapture> capture;
};

std::vector<float> interleavedConstant(size_t frames, std::vector<float> perChannel) {
    std::vector<float> v;
    for (size_t i = 0; i < frames; ++i) v.insert(v.end(), perChannel.begin(), perChannel.end());
    return v;
}

}  // namespace

TEST_F(AudioCaptureTest, SixteenKilohertzMonoPassesThroughAndStereoIsAveraged) {
    backend->script().format = {16000, 2};
    auto stream = capture->start({});
    ASSERT_EQ(backend->deliver(interleavedConstant(1600, {0.4f, 0.0f})), 1);
    auto buf = stream->next(1s);
    ASSERT_TRUE(buf);
    ASSERT_EQ(buf->size(), 1600u);
    for (float x : *buf) ASSERT_FLOAT_EQ(x, 0.2f);
}

TEST_F(AudioCaptureTest, FortyEightKilohertzBuffersShrinkByThreeInOrder) {
    backend->script().format = {48000, 2};
    auto stream = capture->start({});
    const size_t frames = 4096;
    size_t total = 0;
    for (int b = 0; b < 12; ++b) {
        std::vector<float> in;
        for (size_t i = 0; i < frames; ++i) {
            float x = 0.5f * std::sin(2 * float(M_PI) * 440.0f * float(b * frames + i) / 48000.0f);
            in.push_back(x);
            in.push_back(x);
        }
        backend->deliver(in);
        auto out = stream->next(1s);
        ASSERT_TRUE(out) << b;
        EXPECT_LE(out->size(),
                  1365u + 32u);  // the capacity rule (scaled length + 32) bounds every buffer
        total += out->size();
    }
    EXPECT_EQ(stream->buffered(), 0u);  // one output per input buffer
    // 12 * 4096 / 3 = 16384, less the filter's look-ahead still buffered.
    EXPECT_GE(total, 16384u - 64u);
    EXPECT_LE(total, 16384u);
}

TEST_F(AudioCaptureTest, UnusableFormatsFailWithTheirCodesAndLeaveNothingOpen) {
    struct Case {
        platform::AudioFormat format;
        long code;
        std::string message;
    };
    const Case cases[] = {
        {{0, 1}, 1, "No usable input device"},
        {{48000, 0}, 1, "No usable input device"},
        {{-5, 2}, 1, "No usable input device"},
        {{48000, 65}, 2, "Cannot convert 65 ch, 48000 Hz, Float32, interleaved to 16 kHz mono"},
        {{44100.5, 2}, 2, "Cannot convert 2 ch, 44100 Hz, Float32, interleaved to 16 kHz mono"},
    };
    for (const auto& c : cases) {
        backend->script().format = c.format;
        AppError e = startError();
        EXPECT_EQ(e.domain(), "AudioCapture") << c.message;
        EXPECT_EQ(e.code(), c.code) << c.message;
        EXPECT_EQ(e.localizedDescription(), c.message);
        EXPECT_EQ(backend->runningCount(), 0);
    }
}

TEST_F(AudioCaptureTest, BackendErrorsPassUnchangedAndAFailedStartIsNeverRestarted) {
    backend->script().startFailure = "device busy";
    AppError e = startError();
    EXPECT_EQ(e.domain(), "FakeAudio");
    EXPECT_EQ(e.code(), 7);
    EXPECT_EQ(e.localizedDescription(), "device busy");
    backend->script().startFailure.reset();
    const int opened = backend->openCount();

    // Before the fix a later configuration change would have reopened the
    // device for a capture the owner believes is off.
    backend->changeConfiguration(true);
    main.advance(2s);
    EXPECT_EQ(backend->openCount(), opened);
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_TRUE(events().empty());

    backend->script().openFailure = "server gone";
    EXPECT_EQ(startError().localizedDescription(), "server gone");
}

TEST_F(AudioCaptureTest, AudioStartDescribesDeviceEchoCancellationAndFormat) {
    backend->script().format = {48000, 1};
    backend->script().voiceProcessingFailure = "voice processing refused";
    capture->start({std::nullopt, true});
    EXPECT_EQ(backend->runningCount(), 1);
    EXPECT_FALSE(backend->lastVoiceProcessing());
    capture->stop();

    backend->script().voiceProcessingFailure.reset();
    backend->script().format = {44100, 2};
    capture->start({7u, true});
    EXPECT_EQ(backend->lastRequestedDevice(), 7u);
    EXPECT_TRUE(backend->lastVoiceProcessing());
    capture->stop();

    capture->start({3u, false});
    EXPECT_FALSE(backend->lastVoiceProcessing());
    capture->stop();

    EXPECT_EQ(events(), (std::vector<std::string>{
                            "aec_unavailable\tvoice processing refused",
                            "audio_start\tdevice=default aec=false format=48000Hz/1ch",
                            "audio_start\tdevice=7 aec=true format=44100Hz/2ch",
                            "audio_start\tdevice=3 aec=false format=44100Hz/2ch",
                        }));
}

TEST_F(AudioCaptureTest, ChangeWhileTheEngineRunsIsIgnoredAndNotCounted) {
    int rebuilt = 0;
    capture->start({}, [&](const auto&) { ++rebuilt; });
    for (int i = 0; i < 7; ++i) backend->changeConfiguration(false);
    main.advance(1s);
    EXPECT_EQ(backend->openCount(), 1);
    EXPECT_EQ(rebuilt, 0);
    auto ev = events();
    ASSERT_EQ(ev.size(), 8u);
    for (size_t i = 1; i < ev.size(); ++i)
        EXPECT_EQ(ev[i], "audio_config_change\tengine still running; ignored");
}

TEST_F(AudioCaptureTest, FiveChangesWithinTenSecondsRestartTheSixthGivesUp) {
    int rebuilt = 0;
    auto stream = capture->start({5u, false}, [&](const std::optional<std::string>& restartError) {
        EXPECT_TRUE(main.isMainThread());
        EXPECT_EQ(restartError, std::nullopt);
        ++rebuilt;
    });
    for (int n = 1; n <= 5; ++n) {
        backend->changeConfiguration(true);
        main.runPending();
        EXPECT_EQ(backend->runningCount(), 0) << n;  // torn down at once
        main.advance(299ms);
        EXPECT_EQ(backend->openCount(), n) << n;  // not yet
        main.advance(1ms);
        EXPECT_EQ(backend->openCount(), n + 1) << n;
        EXPECT_EQ(backend->lastRequestedDevice(), 5u);  // same options
        EXPECT_EQ(backend->runningCount(), 1) << n;
        EXPECT_EQ(rebuilt, n);
    }
    backend->changeConfiguration(true);
    main.advance(1s);
    EXPECT_EQ(backend->openCount(), 6);
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_EQ(rebuilt, 5);
    EXPECT_EQ(stream->next(1s), std::nullopt);
    EXPECT_TRUE(stream->isFinished());

    auto ev = events();
    std::vector<std::string> expected = {"audio_start\tdevice=5 aec=false format=48000Hz/1ch"};
    for (int n = 1; n <= 5; ++n) {
        expected.push_back("audio_config_change\trestarting capture (" + std::to_string(n) +
                           " in 10 s)");
        expected.push_back("audio_start\tdevice=5 aec=false format=48000Hz/1ch");
    }
    expected.push_back("audio_config_change\trestarting capture (6 in 10 s)");
    expected.push_back("audio_error\ttoo many configuration changes; giving up");
    EXPECT_EQ(ev, expected);
}

TEST_F(AudioCaptureTest, ChangesMoreThanTenSecondsApartNeverGiveUp) {
    auto stream = capture->start({});
    for (int n = 0; n < 12; ++n) {
        backend->changeConfiguration(true);
        main.runPending();
        main.advance(2500ms);  // four changes per 10 s window at most
        ASSERT_EQ(backend->runningCount(), 1) << n;
    }
    EXPECT_FALSE(stream->isFinished());
    for (const auto& e : events()) EXPECT_EQ(e.find("(5 in 10 s)"), std::string::npos) << e;
}

TEST_F(AudioCaptureTest, SeveralNoticesOfOneEventRestartOnce) {
    int rebuilt = 0;
    capture->start({}, [&](const auto&) { ++rebuilt; });
    // A device going away reaches the main thread as several notices at once.
    backend->changeConfiguration(true);
    backend->changeConfiguration(false);
    backend->changeConfiguration(false);
    main.advance(1s);
    EXPECT_EQ(rebuilt, 1);
    EXPECT_EQ(backend->openCount(), 2);
    EXPECT_EQ(backend->runningCount(), 1);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "audio_start\tdevice=default aec=true format=48000Hz/1ch",
                            "audio_config_change\trestarting capture (1 in 10 s)",
                            "audio_start\tdevice=default aec=true format=48000Hz/1ch",
                        }));
}

TEST_F(AudioCaptureTest, FailedRestartIsRecordedKeepsTheStreamOpenAndRetriesWithBackoff) {
    int rebuilt = 0;
    std::optional<std::string> reported;
    auto stream = capture->start({}, [&](const std::optional<std::string>& restartError) {
        ++rebuilt;
        reported = restartError;
    });
    backend->changeConfiguration(true);
    main.runPending();
    backend->script().format = {0, 0};
    main.advance(300ms);
    EXPECT_EQ(rebuilt, 1);
    EXPECT_FALSE(stream->isFinished());
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_EQ(events().back(), "audio_error\tNo usable input device");
    EXPECT_EQ(reported, std::optional<std::string>("No usable input device"));

    // The next attempts come 0.6, 1.2, 2.4, 4.8 s after the one before, then
    // every 5 s; each is reported. The device is back after the fourth.
    const std::chrono::milliseconds gaps[] = {600ms, 1200ms, 2400ms, 4800ms, 5000ms, 5000ms};
    for (int n = 0; n < 6; ++n) {
        if (n == 4) backend->script().format = {48000, 1};
        main.advance(gaps[n] - 1ms);
        EXPECT_EQ(rebuilt, n + 1) << n;  // not yet
        main.advance(1ms);
        if (n < 4) {
            EXPECT_EQ(rebuilt, n + 2) << n;
            EXPECT_EQ(reported, std::optional<std::string>("No usable input device")) << n;
            EXPECT_EQ(backend->runningCount(), 0) << n;
        }
        if (n == 4) break;
    }
    EXPECT_EQ(rebuilt, 6);
    EXPECT_EQ(reported, std::nullopt);
    EXPECT_EQ(backend->runningCount(), 1);
    EXPECT_FALSE(stream->isFinished());
    // Rebuilt: no more attempts.
    main.advance(30s);
    EXPECT_EQ(rebuilt, 6);
    EXPECT_EQ(backend->openCount(), 7);
}

TEST_F(AudioCaptureTest, StopEndsTheRetries) {
    int attempts = 0;
    auto stream = capture->start({}, [&](const auto&) { ++attempts; });
    backend->script().openFailure = "Connection refused";
    backend->changeConfiguration(true);
    main.runPending();
    main.advance(2s);  // attempts at 0.3, 0.9 s
    EXPECT_EQ(attempts, 2);
    capture->stop();
    backend->script().openFailure.reset();
    main.advance(60s);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_TRUE(stream->isFinished());
}

TEST_F(AudioCaptureTest, StopCancelsAPendingRestartAndLaterChanges) {
    int rebuilt = 0;
    auto stream = capture->start({}, [&](const auto&) { ++rebuilt; });
    backend->changeConfiguration(true);
    main.runPending();  // restart now pending
    capture->stop();
    EXPECT_TRUE(stream->isFinished());
    main.advance(1s);
    EXPECT_EQ(backend->openCount(), 1);
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_EQ(rebuilt, 0);

    backend->changeConfiguration(true);  // after stop: nothing at all
    main.advance(1s);
    EXPECT_EQ(backend->openCount(), 1);
    EXPECT_EQ(events().size(), 2u);  // audio_start, one restarting
}

TEST_F(AudioCaptureTest, RestartPendingFromAnEarlierRunDoesNotDoubleANewStart) {
    capture->start({});
    backend->changeConfiguration(true);
    main.runPending();
    capture->stop();
    auto stream = capture->start({});
    main.advance(1s);
    EXPECT_EQ(backend->openCount(), 2);
    EXPECT_EQ(backend->runningCount(), 1);
    EXPECT_FALSE(stream->isFinished());
}

TEST_F(AudioCaptureTest, DestroyingACaptureClosesTheDeviceAndEndsTheStream) {
    auto stream = capture->start({});
    backend->changeConfiguration(true);
    main.runPending();
    capture->start({});  // a second start ends the first stream and reopens
    EXPECT_TRUE(stream->isFinished());
    auto second = capture->start({});
    EXPECT_EQ(backend->runningCount(), 1);
    capture.reset();
    EXPECT_EQ(backend->runningCount(), 0);
    EXPECT_TRUE(second->isFinished());
    main.advance(1s);  // the restart queued before holds only a dead capture
    EXPECT_EQ(backend->runningCount(), 0);
}

TEST_F(AudioCaptureTest, StopRacingRestartsAndAudioNeverLeavesADeviceRunning) {
    backend->script().format = {48000, 2};
    const std::vector<float> buffer = interleavedConstant(1024, {0.1f, 0.1f});
    for (int round = 0; round < 150; ++round) {
        auto stream = capture->start({}, [](const auto&) {});
        std::atomic<bool> stopped{false};
        std::thread mainThread([&] {
            for (int i = 0; i < 3 && !stopped; ++i) {
                backend->changeConfiguration(true);
                main.runPending();
                main.advance(300ms);
            }
        });
        std::thread audioThread([&] {
            while (!stopped) backend->deliver(buffer);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 9)));
        capture->stop();
        stopped = true;
        mainThread.join();
        audioThread.join();
        main.advance(1s);
        ASSERT_EQ(backend->runningCount(), 0) << round;
        ASSERT_TRUE(stream->isFinished());
    }
}

TEST(AudioCaptureDevices, ListsInputDevicesInOrderAndSkipsOutputOnlyOnes) {
    FakeAudioBackend backend;
    backend.script().devices = {{4, "USB Mic", 1}, {2, "HDMI Out", 0}, {9, "Headset", 2}};
    EXPECT_EQ(AudioCapture::inputDevices(backend),
              (std::vector<AudioCapture::Device>{{4, "USB Mic"}, {9, "Headset"}}));
    EXPECT_TRUE(AudioCapture::requestPermission(backend));
    backend.script().permission = false;
    EXPECT_FALSE(AudioCapture::requestPermission(backend));
}
