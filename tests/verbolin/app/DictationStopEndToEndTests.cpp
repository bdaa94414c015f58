// Stopping the headless application while it dictates, end to end: the built
// `verbolin --listen` hears espeak-ng speech through a private PulseAudio
// server and is stopped by a signal while the sentence is still being spoken,
// or while its decode runs, or before it is ready. Every stop must end the
// process normally (no crash) and store what was heard, exactly once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>

#include "support/HeadlessVerbolin.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = false;
#endif

using namespace std::chrono_literals;
using testsupport::occurrences;

namespace {

const char* const kSentence = "Please send the report to the team by Friday afternoon.";

struct LogLine {
    std::string name, detail;
};

std::vector<LogLine> parseLog(const std::string& text) {
    std::vector<LogLine> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto a = line.find('\t');
        const auto b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        lines.push_back({line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return lines;
}

// Index of the first line named `name` whose detail starts with `prefix`.
std::optional<size_t> indexOf(const std::vector<LogLine>& lines, const std::string& name,
                              const std::string& prefix = "") {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].name == name && lines[i].detail.rfind(prefix, 0) == 0) return i;
    return std::nullopt;
}

class DictationStop : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testsupport::speechToolsAvailable()) return;
        packHome_ = new testsupport::TempDir("verbolin-stop-pack");
        trained_ = testsupport::makeDictationPack(packHome_->path());
        if (!trained_)
            std::cout << "[ INFO     ] the trained whisper-synth-en model is absent (set "
                         "VERBOLIN_TRAINED_MODEL): checking with random weights only\n";
    }
    static void TearDownTestSuite() {
        delete packHome_;
        packHome_ = nullptr;
    }

    void SetUp() override {
        if (!packHome_) GTEST_SKIP() << "espeak-ng or sox is missing";
    }

    // A data folder of its own holding the suite's pack.
    static void installPack(const testsupport::TempDir& dir) {
        fs::create_directories(dir / "data");
        fs::copy(packHome_->path(), dir / "data", fs::copy_options::recursive);
    }

    static testsupport::PrivatePulseServer makePulse() {
        return testsupport::PrivatePulseServer(testsupport::PrivatePulseServer::pipeMicrophone());
    }

    // One second of silence, the sentence, then silence.
    static std::vector<float> speech() {
        std::vector<float> s(16000, 0.0f);
        const auto words = testsupport::speak(kSentence);
        s.insert(s.end(), words.begin(), words.end());
        return s;
    }

    static inline testsupport::TempDir* packHome_ = nullptr;
    static inline bool trained_ = false;
};

}  // namespace

