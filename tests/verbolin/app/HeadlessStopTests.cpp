// Stopping `verbolin --listen` in process, with a recogniser the test holds:
// the first signal waits for the utterance being decoded and says so, a
// second one gives it up at once and keeps its audio. The audio server is a
// private one, only asked whether it answers; the microphone is a fake.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "support/HeadlessVerbolin.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/ThreadGate.hpp"
#include "support/WaitUntil.hpp"
#include "verbolin/app/AppTestSupport.hpp"
#include "verbolin/headless/HeadlessCommands.hpp"
#include "verbolin/headless/SignalWatcher.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFinishing =
    "verbolin: finishing the last utterance; press Ctrl+C again to stop now (its audio is kept)";

using testsupport::waitUntil;

std::shared_ptr<platform::FakeAudioBackend> fakeMicrophone() {
    auto backend = std::make_shared<platform::FakeAudioBackend>();
    backend->script().format = {16000, 1};
    backend->script().devices = {{7, "Built-in Audio", 2}};
    return backend;
}

// The engine's services over the fake microphone and a recogniser the test
// holds; no pack is downloaded and nothing is recorded.
TranscriptionEngine::Services engineServices(std::shared_ptr<platform::FakeAudioBackend> backend,
                                             std::shared_ptr<FakeSpeechEngine> recogniser) {
    TranscriptionEngine::Services services;
    services.backend = std::move(backend);
    services.recorder = nullptr;
    services.makeEngine = [recogniser](const verbolin::EngineChoice&) { return recogniser; };
    services.install = [](const verbolin::ModelPack&, verbolin::ModelDownloader::ProgressFn,
                          std::stop_token, verbolin::ModelDownloader::Existing) {};
    return services;
}

// hangs: until the stop's cancellation; stuck: deaf to it, until released;
// queued: the utterance cut by the first signal waits for a decoding thread
// held before it takes it up, until the run ends; unready: the signal comes
// while the recogniser is still being prepared (held until the run ends),
// before anything is heard.
enum class Decode { none, finishes, hangs, stuck, queued, unready };
struct StopCase {
    const char* name;
    Decode decode;
    std::vector<int> signals;  // the later ones while the first one's stop waits
    // The feeding thread is held with a last buffer of silence when the stop
    // comes, until the run ends.
    bool feedHeld = false;
};

std::vector<fs::path> untranscribed(const verbolin::TranscriptStore& store) {
    const fs::path kept = store.directory() / "Untranscribed audio";
    std::vector<fs::path> files;
    if (fs::is_directory(kept))
        for (const auto& entry : fs::directory_iterator(kept)) files.push_back(entry.path());
    return files;
}

// What the case says to the microphone before the first signal: nothing, a
// whole utterance whose decode then runs (held), or an utterance still being
// spoken; and, with the feeding thread held, a last buffer it holds.
void speakBeforeTheSignal(const StopCase& c, platform::FakeAudioBackend& backend,
                          FakeSpeechEngine& recogniser, testsupport::ThreadGate& feedGate) {
    if (c.decode == Decode::unready) return;
    if (c.decode != Decode::none) {
        for (int i = 0; i < 5; ++i) backend.deliver(std::vector<float>(kFrame, 0.0f));
        for (int i = 0; i < 10; ++i) backend.deliver(speechFrame(size_t(i)));
    }
    // Queued: still being spoken when the first signal comes.
    if (c.decode != Decode::none && c.decode != Decode::queued) {
        for (int i = 0; i < 12; ++i) backend.deliver(std::vector<float>(kFrame, 0.0f));
        EXPECT_TRUE(recogniser.waitForCalls(1));  // the final's decode is held
    }
    if (c.feedHeld) {
        feedGate.shut();
        backend.deliver(std::vector<float>(kFrame, 0.0f));
        EXPECT_TRUE(feedGate.waitForHeld());
    }
}

