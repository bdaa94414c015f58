// Capture through a real PulseAudio server that the test starts privately: a
// pipe source stands in for the microphone and is fed a known tone.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/audio/PulseAudioBackend.hpp"
#include "platform/audio/PulseConnection.hpp"
#include "platform/audio/PulseInputStream.hpp"
#include "platform/system/AppError.hpp"
#include "support/ChildTest.hpp"
#include "support/ManualMainExecutor.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/SpareDescriptors.hpp"
#include "support/ToneFeeder.hpp"
#include "verbolin/listening/AudioCapture.hpp"

using namespace std::chrono_literals;
using testsupport::PrivatePulseServer;
using testsupport::ToneFeeder;
using verbolin::AudioCapture;
using verbolin::DebugRecorder;

namespace {

const std::vector<std::string> kScript = {
    "load-module module-null-sink sink_name=speakers",
    "load-module module-pipe-source source_name=testmic file={dir}/mic.fifo format=s16le "
    "rate=48000 channels=2",
    "set-default-source testmic",
};

class AudioCaptureServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        try {
            server = std::make_unique<PrivatePulseServer>(kScript);
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
        backend = std::make_shared<platform::PulseAudioBackend>(server->serverString());
        recorder = std::make_shared<DebugRecorder>(server->path("debug"), clock);
        recorder->beginSession();
        capture = std::make_unique<AudioCapture>(backend, main, clock, recorder);
    }
    void TearDown() override {
        capture.reset();
        backend.reset();
        server.reset();
    }

    std::vector<std::string> events() {
        recorder->flush();
        std::vector<std::string> out;
        std::istringstream in(testsupport::readFile(server->path("debug") / "events.log"));
        std::string line;
        while (std::getline(in, line)) {
            std::string rest = line.substr(line.find('\t') + 1);
            if (rest.rfind("session_", 0) != 0) out.push_back(rest);
        }
        return out;
    }

    // Runs the main executor until `done` holds or 30 seconds pass.
    template <class F>
    bool pumpUntil(F done) {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            main.runPending();
            if (done()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::unique_ptr<PrivatePulseServer> server;
    std::shared_ptr<platform::PulseAudioBackend> backend;
    platform::VirtualClock clock;
    platform::ManualMainExecutor main{clock};
    std::shared_ptr<DebugRecorder> recorder;
    std::unique_ptr<AudioCapture> capture;
};

double rms(const std::vector<float>& v, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to; ++i) s += double(v[i]) * v[i];
    return std::sqrt(s / double(to - from));
}

}  // namespace

TEST_F(AudioCaptureServerTest, ListsTheServersInputsAndCapturesAToneAsSixteenKilohertzMono) {
    auto devices = AudioCapture::inputDevices(*backend);
    ASSERT_EQ(devices.size(), 1u) << "the monitor of the null sink must not be listed";
    EXPECT_NE(devices[0].name.find("mic.fifo"), std::string::npos) << devices[0].name;
    auto def = backend->defaultInputDevice();
    ASSERT_TRUE(def);
    EXPECT_EQ(def->id, devices[0].id);
    EXPECT_EQ(def->inputChannels, 2u);

    auto stream = capture->start({devices[0].id, false});
    std::vector<float> got;
    {
        ToneFeeder feeder(server->path("mic.fifo"), 1.0, 0.5f);
        feeder.join();
        // Collect until the server has nothing more to hand over.
        while (auto buf = stream->next(1500ms)) got.insert(got.end(), buf->begin(), buf->end());
    }
    capture->stop();
    EXPECT_TRUE(stream->isFinished());

    // One second of 48 kHz stereo is 16000 mono samples at 16 kHz; the last
    // fragment the server was still filling and the filter's look-ahead may
    // be missing.
    EXPECT_GE(got.size(), 16000u - 1400u);
    EXPECT_LE(got.size(), 16000u + 50u);
    ASSERT_GT(got.size(), 8000u);
    // A sine of amplitude 0.5 in both channels: RMS 0.354, 440 crossings a second.
    EXPECT_NEAR(rms(got, 1600, got.size() - 800), 0.5 / std::sqrt(2.0), 0.02);
    int crossings = 0;
    for (size_t i = 1601; i < got.size() - 800; ++i)
        if (got[i - 1] < 0 && got[i] >= 0) ++crossings;
    EXPECT_NEAR(crossings / (double(got.size() - 2400) / 16000.0), 440.0, 5.0);

    EXPECT_EQ(events().front(), "audio_start\tdevice=" + std::to_string(devices[0].id) +
                                    " aec=false format=48000Hz/2ch");
}

