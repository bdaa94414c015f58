#pragma once
// A PulseAudio server of the test's own: its runtime directory, socket and
// configuration live in a temporary folder, so it never touches a desktop's
// server. It is stopped, and the folder removed, when the object goes away;
// it also dies with the test process.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/PulseConnection.hpp"
#include "support/TempDir.hpp"

extern char** environ;

namespace testsupport {

class PrivatePulseServer {
  public:
    // A 16 kHz mono microphone, "mic", fed through the pipe "{dir}/mic.fifo"
    // and made the default source: what dictation tests speak into.
    static std::vector<std::string> pipeMicrophone() {
        return {
            "load-module module-pipe-source source_name=mic file={dir}/mic.fifo format=s16le "
            "rate=16000 channels=1",
            "set-default-source mic"};
    }

    // Starts the server with the native protocol on its own socket plus the
    // given script lines, in which "{dir}" stands for the server's folder.
    // Throws std::runtime_error, with the server's log, when it cannot start.
    explicit PrivatePulseServer(const std::vector<std::string>& scriptLines)
        : dir_("verbolin-pulse") {
        const std::string dir = dir_.path().string();
        {
            std::ofstream script(dir_ / "server.pa");
            script << "load-module module-native-protocol-unix socket=" << dir
                   << "/native auth-anonymous=1\n";
            for (std::string line : scriptLines) {
                for (size_t at; (at = line.find("{dir}")) != std::string::npos;)
                    line.replace(at, 5, dir);
                script << line << "\n";
            }
        }
        launch();
    }

    ~PrivatePulseServer() { terminate(); }

    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    std::string serverString() const { return "unix:" + (dir_ / "native").string(); }
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    std::string log() const { return readFile(dir_ / "server.log"); }

    // Stops the server, as a crash or a restart of the desktop's audio would,
    // and starts it again on the same socket after `downtime`.
    void restart(std::chrono::milliseconds downtime) {
        terminate();
        std::this_thread::sleep_for(downtime);
        launch();
    }
    void stop() { terminate(); }
    // Kills the server outright (SIGKILL), as a crash would: no goodbye to its
    // clients, its socket file left behind. start() brings it back.
    void crash() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        // A pipe source removes its FIFO on a clean exit, and will not start
        // again on one that is left: a real device has no such leftover.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path(), ignored))
            if (entry.is_fifo(ignored)) std::filesystem::remove(entry.path(), ignored);
    }
    void start() {
        if (pid_ <= 0) launch();
    }
    // Stops or continues the server process (SIGSTOP, SIGCONT): a server that
    // hangs keeps its socket open but answers nothing.
    void freeze(bool frozen) {
        if (pid_ > 0) kill(pid_, frozen ? SIGSTOP : SIGCONT);
    }

    // Runs pactl against this server; returns its exit status.
    int pactl(const std::string& arguments) const {
        std::string cmd = "PULSE_SERVER='" + serverString() + "' pactl " + arguments + " >>'" +
                          (dir_ / "pactl.log").string() + "' 2>&1";
        return std::system(cmd.c_str());
    }

  private:
    // Starts the server process on the folder's script and waits until it
    // answers.
    void launch() {
        const std::string dir = dir_.path().string();
        std::vector<std::string> args = {"pulseaudio",
                                         "-n",
                                         "-F",
                                         dir + "/server.pa",
                                         "--daemonize=no",
                                         "--exit-idle-time=-1",
                                         "--use-pid-file=no",
                                         "--log-target=stderr"};
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("XDG_RUNTIME_DIR=", 0) == 0 || v.rfind("HOME=", 0) == 0 ||
                v.rfind("PULSE_", 0) == 0)
                continue;
            env.push_back(v);
        }
        env.push_back("XDG_RUNTIME_DIR=" + dir);
        env.push_back("HOME=" + dir);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string logPath = dir + "/server.log";
        const std::string program = findProgram("pulseaudio");
        if (program.empty())
            throw std::runtime_error(
                "Cannot start a private PulseAudio server for the test: the pulseaudio program is "
                "not on PATH "
                "(scripts/install-deps installs the Debian package pulseaudio)");

        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("cannot fork to start pulseaudio");
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execve(program.c_str(), argv.data(), envp.data());
            _exit(127);
        }

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        std::string lastError;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                fail("pulseaudio exited during start-up");
            }
            try {
                platform::PulseConnection probe(serverString());
                return;
            } catch (const std::exception& e) {
                lastError = e.what();
            }
            if (std::chrono::steady_clock::now() > deadline)
                fail("no connection within 15 s: " + lastError);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    static std::string findProgram(const std::string& name) {
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "/usr/bin:/bin";
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            std::string candidate = dirs.substr(start, end - start) + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
            start = end + 1;
        }
        return access(("/usr/bin/" + name).c_str(), X_OK) == 0 ? "/usr/bin/" + name : "";
    }

    [[noreturn]] void fail(const std::string& why) {
        std::string text =
            "Cannot start a private PulseAudio server for the test: " + why + "\n" + log();
        terminate();
        throw std::runtime_error(text);
    }

    void terminate() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    TempDir dir_;
    pid_t pid_ = -1;
};

}  // namespace testsupport