// The last utterance is stored or its audio kept, never both; the terminal
// is told of the wait once, when there was one.
void expectKeptOnce(const StopCase& c, const std::string& err, const FakeSpeechEngine& recogniser,
                    const fs::path& dataFolder) {
    verbolin::TranscriptStore store(dataFolder);
    const std::vector<fs::path> files = untranscribed(store);
    // Told once, and only when a decode was still running. A decode let go
    // as soon as listening stops may end before the stop has finished
    // handing over the captured audio; then there is nothing to tell.
    const std::size_t told = testsupport::occurrences(err, kFinishing);
    if (c.decode == Decode::finishes)
        EXPECT_LE(told, 1u) << err;
    else
        EXPECT_EQ(told, c.decode == Decode::none || c.decode == Decode::unready ? 0u : 1u) << err;
    // Given up before its thread took it up, the decode never begins, not
    // even once that thread is let go.
    if (c.decode == Decode::queued) {
        EXPECT_TRUE(recogniser.calls().empty());
    }
    const bool audioKept =
        c.decode == Decode::hangs || c.decode == Decode::stuck || c.decode == Decode::queued;
    if (audioKept) {
        EXPECT_EQ(recogniser.cancelledCount(), c.decode == Decode::hangs ? 1 : 0);
        ASSERT_EQ(files.size(), 1u) << err;
        EXPECT_EQ(files[0].extension(), ".wav");
        EXPECT_NE(err.find(files[0].string()), std::string::npos) << err;
        EXPECT_TRUE(store.segments.peek().empty());
    } else {
        EXPECT_EQ(recogniser.cancelledCount(), 0);
        EXPECT_TRUE(files.empty()) << err;
        EXPECT_EQ(store.segments.peek().size(), c.decode == Decode::finishes ? 1u : 0u);
    }
}

}  // namespace