TEST_F(AudioCaptureServerTest, EchoCancellationLoadsTheServersModuleAndRemovesItAfterwards) {
    auto stream = capture->start({std::nullopt, true});
    auto ev = events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.front().rfind("audio_start\tdevice=default aec=true format=", 0), 0u)
        << ev.front();
    EXPECT_EQ(AudioCapture::inputDevices(*backend).size(), 1u)
        << "our canceller's source is hidden";
    {
        ToneFeeder feeder(server->path("mic.fifo"), 0.5, 0.5f);
        auto buf = stream->next(3s);
        EXPECT_TRUE(buf) << "no audio through the echo canceller";
    }
    capture->stop();

    platform::PulseConnection c(server->serverString());
    platform::PulseConnection::Lock lock(c);
    for (const auto& s : c.sources())
        EXPECT_NE(s.name.rfind(platform::PulseInputStream::kEchoCancelPrefix, 0), 0u)
            << s.name << " left behind";
}

TEST_F(AudioCaptureServerTest, ServerChangesReachTheCaptureAndALostDeviceIsReplaced) {
    int rebuilt = 0;
    auto stream = capture->start({std::nullopt, false}, [&](const auto&) { ++rebuilt; });
    const std::string ignored = "audio_config_change\tengine still running; ignored";
    auto has = [&](const std::string& e) {
        auto ev = events();
        return std::find(ev.begin(), ev.end(), e) != ev.end();
    };

    // A new device appears: the running stream is not disturbed.
    ASSERT_EQ(server->pactl("load-module module-null-source source_name=spare"), 0);
    EXPECT_TRUE(pumpUntil([&] { return has(ignored); }));
    EXPECT_EQ(rebuilt, 0);

    // The device being recorded goes away: the server ends our stream, and
    // 0.3 s later the capture starts again on the new default device.
    ASSERT_EQ(server->pactl("unload-module module-pipe-source"), 0);
    EXPECT_TRUE(pumpUntil([&] {
        return has("audio_config_change\trestarting capture (1 in 10 s)");
    })) << testsupport::readFile(server->path("debug") / "events.log");
    main.advance(300ms);
    EXPECT_EQ(rebuilt, 1);
    auto ev = events();
    EXPECT_EQ(ev.back().rfind("audio_start\tdevice=default aec=false format=", 0), 0u) << ev.back();
    EXPECT_FALSE(stream->isFinished());
    capture->stop();
}

