// The headless application keeps listening across a restart of the audio
// server: it says once that the microphone is gone and once that it is back,
// and what is said afterwards is transcribed and stored.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <iostream>

#include "support/HeadlessVerbolin.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::occurrences;

TEST(DictationReconnect, ListeningComesBackAfterTheAudioServerRestarts) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    // The speaker's pipe loses its reader when the server goes.
    ::signal(SIGPIPE, SIG_IGN);
    testsupport::TempDir dir("verbolin-reconnect");
    const bool trained = testsupport::makeDictationPack(dir / "data");
    testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
    testsupport::HeadlessVerbolin app(dir, pulse);
    // Listening is announced when the model is ready; the microphone opens
    // just after.
    ASSERT_TRUE(app.waitFor([&] {
        return app.events().find("\taudio_start\t") != std::string::npos;
    })) << app.err();
    {
        testsupport::FifoSpeaker quiet(pulse.path("mic.fifo"), {});
        std::this_thread::sleep_for(500ms);
        pulse.stop();
    }
    ASSERT_TRUE(app.waitFor(
        [&] { return app.err().find("microphone is unavailable") != std::string::npos; }, 10s))
        << app.err();
    std::this_thread::sleep_for(3s);  // the server stays away a while
    pulse.restart(0ms);
    const auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(app.waitFor(
        [&] { return app.err().find("The microphone is back") != std::string::npos; }, 15s))
        << app.err();
    std::cout << "[ INFO     ] listening again "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - back)
                     .count()
              << " ms after the server was back\n";

    {
        std::vector<float> sound(16000, 0.0f);
        const auto words = testsupport::speak("The quick brown fox jumps over the lazy dog.");
        sound.insert(sound.end(), words.begin(), words.end());
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
        ASSERT_TRUE(app.waitFor(
            [&] {
                const std::string log = app.events();
                const auto saved = occurrences(log, "\tutterance_saved\t");
                return speaker.finished() && saved > 0 && occurrences(log, "\tfinal\t") >= saved;
            },
            60s))
            << app.events() << app.err();
        app.signal(SIGINT);
        const auto status = app.wait(20s);
        ASSERT_TRUE(status.has_value()) << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();
    }
    const std::string err = app.err();
    EXPECT_EQ(occurrences(err, "microphone is unavailable"), 1u) << err;
    EXPECT_EQ(occurrences(err, "The microphone is back"), 1u) << err;
    if (trained) {
        verbolin::TranscriptStore store(app.dataFolder());
        EXPECT_EQ(store.segments.peek().size(), 1u) << app.events();
    }
}