TEST(HeadlessStop, ASecondSignalGivesUpTheLastDecodeAndKeepsItsAudio) {
    const StopCase cases[] = {
        {"nothing to decode", Decode::none, {SIGINT}},
        {"the decode finishes", Decode::finishes, {SIGTERM}},
        {"Ctrl+C twice", Decode::hangs, {SIGINT, SIGINT}},
        {"SIGTERM, then the terminal closes", Decode::hangs, {SIGTERM, SIGHUP}},
        {"the terminal closes, then kill", Decode::hangs, {SIGHUP, SIGTERM}},
        {"kill twice, the recogniser deaf to the stop", Decode::stuck, {SIGTERM, SIGTERM}},
        {"kill once, the recogniser deaf to the stop", Decode::stuck, {SIGTERM}},
        {"kill twice, the decoding thread held", Decode::queued, {SIGTERM, SIGTERM}},
        {"Ctrl+C twice, the decoding thread held", Decode::queued, {SIGINT, SIGINT}},
        {"kill once, the feeding thread held", Decode::finishes, {SIGTERM}, true},
        {"kill while the model is prepared", Decode::unready, {SIGTERM}},
        {"Ctrl+C while the model is prepared", Decode::unready, {SIGINT}},
    };
    std::unique_ptr<testsupport::PrivatePulseServer> pulse;
    try {
        pulse = std::make_unique<testsupport::PrivatePulseServer>(std::vector<std::string>{});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no PulseAudio server could be started: " << e.what();
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnvironment env;
        ScopedEnv server("PULSE_SERVER", pulse->serverString());
        installStandardPack(env.dataPath());

        auto backend = fakeMicrophone();
        auto recogniser = std::make_shared<FakeSpeechEngine>();
        recogniser->setDefault(c.decode == Decode::stuck
                                   ? FakeSpeechEngine::Reply::stuck("last words")
                                   : FakeSpeechEngine::Reply::held("last words"));
        auto services = engineServices(backend, recogniser);
        testsupport::ThreadGate decodeGate, feedGate, prepareGate;
        services.beforeDecoding = decodeGate.hook();
        services.beforeFraming = feedGate.hook();
        services.makeEngine = [recogniser, hold = prepareGate.hook()](const auto&) {
            hold();
            return recogniser;
        };
        if (c.decode == Decode::queued) decodeGate.shut();
        if (c.decode == Decode::unready) prepareGate.shut();

        testing::internal::CaptureStderr();
        std::atomic<bool> returned{false};
        int status = -1;
        // Ending at once lets the process go with the decode still running;
        // here the test lets the decode go instead, so the command returns.
        std::atomic<int> endedAtOnce{0}, decodingAtEnd{-1};
        std::thread command([&] {
            status = verbolin::dictateHeadless(services, [&](int) {
                ++endedAtOnce;
                decodingAtEnd = recogniser->runningCalls();
                recogniser->release();
                decodeGate.open();
                feedGate.open();
                prepareGate.open();
            });
            returned = true;
        });
        const auto finish = [&] {
            if (!waitUntil([&] { return returned.load(); }, 30s)) {
                decodeGate.open();
                feedGate.open();
                prepareGate.open();
                ::kill(::getpid(), SIGINT);
            }
            command.join();
            return testing::internal::GetCapturedStderr();
        };
        if (c.decode == Decode::unready ? !prepareGate.waitForHeld() : !waitUntil([&] {
                return backend->runningCount() == 1;
            })) {
            ::kill(::getpid(), SIGINT);
            ADD_FAILURE() << "never listened\n" << finish();
            continue;
        }
        speakBeforeTheSignal(c, *backend, *recogniser, feedGate);

        ::kill(::getpid(), c.signals.front());
        // Listening has stopped; the stop waits for the held decode, which
        // only the drain's bound would end otherwise.
        EXPECT_TRUE(waitUntil([&] { return backend->runningCount() == 0; }));
        if (c.decode == Decode::queued) {
            EXPECT_TRUE(decodeGate.waitForHeld());
        }
        if (c.decode == Decode::finishes) recogniser->release();
        if (c.signals.size() > 1) {
            std::this_thread::sleep_for(100ms);
            EXPECT_FALSE(returned.load());
            const auto again = std::chrono::steady_clock::now();
            for (size_t i = 1; i < c.signals.size(); ++i) ::kill(::getpid(), c.signals[i]);
            // Well before the bound: the second signal ended it.
            EXPECT_TRUE(
                waitUntil([&] { return returned.load(); }, TranscriptionEngine::kDrainLimit / 2));
            std::cout << "[ INFO     ] " << c.name << ": returned "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - again)
                             .count()
                      << " ms after the second signal\n";
        }
        const std::string err = finish();
        EXPECT_EQ(status, 0) << err;

        // A decode that hears the stop is joined as it returns, but for a
        // machine too busy to let it return within the engine's grace. A
        // thread held past the end is left to end with the process.
        // A recogniser still being prepared is not waited for either.
        if (c.decode == Decode::stuck || c.decode == Decode::queued || c.feedHeld ||
            c.decode == Decode::unready) {
            EXPECT_EQ(endedAtOnce.load(), 1);
            EXPECT_EQ(decodingAtEnd.load(), c.decode == Decode::stuck ? 1 : 0);
        } else if (c.decode != Decode::hangs) {
            EXPECT_EQ(endedAtOnce.load(), 0);
        }
        expectKeptOnce(c, err, *recogniser, env.dataPath() / "Verbolin");
    }
}

// A process started with SIGHUP ignored (nohup) keeps ignoring it; the
// handlers the watcher replaced come back when it goes.
TEST(HeadlessStop, AnIgnoredHangUpStaysIgnoredAndTheHandlersComeBack) {
    struct sigaction ignore {
    }, before{}, now{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGHUP, &ignore, &before);
    {
        platform::RunLoop loop;
        const verbolin::SignalWatcher watcher(loop);
        ::sigaction(SIGHUP, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN);
        ::sigaction(SIGINT, nullptr, &now);
        EXPECT_NE(now.sa_handler, SIG_DFL);
        ::kill(::getpid(), SIGHUP);
        ::kill(::getpid(), SIGINT);
        loop.run();  // the SIGINT ends it
        EXPECT_EQ(watcher.count(), 1);
    }
    ::sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    ::sigaction(SIGHUP, &before, nullptr);
}

