// The headless application keeps listening across a restart of the audio
// server: it says once that the microphone is gone and once that it is back,
// and what is said afterwards is transcribed and stored.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <iostream>

#include "support/HeadlessVerbolin.hpp"
#include "support/ThreadCpuTime.hpp"
#include "verbolin/listening/StreamSession.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::occurrences;

namespace {

// A headless run with a dictation pack, on a private server whose microphone
// is a pipe.
struct ListeningRun {
    testsupport::TempDir dir{"verbolin-reconnect"};
    bool trained = testsupport::makeDictationPack(dir / "data");
    testsupport::PrivatePulseServer pulse{testsupport::PrivatePulseServer::pipeMicrophone()};
    testsupport::HeadlessVerbolin app{dir, pulse};

    // Listening is announced when the model is ready; the microphone opens
    // just after.
    bool listening() {
        return app.waitFor(
            [&] { return app.events().find("\taudio_start\t") != std::string::npos; });
    }
};

}  // namespace

TEST(DictationReconnect, ListeningComesBackAfterTheAudioServerRestarts) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    // The speaker's pipe loses its reader when the server goes.
    ::signal(SIGPIPE, SIG_IGN);
    ListeningRun run;
    auto& trained = run.trained;
    auto& pulse = run.pulse;
    auto& app = run.app;
    ASSERT_TRUE(run.listening()) << app.err();
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

namespace {

// Starts `pulse` again and waits until the app has opened the microphone on
// it: an audio_start beyond those logged before.
bool restartAndWaitForCapture(testsupport::PrivatePulseServer& pulse,
                              testsupport::HeadlessVerbolin& app) {
    const auto seen = occurrences(app.events(), "\taudio_start\t");
    pulse.start();
    return app.waitFor([&] { return occurrences(app.events(), "\taudio_start\t") > seen; }, 10s);
}

}  // namespace

// The server killed outright in the middle of a sentence: what was said up to
// then is a whole utterance, transcribed and stored at once rather than held
// until the server is back; the wait for it costs no processor time, and
// listening resumes on the server that comes back.
TEST(DictationReconnect, WordsSpokenAsTheServerIsKilledAreStoredAndTheWaitIsIdle) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    ::signal(SIGPIPE, SIG_IGN);
    ListeningRun run;
    auto& pulse = run.pulse;
    auto& app = run.app;
    ASSERT_TRUE(run.listening()) << app.err();
    {
        std::vector<float> sound(8000, 0.0f);
        const auto words = testsupport::speak("The quick brown fox jumps over the lazy dog.");
        sound.insert(sound.end(), words.begin(), words.end());
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
        ASSERT_TRUE(app.waitFor(
            [&] { return app.events().find("\tspeech_start\t") != std::string::npos; }, 20s))
            << app.events();
        std::this_thread::sleep_for(1200ms);  // about half the sentence
        pulse.crash();
    }
    ASSERT_TRUE(app.waitFor(
        [&] { return app.err().find("microphone is unavailable") != std::string::npos; }, 10s))
        << app.err();
    ASSERT_TRUE(app.waitFor([&] { return !testsupport::printedFinals(app.out()).empty(); }, 30s))
        << app.events() << app.err();
    const auto printed = testsupport::printedFinals(app.out());
    ASSERT_EQ(printed.size(), 1u) << app.out();

    // Retrying every few seconds is all the process does meanwhile; a loop
    // that spun on the dead connection would take a whole core.
    const double before = app.cpuSeconds();
    std::this_thread::sleep_for(3s);
    const double used = app.cpuSeconds() - before;
    ASSERT_GE(before, 0.0);
    EXPECT_LT(used, 0.5 * testsupport::kSanitizerScale) << "seconds of processor time in 3 s";

    ASSERT_TRUE(restartAndWaitForCapture(pulse, app)) << app.events() << pulse.log();
    ASSERT_TRUE(app.waitFor(
        [&] { return app.err().find("The microphone is back") != std::string::npos; }, 10s))
        << app.err();
    app.signal(SIGINT);
    const auto status = app.wait(20s);
    ASSERT_TRUE(status.has_value()) << app.err();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();
    verbolin::TranscriptStore store(app.dataFolder());
    const auto segments = store.segments.peek();
    ASSERT_EQ(segments.size(), 1u) << app.events();
    EXPECT_EQ(segments[0].text, printed[0]);
}

