// The headless application dictating for real: a private PulseAudio server's
// pipe source plays espeak-ng speech, `verbolin --listen` runs as its own
// process with a model pack in a temporary data folder, and afterwards the
// transcript database holds what was said.
//
// With the trained English test model (VERBOLIN_SYNTH_MODEL, or
// ../shared/models/whisper-synth-en beside the source tree) the stored text
// must match the sentences; without it a random-weights pack only shows that
// the whole path runs.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "auralith/utilities/StringExtensions.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::TempDir;

namespace {

const std::vector<std::string> kSentences = {
    "The quick brown fox jumps over the lazy dog.",
    "Please send the report to the team by Friday.",
};

int run(const std::string& command) {
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

std::optional<fs::path> trainedModel() {
    if (const char* env = std::getenv("VERBOLIN_SYNTH_MODEL"); env && *env) return fs::path(env);
    const fs::path beside = fs::path(VERBOLIN_TEST_DATA_DIR) / ".." / ".." / ".." / "shared" / "models" /
                            "whisper-synth-en";
    std::error_code ec;
    if (fs::is_regular_file(beside / "config.json", ec)) return beside;
    return std::nullopt;
}

// The word error rate the trained model's notes state, else a quarter.
double publishedErrorRate(const fs::path& model) {
    std::ifstream in(model / "README.md");
    std::stringstream text;
    text << in.rdbuf();
    std::smatch m;
    const std::string s = text.str();
    if (std::regex_search(s, m, std::regex(R"((?:WER|word error rate)[^0-9%]{0,40}([0-9]+(?:\.[0-9]+)?)\s*%)",
                                           std::regex::icase)))
        return std::stod(m[1]) / 100.0;
    return 0.25;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(auralith::normalized(text));
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

double wordErrorRate(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
    std::vector<std::vector<std::size_t>> d(ref.size() + 1, std::vector<std::size_t>(hyp.size() + 1));
    for (std::size_t i = 0; i <= ref.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= hyp.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= ref.size(); ++i)
        for (std::size_t j = 1; j <= hyp.size(); ++j)
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1])});
    return ref.empty() ? 0.0 : double(d[ref.size()][hyp.size()]) / double(ref.size());
}

