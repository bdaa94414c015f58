#pragma once
// The built `verbolin --listen` as its own process, for end-to-end tests:
// a model pack in a private data folder, a private PulseAudio server whose
// pipe source is the microphone, a speaker that plays speech into that pipe
// at real time, and the process's output and debug log in files.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/PrivatePulseServer.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TempDir.hpp"
#include "support/TrainedModel.hpp"

namespace testsupport {

// Makes the standard pack in `dataHome`/Verbolin/models/standard-v1 from the
// trained English test model. Returns whether it is the trained one (always,
// now that the model is kept with the tests).
inline bool makeDictationPack(const std::filesystem::path& dataHome) {
    convertTrainedModel(dataHome / "Verbolin/models/standard-v1");
    return true;
}

// Plays 16 kHz mono s16le into a FIFO at real time: the given samples, then
// silence until destroyed, as a microphone in a quiet room would.
class FifoSpeaker {
  public:
    FifoSpeaker(const std::filesystem::path& fifo, const std::vector<float>& samples) {
        for (float x : samples)
            pcm_.push_back(
                static_cast<int16_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 32767.0f)));
        fd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        // A source nobody records from stops reading; the speaker then drops
        // its audio instead of blocking for ever in write().
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] {
            using namespace std::chrono_literals;
            std::vector<int16_t> chunk(160);  // 10 ms
            auto next = std::chrono::steady_clock::now();
            for (std::size_t at = 0; !stop_; at += chunk.size(), next += 10ms) {
                for (std::size_t i = 0; i < chunk.size(); ++i)
                    chunk[i] = at + i < pcm_.size() ? pcm_[at + i] : 0;
                finished_ = at >= pcm_.size();
                if (::write(fd_, chunk.data(), chunk.size() * 2) < 0 && errno != EAGAIN) return;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~FifoSpeaker() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    FifoSpeaker(const FifoSpeaker&) = delete;
    FifoSpeaker& operator=(const FifoSpeaker&) = delete;

    bool finished() const { return finished_; }

  private:
    std::vector<int16_t> pcm_;
    int fd_ = -1;
    std::atomic<bool> stop_{false}, finished_{false};
    std::thread thread_;
};

// One run of `verbolin --listen` (or, with other arguments, of the window
// application) with its data, settings, state and debug folders in `dir`, against
// `pulse`. Killed with SIGKILL if still running at the end. With
// `termBeforeStart`, SIGTERM comes before the program has run a line of its
// own: sent while blocked, it waits through exec until the program lets it in.
// `inChild` runs in the child just before the program starts (a limit to set,
// more of the environment).
class HeadlessVerbolin {
  public:
    HeadlessVerbolin(const TempDir& dir, const PrivatePulseServer& pulse,
                     std::vector<std::string> arguments = {"--listen"},
                     bool termBeforeStart = false, const std::function<void()>& inChild = {})
        : dir_(dir.path()) {
        const std::string out = (dir_ / "out.txt").string(), err = (dir_ / "err.txt").string();
        pid_ = ::fork();
        if (pid_ != 0) return;
        ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
        ::setenv("PULSE_SERVER", pulse.serverString().c_str(), 1);
        ::setenv("VERBOLIN_DEBUG_DIR", (dir_ / "debug").c_str(), 1);
        ::unsetenv("VERBOLIN_INPUT_DEVICE");
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (termBeforeStart) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            ::sigprocmask(SIG_BLOCK, &term, nullptr);
            ::kill(::getpid(), SIGTERM);
        }
        if (inChild) inChild();
        std::vector<char*> argv{const_cast<char*>("verbolin")};
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(VERBOLIN_BINARY_DIR "/verbolin", argv.data());
        ::_exit(127);
    }
    ~HeadlessVerbolin() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    HeadlessVerbolin(const HeadlessVerbolin&) = delete;
    HeadlessVerbolin& operator=(const HeadlessVerbolin&) = delete;

    std::string out() const { return readFile(dir_ / "out.txt"); }
    std::string err() const { return readFile(dir_ / "err.txt"); }
    std::string events() const { return readFile(dir_ / "debug/events.log"); }
    std::filesystem::path dataFolder() const { return dir_ / "data/Verbolin"; }
    // Where the run keeps what it cannot save ($XDG_STATE_HOME).
    std::filesystem::path stateHome() const { return dir_ / "state"; }

    // Polls `done` every 2 ms until it holds (true), the process ends or
    // `timeout` passes (false).
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    void signal(int number) const { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // Processor time the process has used so far, all its threads together,
    // in seconds; a negative value when it cannot be read.
    double cpuSeconds() const {
        const std::string text = readFile("/proc/" + std::to_string(pid_) + "/stat");
        // Fields after the command name, which is in parentheses and may hold spaces.
        const auto close = text.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14 || i == 15) ticks += std::stod(field);
            if (i == 15) return ticks / double(::sysconf(_SC_CLK_TCK));
        }
        return -1;
    }

    // Waits for the process to end; its wait status, or none after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exited() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return status_;
    }

  private:
    bool exited() {
        if (status_) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = status;
        return true;
    }

    std::filesystem::path dir_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// How often `part` occurs in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The utterances `verbolin --listen` printed on standard output, in order.
inline std::vector<std::string> printedFinals(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace testsupport