TEST_F(DictationStop, ASignalStoresTheUtteranceBeingSpokenOrDecodedAndEndsNormally) {
    struct Case {
        const char* name;
        int signal;
        // Whether it is time to send the signal, from the debug log.
        std::function<bool(const std::vector<LogLine>&)> due;
        bool duringDecode;
    };
    auto speakingFor = [](std::chrono::milliseconds enough) {
        auto since = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();
        return [since, enough](const std::vector<LogLine>& log) {
            if (!indexOf(log, "speech_start")) return false;
            if (!*since) *since = std::chrono::steady_clock::now();
            return std::chrono::steady_clock::now() - **since >= enough;
        };
    };
    const Case cases[] = {
        {"SIGINT while the sentence is spoken", SIGINT, speakingFor(1500ms), false},
        {"SIGTERM while its decode runs", SIGTERM,
         [](const std::vector<LogLine>& log) {
             return indexOf(log, "decode_start", "final").has_value();
         },
         true},
        // The terminal window closes, or the user logs out.
        {"SIGHUP while the sentence is spoken", SIGHUP, speakingFor(1500ms), false},
    };
    const auto sound = speech();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir("verbolin-stop");
        installPack(dir);
        auto pulse = makePulse();
        testsupport::HeadlessVerbolin app(dir, pulse);
        ASSERT_TRUE(app.waitFor([&] { return app.err().find("Listening.") != std::string::npos; }))
            << app.err();
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
        ASSERT_TRUE(app.waitFor([&] { return c.due(parseLog(app.events())); }, 60s))
            << app.events();
        const auto signalled = std::chrono::steady_clock::now();
        app.signal(c.signal);
        const auto status = app.wait(20s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - signalled);
        std::cout << "[ INFO     ] " << c.name << ": exit " << took.count()
                  << " ms after the signal\n";
        ASSERT_TRUE(status.has_value()) << "still running 20 s after the signal\n" << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "wait status " << *status << "\n"
            << app.err();

        const std::string events = app.events();
        const auto log = parseLog(events);
        const auto stop = indexOf(log, "session_end");
        ASSERT_TRUE(stop) << events;
        if (kInstrumentedBuild && occurrences(events, "decode_abandoned") > 0) {
            // A sanitizer's decode on a busy machine can outlast the stop's
            // bound; its audio must then be kept, the other half of the promise.
            const fs::path kept = app.dataFolder() / "Untranscribed audio";
            EXPECT_TRUE(fs::is_directory(kept) && !fs::is_empty(kept)) << events;
            continue;
        }
        // The utterance was cut into a final after the stop (or was being
        // decoded at it), and its decode ended after the stop.
        const auto saved = indexOf(log, "utterance_saved");
        ASSERT_TRUE(saved) << events;
        size_t lastDecodeEnd = 0;
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].name == "decode_end" && log[i].detail.rfind("final", 0) == 0)
                lastDecodeEnd = i;
        EXPECT_GT(lastDecodeEnd, *stop) << events;
        if (c.duringDecode) {
            EXPECT_LT(*indexOf(log, "decode_start", "final"), *stop) << events;
        } else {
            // Still being spoken at the stop: it never ended by itself.
            EXPECT_FALSE(indexOf(log, "speech_end").has_value()) << events;
        }
        EXPECT_EQ(occurrences(events, "\tutterance_saved\t"), occurrences(events, "\tfinal\t"))
            << events;
        EXPECT_EQ(occurrences(events, "decode_abandoned"), 0u) << events;

        // Every final with text is a row, printed once; nothing else is.
        verbolin::TranscriptStore store(app.dataFolder());
        const std::string out = app.out();
        size_t nonEmpty = 0;
        for (const auto& line : log)
            if (line.name == "final" && !line.detail.empty()) ++nonEmpty;
        EXPECT_EQ(store.segments.peek().size(), nonEmpty) << events;
        for (const auto& s : store.segments.peek())
            EXPECT_EQ(occurrences(out, s.text + "\n"), 1u) << s.text << "\n" << out;
        if (trained_) {
            EXPECT_GE(store.segments.peek().size(), 1u) << events;
        }
    }
}

TEST_F(DictationStop, ASignalWhileTheModelLoadsEndsTheRunCleanly) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        testsupport::TempDir dir("verbolin-stop-early");
        installPack(dir);
        auto pulse = makePulse();
        testsupport::HeadlessVerbolin app(dir, pulse);
        // Named on standard error once the transcript is open, before the model is.
        ASSERT_TRUE(app.waitFor([&] { return app.err().find("Transcript:") != std::string::npos; }))
            << app.err();
        app.signal(signal);
        const auto status = app.wait(20s);
        ASSERT_TRUE(status.has_value()) << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "wait status " << *status << "\n"
            << app.err();
    }
}