// The server dies again right after the capture reopened on it, while the
// capture is still settling. A few such losses are ridden out and listening
// goes on; a server that keeps dying (a crash loop: six losses within 10 s)
// makes the capture give up, and the run then says so and ends with status 1
// instead of waiting, deaf, for ever.
TEST(DictationReconnect, AServerThatDiesAgainAsItComesBackIsRiddenOutUntilItKeepsDying) {
    if (!testsupport::speechToolsAvailable()) GTEST_SKIP() << "espeak-ng or sox is missing";
    ::signal(SIGPIPE, SIG_IGN);
    const struct {
        const char* name;
        int againAfterBack;  // losses right after the capture reopened
        bool givesUp;
    } cases[] = {
        {"lost again once", 1, false},
        {"lost again three times", 3, false},
        {"a crash loop", 5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ListeningRun run;
        auto& pulse = run.pulse;
        auto& app = run.app;
        ASSERT_TRUE(run.listening()) << app.err();
        pulse.crash();
        for (int i = 0; i < c.againAfterBack; ++i) {
            ASSERT_TRUE(restartAndWaitForCapture(pulse, app)) << app.events() << pulse.log();
            pulse.crash();
        }
        if (c.givesUp) {
            const auto status = app.wait(20s);
            ASSERT_TRUE(status.has_value()) << "still running after the capture gave up\n"
                                            << app.err() << app.events();
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
            EXPECT_EQ(occurrences(app.err(), verbolin::StreamSession::kCaptureGaveUpMessage), 1u)
                << app.err();
            continue;
        }
        ASSERT_TRUE(restartAndWaitForCapture(pulse, app)) << app.events() << pulse.log();
        {
            std::vector<float> sound(16000, 0.0f);
            const auto words = testsupport::speak("The quick brown fox jumps over the lazy dog.");
            sound.insert(sound.end(), words.begin(), words.end());
            testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
            ASSERT_TRUE(app.waitFor(
                [&] {
                    const std::string log = app.events();
                    const auto saved = occurrences(log, "\tutterance_saved\t");
                    return speaker.finished() && saved > 0 &&
                           occurrences(log, "\tfinal\t") >= saved;
                },
                60s))
                << app.events() << app.err();
        }
        app.signal(SIGINT);
        const auto status = app.wait(20s);
        ASSERT_TRUE(status.has_value()) << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();
        EXPECT_EQ(occurrences(app.err(), verbolin::StreamSession::kCaptureGaveUpMessage), 0u);
        verbolin::TranscriptStore store(app.dataFolder());
        EXPECT_EQ(store.segments.peek().size(), 1u) << app.events();
    }
}

// The server comes back hung (its socket accepts, nothing answers) while the
// capture is reconnecting on the main thread. Ctrl+C still ends the run
// promptly instead of after libpulse's own 30 s wait for the server.
TEST(DictationReconnect, CtrlCWhileReconnectingToAHungServerEndsTheRunPromptly) {
    ::signal(SIGPIPE, SIG_IGN);
    ListeningRun run;
    auto& pulse = run.pulse;
    auto& app = run.app;
    ASSERT_TRUE(run.listening()) << app.err();
    pulse.crash();
    ASSERT_TRUE(app.waitFor(
        [&] { return app.err().find("microphone is unavailable") != std::string::npos; }, 10s))
        << app.err();
    pulse.start();
    pulse.freeze(true);
    // The next attempt (at most 1.2 s after the loss) is waiting on it now.
    std::this_thread::sleep_for(1500ms);
    app.signal(SIGINT);
    // It ends about 2 s after the signal (the answer timeout); 25 s leaves
    // room for a busy machine and still tells it from libpulse's 30 s.
    const auto status = app.wait(25s);
    pulse.freeze(false);
    ASSERT_TRUE(status.has_value()) << "no end 25 s after Ctrl+C\n" << app.err() << app.events();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << app.err();
}