// Plays 16 kHz mono s16le into the FIFO at real time: the speech, then
// silence until stopped, as a microphone in a quiet room would deliver.
class Speaker {
  public:
    Speaker(const fs::path& fifo, std::vector<int16_t> speech) : speech_(std::move(speech)) {
        fd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + fifo.string());
        thread_ = std::thread([this] {
            std::vector<int16_t> chunk(160);  // 10 ms
            auto next = std::chrono::steady_clock::now();
            for (std::size_t at = 0; !stop_; at += chunk.size()) {
                for (std::size_t i = 0; i < chunk.size(); ++i)
                    chunk[i] = at + i < speech_.size() ? speech_[at + i] : 0;
                if (at >= speech_.size()) finished_ = true;
                if (::write(fd_, chunk.data(), chunk.size() * 2) <= 0) return;
                next += 10ms;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Speaker() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool finished() const { return finished_; }

  private:
    std::vector<int16_t> speech_;
    int fd_ = -1;
    std::atomic<bool> stop_{false}, finished_{false};
    std::thread thread_;
};

std::vector<int16_t> readRaw(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// The sentences, each after two seconds of silence (one ends an utterance),
// then two more seconds.
std::vector<int16_t> speech(const TempDir& dir) {
    std::vector<int16_t> all;
    for (std::size_t i = 0; i < kSentences.size(); ++i) {
        const auto wav = dir / ("s" + std::to_string(i) + ".wav"), raw = dir / ("s" + std::to_string(i) + ".raw");
        if (run("espeak-ng -v en -s 150 -w " + q(wav) + " '" + kSentences[i] + "' >/dev/null 2>&1") != 0 ||
            run("sox " + q(wav) + " -r 16000 -c 1 -b 16 -e signed-integer -t raw " + q(raw) + " >/dev/null 2>&1") != 0)
            throw std::runtime_error("espeak-ng or sox failed");
        all.insert(all.end(), 32000, 0);
        const auto s = readRaw(raw);
        all.insert(all.end(), s.begin(), s.end());
    }
    all.insert(all.end(), 32000, 0);
    return all;
}

struct Child {
    pid_t pid = -1;
    int status = -1;

    bool exited(std::chrono::seconds within) {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            int raw = 0;
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(DictationEndToEnd, SpokenSentencesReachTheTranscriptDatabase) {
    TempDir dir("verbolin-dictation");
    const fs::path pack = dir / "data" / "Verbolin" / "models" / "standard-v1";
    const fs::path tool = fs::path(VERBOLIN_BINARY_DIR) / "verbolin-models";
    const auto trained = trainedModel();
    if (trained) {
        ASSERT_EQ(run(q(tool) + " convert " + q(*trained) + " " + q(pack) + " >/dev/null 2>&1"), 0);
    } else {
        std::cout << "[ INFO     ] no trained test model (set VERBOLIN_SYNTH_MODEL or provide "
                     "../shared/models/whisper-synth-en): checking the path with random weights only\n";
        const fs::path tokenizer = fs::path(VERBOLIN_TEST_DATA_DIR) / "whisper-en-tokenizer";
        ASSERT_EQ(run(q(tool) + " random " + q(pack) + " --tokenizer " + q(tokenizer) +
                      " --dims d_model=64,heads=2,ffn=128,layers=2,vocab_size=51864 >/dev/null 2>&1"),
                  0);
    }
    ASSERT_TRUE(fs::exists(pack / "tokenizer" / "tokenizer.json"));

    testsupport::PrivatePulseServer pulse({
        "load-module module-null-sink sink_name=speakers",
        "load-module module-pipe-source source_name=testmic file={dir}/mic.fifo format=s16le rate=16000 channels=1",
        "set-default-source testmic",
    });
    const auto audio = speech(dir);

    Child app;
    const fs::path debug = dir / "debug", out = dir / "stdout.txt", err = dir / "stderr.txt";
    fs::create_directories(debug);
    app.pid = ::fork();
    ASSERT_GE(app.pid, 0);
    if (app.pid == 0) {
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("PULSE_SERVER", pulse.serverString().c_str(), 1);
        ::setenv("VERBOLIN_DEBUG_DIR", debug.c_str(), 1);
        ::unsetenv("VERBOLIN_INPUT_DEVICE");
        ::unsetenv("VERBOLIN_VOICE_PROCESSING");
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        const std::string program = (fs::path(VERBOLIN_BINARY_DIR) / "verbolin").string();
        ::execl(program.c_str(), program.c_str(), "--listen", static_cast<char*>(nullptr));
        ::_exit(127);
    }

    // Speak once the model is ready and the microphone is open.
    const auto readyBy = std::chrono::steady_clock::now() + 120s;
    while (readText(err).find("Listening.") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), readyBy) << readText(err);
        ASSERT_FALSE(app.exited(0s)) << "exit " << app.status << ": " << readText(err);
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(500ms);
    {
        Speaker speaker(pulse.path("mic.fifo"), audio);
        // Every utterance heard has had its final once the speech is over.
        const auto doneBy = std::chrono::steady_clock::now() + 120s;
        auto settled = [&] {
            const std::string log = readText(debug / "events.log");
            const auto saved = count(log, "\tutterance_saved\t");
            return speaker.finished() && saved > 0 && count(log, "\tfinal\t") >= saved;
        };
        while (!settled()) {
            ASSERT_LT(std::chrono::steady_clock::now(), doneBy) << readText(debug / "events.log");
            ASSERT_FALSE(app.exited(0s)) << "exit " << app.status << ": " << readText(err);
            std::this_thread::sleep_for(100ms);
        }
        ::kill(app.pid, SIGINT);
        ASSERT_TRUE(app.exited(30s)) << "verbolin did not stop on SIGINT";
    }
    EXPECT_EQ(app.status, 0) << readText(err);
    const std::string events = readText(debug / "events.log");
    EXPECT_EQ(count(events, "\tutterance_saved\t"), kSentences.size()) << events;
    EXPECT_EQ(count(readText(err), "Decode failed"), 0u) << readText(err);

    verbolin::TranscriptStore store(dir / "data" / "Verbolin");
    const auto& segments = store.segments.peek();
    if (!trained) {
        // Random weights say nothing sensible, and the output filters may
        // drop it all; whatever was stored was printed too.
        for (const auto& s : segments) EXPECT_NE(readText(out).find(s.text), std::string::npos);
        return;
    }
    ASSERT_EQ(segments.size(), kSentences.size()) << events;
    std::string heard, said;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        heard += segments[i].text + " ";
        said += kSentences[i] + " ";
        EXPECT_LT(segments[i].start, segments[i].end);
    }
    EXPECT_LE(wordErrorRate(words(said), words(heard)), publishedErrorRate(*trained)) << heard;
}