TEST_F(AudioCaptureServerTest, ANewDefaultInputIsFollowedUnlessADeviceWasChosen) {
    const uint32_t mic = AudioCapture::inputDevices(*backend).at(0).id;
    ASSERT_EQ(
        server->pactl("load-module module-null-source source_name=headset rate=32000 channels=1"),
        0);
    auto has = [&](const std::string& e) {
        auto ev = events();
        return std::find(ev.begin(), ev.end(), e) != ev.end();
    };

    // Recording the chosen microphone: a new default changes nothing.
    auto chosen = capture->start({mic, false});
    ASSERT_EQ(server->pactl("set-default-source headset"), 0);
    EXPECT_TRUE(
        pumpUntil([&] { return has("audio_config_change\tengine still running; ignored"); }));
    main.advance(300ms);
    EXPECT_FALSE(has("audio_config_change\trestarting capture (1 in 10 s)"));
    capture->stop();

    // Recording the default input, also through an echo canceller on it: the
    // capture moves to the new default.
    int restarts = 0;
    for (const bool aec : {false, true}) {
        SCOPED_TRACE(aec ? "with echo cancellation" : "without echo cancellation");
        ASSERT_EQ(server->pactl("set-default-source testmic"), 0);
        auto followed = capture->start({std::nullopt, aec});
        ASSERT_EQ(server->pactl("set-default-source headset"), 0);
        const std::string restarting =
            "audio_config_change\trestarting capture (" + std::to_string(++restarts) + " in 10 s)";
        EXPECT_TRUE(pumpUntil([&] { return has(restarting); }))
            << testsupport::readFile(server->path("debug") / "events.log");
        main.advance(300ms);
        auto ev = events();
        if (aec) {
            EXPECT_EQ(ev.back().rfind("audio_start\tdevice=default aec=true format=", 0), 0u)
                << ev.back();
        } else {
            EXPECT_EQ(ev.back(), "audio_start\tdevice=default aec=false format=32000Hz/1ch");
        }
        EXPECT_FALSE(followed->isFinished());
        capture->stop();
    }
}

