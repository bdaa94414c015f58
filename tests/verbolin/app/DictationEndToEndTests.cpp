// The headless application dictating for real: a private PulseAudio server's
// pipe source plays espeak-ng speech, `verbolin --listen` runs as its own
// process with a model pack in a temporary data folder, and afterwards the
// transcript database holds what was said, as close to it as the trained
// English test model's published error rate allows.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "support/HeadlessVerbolin.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TrainedModel.hpp"
#include "support/WordErrorRate.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The first four of the model's held-out sentences (none, and why, when the
// model's folder is not what it must be).
std::string sentencesError;
const std::vector<std::string> kSentences = [] {
    try {
        auto heldOut = testsupport::heldOutSentences();
        heldOut.resize(4);
        return heldOut;
    } catch (const std::exception& e) {
        sentencesError = e.what();
        return std::vector<std::string>{};
    }
}();

// The model's published error rate plus a margin. Measured: 0.414 in each of
// 11 runs through the app, quiet and under full load; a word of these four
// sentences is 0.034, so the margin allows three more wrong words.
constexpr double kWordErrorBound = testsupport::kTrainedModelPublishedWER + 0.10;

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Waits for `done`, failing when the deadline passes or the process ends.
void waitFor(pid_t pid, const std::function<bool()>& done, const fs::path& log) {
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!done()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << testsupport::readFile(log);
        ASSERT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << testsupport::readFile(log);
        std::this_thread::sleep_for(100ms);
    }
}

}  // namespace

TEST(DictationEndToEnd, SpokenSentencesReachTheTranscriptDatabase) {
    ASSERT_TRUE(testsupport::speechToolsAvailable()) << "espeak-ng and sox make the test speech";
    ASSERT_FALSE(kSentences.empty()) << sentencesError;
    testsupport::TempDir dir("verbolin-dictation");
    const fs::path pack = dir / "data/Verbolin/models/standard-v1";
    testsupport::convertTrainedModel(pack);
    testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());

    const fs::path debug = dir / "debug", out = dir / "out.txt", err = dir / "err.txt";
    const fs::path events = debug / "events.log";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("PULSE_SERVER", pulse.serverString().c_str(), 1);
        ::setenv("VERBOLIN_DEBUG_DIR", debug.c_str(), 1);
        ::unsetenv("VERBOLIN_INPUT_DEVICE");
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        ::execl(VERBOLIN_BINARY_DIR "/verbolin", "verbolin", "--listen",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = -1;
    {
        // Speak once the model is ready; stop once every utterance heard has
        // had its final.
        waitFor(
            pid, [&] { return testsupport::readFile(err).find("Listening.") != std::string::npos; },
            err);
        if (::testing::Test::HasFatalFailure()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"),
                                         testsupport::sentencesWithPauses(kSentences));
        waitFor(
            pid,
            [&] {
                const std::string log = testsupport::readFile(events);
                const auto saved = count(log, "\tutterance_saved\t");
                return speaker.finished() && saved > 0 && count(log, "\tfinal\t") >= saved;
            },
            events);
        ::kill(pid, ::testing::Test::HasFatalFailure() ? SIGKILL : SIGINT);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << testsupport::readFile(err);
    const std::string log = testsupport::readFile(events);
    EXPECT_EQ(count(log, "\tutterance_saved\t"), kSentences.size()) << log;
    EXPECT_EQ(count(testsupport::readFile(err), "Decode failed"), 0u) << testsupport::readFile(err);

    verbolin::TranscriptStore store(dir / "data/Verbolin");
    const auto& segments = store.segments.peek();
    std::string heard, stored;
    for (const auto& s : segments) {
        heard += s.text + " ";
        stored += s.text + "\n";
    }
    ASSERT_EQ(segments.size(), kSentences.size()) << log;
    // Standard output holds the texts alone, each once; the folder is named on standard error.
    EXPECT_EQ(testsupport::readFile(out), stored);
    const std::string named = "Transcript: " + (dir / "data/Verbolin").string() + "\n";
    EXPECT_NE(testsupport::readFile(err).find(named), std::string::npos)
        << testsupport::readFile(err);
    std::string said;
    for (const auto& sentence : kSentences) said += sentence + " ";
    const double wer = testsupport::wordErrorRate(said, heard);
    std::cout << "[ WER      ] " << wer << "\n";
    EXPECT_LE(wer, kWordErrorBound) << heard;
}