// The reader of standard output goes away while an utterance is being spoken
// (`verbolin --listen | head -n 1`): the next printed text fails to write,
// and the run stops as a signal would stop it, storing the utterance being
// spoken, instead of dying of SIGPIPE with it.
TEST(HeadlessStop, AClosedStandardOutputStopsTheRunAndKeepsWhatIsBeingSaid) {
    std::unique_ptr<testsupport::PrivatePulseServer> pulse;
    try {
        pulse = std::make_unique<testsupport::PrivatePulseServer>(std::vector<std::string>{});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no PulseAudio server could be started: " << e.what();
    }
    TestEnvironment env;
    ScopedEnv server("PULSE_SERVER", pulse->serverString());
    installStandardPack(env.dataPath());

    auto backend = fakeMicrophone();
    auto recogniser = std::make_shared<FakeSpeechEngine>();
    recogniser->script(FakeSpeechEngine::Reply::held("first words"));
    recogniser->setDefault(FakeSpeechEngine::Reply::say("second words"));
    auto services = engineServices(backend, recogniser);
    // Its log tells that the second utterance began. Nothing waits for that:
    // the stop hears every frame delivered before it, however far behind the
    // session's feeding thread still is when the first text fails to print.
    const fs::path debug = env.home.path() / "debug";
    const auto recorder = std::make_shared<verbolin::DebugRecorder>(debug);
    services.recorder = recorder;
    const auto speechStarts = [&] {
        recorder->flush();  // its writer may be behind on a busy machine
        return testsupport::occurrences(testsupport::readFile(debug / "events.log"),
                                        "\tspeech_start\t");
    };

    // Standard output becomes a pipe whose reader is gone before the first
    // text is printed; the test's own output goes back to the terminal after.
    std::fflush(stdout);
    const int terminal = ::dup(1);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::dup2(pipeEnds[1], 1);
    ::close(pipeEnds[1]);
    testing::internal::CaptureStderr();
    std::atomic<bool> returned{false};
    int status = -1;
    std::thread command([&] {
        status = verbolin::dictateHeadless(services);
        returned = true;
    });
    ::close(pipeEnds[0]);

    const bool listened = waitUntil([&] { return backend->runningCount() == 1; });
    if (listened) {
        // The first utterance ends and is decoded (held); the second is
        // being spoken when the first one's text cannot be printed.
        for (int i = 0; i < 5; ++i) backend->deliver(std::vector<float>(kFrame, 0.0f));
        for (int i = 0; i < 10; ++i) backend->deliver(speechFrame(size_t(i)));
        for (int i = 0; i < 12; ++i) backend->deliver(std::vector<float>(kFrame, 0.0f));
        recogniser->waitForCalls(1);
        for (int i = 0; i < 10; ++i) backend->deliver(speechFrame(size_t(i)));
        recogniser->release();
    }
    const bool ended = waitUntil([&] { return returned.load(); }, 30s);
    if (!ended) ::kill(::getpid(), SIGINT);
    command.join();
    const std::string err = testing::internal::GetCapturedStderr();
    std::fflush(stdout);
    std::clearerr(stdout);
    ::dup2(terminal, 1);
    ::close(terminal);

    ASSERT_TRUE(listened) << err;
    ASSERT_EQ(speechStarts(), 2u) << "the second utterance never began";
    // The folder is named where it does not stand in the texts' way.
    EXPECT_NE(err.find("Transcript: " + (env.dataPath() / "Verbolin").string() + "\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(ended) << "still running after its output was closed\n" << err;
    EXPECT_EQ(status, 0) << err;
    EXPECT_NE(err.find("standard output was closed"), std::string::npos) << err;
    verbolin::TranscriptStore store(env.dataPath() / "Verbolin");
    std::vector<std::string> texts;
    for (const auto& s : store.segments.peek()) texts.push_back(s.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"first words", "second words"})) << err;
}