// A user who presses Ctrl+C again while the last utterance is decoded, at
// any moment: the process ends normally and the utterance is either stored
// or its audio kept, never lost and never both.
TEST_F(DictationStop, ASecondSignalAtAnyMomentKeepsTheUtteranceOneWayOrTheOther) {
    std::mt19937 random(std::random_device{}());
    const auto sound = speech();
    for (int trial = 0; trial < 3; ++trial) {
        const auto gap =
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 300)(random));
        SCOPED_TRACE("signalled again after " + std::to_string(gap.count()) + " ms");
        testsupport::TempDir dir("verbolin-stop-twice");
        installPack(dir);
        auto pulse = makePulse();
        testsupport::HeadlessVerbolin app(dir, pulse);
        ASSERT_TRUE(app.waitFor([&] { return app.err().find("Listening.") != std::string::npos; }))
            << app.err();
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
        ASSERT_TRUE(app.waitFor(
            [&] { return indexOf(parseLog(app.events()), "speech_start").has_value(); }, 60s))
            << app.events();
        std::this_thread::sleep_for(1500ms);
        app.signal(SIGINT);
        std::this_thread::sleep_for(gap);
        app.signal(SIGINT);
        const auto again = std::chrono::steady_clock::now();
        const auto status = app.wait(20s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - again);
        ASSERT_TRUE(status.has_value()) << "still running 20 s after the signals\n" << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "wait status " << *status << "\n"
            << app.err();

        const std::string events = app.events();
        const auto log = parseLog(events);
        const auto stop = indexOf(log, "session_end");
        ASSERT_TRUE(stop) << events;
        size_t decoded = 0;
        for (size_t i = *stop; i < log.size(); ++i) decoded += log[i].name == "final";
        const size_t abandoned = occurrences(events, "decode_abandoned");
        EXPECT_EQ(decoded + abandoned, 1u) << events;
        std::cout << "[ INFO     ] again after " << gap.count()
                  << " ms: " << (abandoned ? "audio kept" : "text stored") << ", exit "
                  << took.count() << " ms after the second signal\n";
        const fs::path kept = app.dataFolder() / "Untranscribed audio";
        const size_t files =
            fs::is_directory(kept)
                ? size_t(std::distance(fs::directory_iterator(kept), fs::directory_iterator()))
                : 0;
        EXPECT_EQ(files, abandoned) << app.err();
        size_t nonEmpty = 0;
        for (const auto& line : log)
            if (line.name == "final" && !line.detail.empty()) ++nonEmpty;
        EXPECT_EQ(verbolin::TranscriptStore(app.dataFolder()).segments.peek().size(), nonEmpty)
            << events;
    }
}

// A kill -9 gives no chance to finish anything: whatever was printed must be
// stored already, once.
TEST_F(DictationStop, AKillAtAnyMomentKeepsEveryPrintedTextStoredOnce) {
    std::mt19937 random(std::random_device{}());
    std::vector<float> sound;
    for (const char* sentence : {"The quick brown fox jumps over the lazy dog.", kSentence}) {
        sound.insert(sound.end(), 16000, 0.0f);
        const auto words = testsupport::speak(sentence);
        sound.insert(sound.end(), words.begin(), words.end());
    }
    for (int trial = 0; trial < 3; ++trial) {
        const auto delay = std::chrono::milliseconds(
            std::uniform_int_distribution<int>(1500, int(sound.size() / 16) + 2500)(random));
        SCOPED_TRACE("killed " + std::to_string(delay.count()) + " ms into the speech");
        testsupport::TempDir dir("verbolin-kill");
        installPack(dir);
        auto pulse = makePulse();
        testsupport::HeadlessVerbolin app(dir, pulse);
        ASSERT_TRUE(app.waitFor([&] { return app.err().find("Listening.") != std::string::npos; }))
            << app.err();
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"), sound);
        std::this_thread::sleep_for(delay);
        app.signal(SIGKILL);
        ASSERT_TRUE(app.wait(10s).has_value());

        verbolin::TranscriptStore store(app.dataFolder());
        std::istringstream printed(app.out());
        std::string line;
        std::vector<std::string> texts;
        for (const auto& s : store.segments.peek()) texts.push_back(s.text);
        size_t printedCount = 0;
        while (std::getline(printed, line)) {
            ++printedCount;
            EXPECT_EQ(std::count(texts.begin(), texts.end(), line), 1) << line;
        }
        EXPECT_GE(texts.size(), printedCount);
    }
}