// A server that hangs (stopped, deadlocked) keeps its socket and answers
// nothing. Every request to it gives up after the answer timeout instead of
// libpulse's 30 s: the capture's restarts run on the thread that runs the
// window, and a quit waits for them.
TEST_F(AudioCaptureServerTest, EveryRequestToAHungServerGivesUpWithinTheAnswerTimeout) {
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* name;
        std::function<std::function<void()>()> prepare;  // runs before the freeze
    } cases[] = {
        {"connecting",
         [&]() -> std::function<void()> {
             return [&] {
                 try {
                     platform::PulseConnection c(server->serverString());
                     ADD_FAILURE() << "connected to a hung server";
                 } catch (const platform::AppError& e) {
                     EXPECT_EQ(e.code(), PA_ERR_TIMEOUT) << e.what();
                 }
             };
         }},
        {"listing the inputs",
         [&]() -> std::function<void()> {
             return [&] {
                 testing::internal::CaptureStderr();
                 EXPECT_TRUE(backend->inputDevices().empty());
                 testing::internal::GetCapturedStderr();
             };
         }},
        {"opening the microphone",
         [&]() -> std::function<void()> {
             return [&] { EXPECT_ANY_THROW(capture->start({std::nullopt, false})); };
         }},
        {"a query on a connection made before",
         [&]() -> std::function<void()> {
             auto c = std::make_shared<platform::PulseConnection>(server->serverString());
             return [c] {
                 platform::PulseConnection::Lock lock(*c);
                 EXPECT_TRUE(c->sources().empty());
             };
         }},
        {"stopping a capture through an echo canceller",
         [&]() -> std::function<void()> {
             capture->start({std::nullopt, true});
             return [&] { capture->stop(); };
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto act = c.prepare();
        server->freeze(true);
        const auto began = Clock::now();
        act();
        const auto took = Clock::now() - began;
        server->freeze(false);
        // libpulse alone would take 30 s; the bound leaves room for a busy machine.
        EXPECT_LT(took, std::chrono::seconds(20))
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
        capture->stop();
    }
}

TEST(PulseAudioBackend, NoServerMeansNoDevicesAndAnErrorOnOpen) {
    testsupport::TempDir tmp;
    platform::PulseAudioBackend backend("unix:" + (tmp / "nothing-here").string());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(backend.inputDevices().empty());
    EXPECT_FALSE(backend.defaultInputDevice());
    const std::string log = testing::internal::GetCapturedStderr();
    // The failure is not silent: both queries say why they came back empty.
    EXPECT_NE(log.find("could not query input devices: "), std::string::npos) << log;
    EXPECT_NE(log.find("could not query the default input device: "), std::string::npos) << log;
    try {
        backend.openInput(std::nullopt);
        FAIL() << "opened a stream without a server";
    } catch (const platform::AppError& e) {
        EXPECT_EQ(e.domain(), "PulseAudio");
        EXPECT_EQ(std::string(e.what()).rfind("Cannot connect to the audio server: ", 0), 0u)
            << e.what();
    }
}

namespace {

constexpr const char* kStarvedServer = "VERBOLIN_TEST_STARVED_SERVER";
constexpr const char* kStarvedSpare = "VERBOLIN_TEST_STARVED_SPARE";
constexpr const char* kStarvedOutcome = "VERBOLIN_TEST_STARVED_OUTCOME";

// Connects to `server` in a child process whose descriptors run out `spare`
// numbers above its lowest free one. Gives "connected", or the error's code
// and text.
std::string connectShortOfDescriptors(const std::string& server, int spare) {
    testsupport::TempDir dir("verbolin-starved");
    const std::string outcome = (dir / "outcome").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(kStarvedServer, server.c_str(), 1);
        ::setenv(kStarvedSpare, std::to_string(spare).c_str(), 1);
        ::setenv(kStarvedOutcome, outcome.c_str(), 1);
        testsupport::runDisabledTestInThisChild(
            "starved-child", "StarvedConnectionChild.DISABLED_ConnectsAndReports");
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "the child failed";
    return testsupport::readFile(outcome);
}

}  // namespace

// Run by connectShortOfDescriptors() in a process of its own.
TEST(StarvedConnectionChild, DISABLED_ConnectsAndReports) {
    const char* server = std::getenv(kStarvedServer);
    const char* spare = std::getenv(kStarvedSpare);
    const char* outcomePath = std::getenv(kStarvedOutcome);
    ASSERT_TRUE(server && spare && outcomePath);
    testsupport::SpareDescriptors starved(std::atoi(spare));
    ASSERT_TRUE(starved.set());
    std::string outcome;
    try {
        platform::PulseConnection c(server);
        starved.restore();
        outcome = "connected";
    } catch (const platform::AppError& e) {
        starved.restore();
        outcome = std::to_string(e.code()) + " " + e.what();
    }
    std::ofstream(outcomePath) << outcome;
}

// libpulse says a process out of file descriptors was refused (its socket()
// failed) or broke the protocol (the descriptors the server handed over were
// dropped, with no errno): whichever descriptor ran out, the error names the
// system's reason, and not a missing server.
TEST(PulseAudioBackend, AProcessOutOfDescriptorsIsToldSo) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan, built in beside it, opens a pipe to check an object's type, and
    // takes a refused one for a bad object.
    GTEST_SKIP() << "the sanitizer's checks need descriptors of their own";
#endif
    PrivatePulseServer server({"load-module module-null-source source_name=mic"});
    std::set<long> libpulseCodes;
    bool connected = false;
    for (int spare = 0; spare < 16 && !connected; ++spare) {
        SCOPED_TRACE(std::to_string(spare) + " descriptors spare");
        const std::string outcome = connectShortOfDescriptors(server.serverString(), spare);
        connected = outcome == "connected";
        if (connected) break;
        const auto space = outcome.find(' ');
        ASSERT_NE(space, std::string::npos) << outcome;
        libpulseCodes.insert(std::stol(outcome.substr(0, space)));
        EXPECT_EQ(outcome.substr(space + 1),
                  "Cannot open a connection to the audio server: Too many open files");
    }
    EXPECT_TRUE(connected) << "no connection with descriptors to spare";
    EXPECT_TRUE(libpulseCodes.contains(PA_ERR_CONNECTIONREFUSED) &&
                libpulseCodes.contains(PA_ERR_PROTOCOL))
        << "not each of libpulse's ways to say it was met";
}
