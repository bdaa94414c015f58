// The verbolin program's own texts, run as a process: help and version, a
// wrong argument, a pack that is missing or does not load, no audio server,
// no display, the transcript's state; one listener per data folder; a signal that comes
// while the program starts.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "support/GeneratedAudio.hpp"
#include "support/HeadlessVerbolin.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/app/InstanceLock.hpp"
#include "verbolin/headless/CommandLine.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using verbolin::CommandLine;
using Action = CommandLine::Action;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// Runs a built program with `environment` assignments in front.
ProgramRun run(const std::string& program, const std::string& arguments,
               const std::string& environment = "") {
    testsupport::TempDir dir("verbolin-cli");
    const std::string command = environment + " " + VERBOLIN_BINARY_DIR + "/" + program + " " +
                                arguments + " >'" + (dir / "out").string() + "' 2>'" +
                                (dir / "err").string() + "' </dev/null";
    const int raw = std::system(command.c_str());
    ProgramRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testsupport::readFile(dir / "out");
    r.err = testsupport::readFile(dir / "err");
    return r;
}

// The data and settings of a run in `home`, for run()'s environment.
std::string homeEnv(const testsupport::TempDir& home) {
    return "XDG_DATA_HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" + home.path().string() +
           "'";
}

// A random-weights pack, quick to make and to load: enough to listen with.
void makeRandomPack(const std::filesystem::path& dataHome) {
    testsupport::runTool(std::string("'") + VERBOLIN_BINARY_DIR + "/verbolin-models' random '" +
                         (dataHome / "Verbolin/models/standard-v1").string() +
                         "' --tokenizer '" VERBOLIN_TEST_DATA_DIR
                         "/whisper-en-tokenizer' --dims d_model=64,heads=2,ffn=128,layers=2");
}

// Whether the process has a handler of its own for `signal` (not the default
// action, not ignored), as /proc shows it.
bool catches(pid_t pid, int signal) {
    const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigCgt:\t");
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    return (mask >> (signal - 1)) & 1;
}

// Holds the data folder's lock with the process id written in it.
bool holdsLock(const std::filesystem::path& dataFolder, pid_t pid) {
    return testsupport::readFile(verbolin::InstanceLock::lockFile(dataFolder)) ==
           std::to_string(pid) + "\n";
}

}  // namespace

TEST(CommandLine, ArgumentsChooseTheAction) {
    struct Case {
        std::vector<std::string> arguments;
        Action action;
    };
    const Case cases[] = {
        {{}, Action::application},
        {{"--listen"}, Action::listen},
        {{"--status"}, Action::status},
        {{"--listen", "--listen"}, Action::listen},
        {{"-h"}, Action::help},
        {{"--bogus", "--help"}, Action::help},
        {{"--listen", "--version"}, Action::version},
        {{"--listen", "--status"}, Action::invalid},
        {{"--lsiten"}, Action::invalid},
        {{"listen"}, Action::invalid},
        {{"--listen", ""}, Action::invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandLine line = CommandLine::parse(c.arguments);
        EXPECT_EQ(line.action, c.action);
        EXPECT_EQ(line.error.empty(), c.action != Action::invalid) << line.error;
    }
    EXPECT_EQ(CommandLine::parse({"--lsiten"}).error, "unknown option \"--lsiten\"");
}

TEST(HeadlessCommands, HelpAndVersionPrintAndSucceed) {
    for (const char* option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        const ProgramRun r = run("verbolin", option);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CommandLine::helpText());
        for (const char* mentioned :
             {"--listen", "--version", "VERBOLIN_INPUT_DEVICE", "VERBOLIN_AUTOSTART",
              "VERBOLIN_DEBUG_DIR", "VERBOLIN_VOICE_PROCESSING", "XDG_DATA_HOME", "HF_TOKEN"})
            EXPECT_NE(r.out.find(mentioned), std::string::npos) << mentioned;
    }
    const ProgramRun version = run("verbolin", "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, CommandLine::versionText() + "\n");
    EXPECT_NE(version.out.find(" 0."), std::string::npos) << version.out;

    const ProgramRun wrong = run("verbolin", "--lsiten");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(wrong.out.empty());
    EXPECT_NE(wrong.err.find("unknown option \"--lsiten\""), std::string::npos) << wrong.err;

    const ProgramRun tool = run("verbolin-models", "--help");
    EXPECT_EQ(tool.status, 0) << tool.err;
    for (const char* mentioned : {"convert", "random", "--tokenizer", "standard-v1"})
        EXPECT_NE(tool.out.find(mentioned), std::string::npos) << mentioned;
}

// Qt would abort with a message about platform plugins; an unset DISPLAY
// and one that does not answer are both said plainly, with status 1.
TEST(HeadlessCommands, WithoutADisplayTheWindowlessWaysAreNamed) {
    testsupport::TempDir home("verbolin-cli-home");
    // A display number nothing listens on here.
    int free = 90;
    while (free > 10 && std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(free))) --free;
    const std::string noServer = ":" + std::to_string(free);
    const struct {
        std::string display;  // "-" for unset
        std::string why;
    } rows[] = {
        {"-", "(DISPLAY is not set)"},
        {"", "(DISPLAY is not set)"},
        {noServer, "(the display \"" + noServer + "\" named by DISPLAY cannot be opened)"},
        {"not a display", "(the display \"not a display\" named by DISPLAY cannot be opened)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.display);
        const std::string display =
            row.display == "-" ? "-u DISPLAY" : "DISPLAY='" + row.display + "'";
        const ProgramRun r =
            run("verbolin", "",
                "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + display + " " + homeEnv(home));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("no graphical display found " + row.why), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("verbolin --listen"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << r.err;
    }
}

// The counts read as English at every size.
TEST(HeadlessCommands, StatusCountsSegmentsAndSessions) {
    const struct {
        int segments, sessions;
        const char* line;
    } rows[] = {
        {0, 0, "Transcript: 0 segments, 0 sessions\n"},
        {1, 1, "Transcript: 1 segment, 1 session\n"},
        {2, 3, "Transcript: 2 segments, 3 sessions\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        testsupport::TempDir home("verbolin-cli-home");
        {
            verbolin::TranscriptStore store(home / "Verbolin");
            for (int i = 0; i < row.sessions; ++i) store.startSession("session");
            for (int i = 0; i < row.segments; ++i) {
                verbolin::Segment s;
                s.start = platform::dateFromSecondsSince1970(1714557600.0 + 10 * i);
                s.end = s.start + std::chrono::seconds(1);
                s.text = "words";
                store.append(s);
            }
        }
        const ProgramRun r = run("verbolin", "--status", homeEnv(home));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.line), std::string::npos) << r.out;
    }
}

// --status says "installed" only for a pack that --listen can load, and what
// is wrong with one that is there but does not load.
TEST(HeadlessCommands, StatusSaysInstalledOnlyForAPackThatLoads) {
    struct Row {
        const char* name;
        std::function<void(const std::filesystem::path& pack)> make;
        std::string line;
    };
    const auto write = [](const std::filesystem::path& file, const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    };
    const Row rows[] = {
        {"no pack", [](const auto&) {}, "Speech model: Standard, not installed\n"},
        {"no tokenizer",
         [&](const auto& pack) { write(pack / "TextDecoder.mlmodelc/model.mil", "{}"); },
         "Speech model: Standard, not installed\n"},
        {"both parts, but no model in them",
         [&](const auto& pack) {
             write(pack / "TextDecoder.mlmodelc/model.mil", "{}");
             write(pack / "tokenizer/tokenizer.json", "{}");
         },
         "Speech model: Standard, installed but unusable: "},
        {"a pack that loads",
         [](const auto& pack) { makeRandomPack(pack.parent_path().parent_path().parent_path()); },
         "Speech model: Standard, installed\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir home("verbolin-cli-home");
        row.make(home / "Verbolin/models/standard-v1");
        const ProgramRun r = run("verbolin", "--status", homeEnv(home));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.line), std::string::npos) << r.out;
    }
}

TEST(HeadlessCommands, NoAudioServerIsSaidBeforeClaimingToListen) {
    testsupport::TempDir home("verbolin-cli-home");
    const auto pack = home / "Verbolin/models/standard-v1";
    std::filesystem::create_directories(pack / "TextDecoder.mlmodelc");
    std::filesystem::create_directories(pack / "tokenizer");
    std::ofstream(pack / "tokenizer/tokenizer.json") << "{}";
    const ProgramRun r = run("verbolin", "--listen",
                             "XDG_DATA_HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" +
                                 home.path().string() +
                                 "' PULSE_SERVER='unix:" + (home / "no-server").string() + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No PulseAudio (or PipeWire-Pulse) server was found"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("pulseaudio --start"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Listening"), std::string::npos) << r.err;
}

// Two listeners on one data folder would both capture the microphone and
// store every utterance twice: whichever starts second, the window or
// --listen, is refused with status 1 and says who holds the folder. A
// holder that is killed leaves the folder free.
TEST(HeadlessCommands, OneListenerPerDataFolder) {
    using namespace std::chrono_literals;
    const testsupport::ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    const struct {
        std::vector<std::string> first;  // none: the window
        const char* second;
    } rows[] = {{{"--listen"}, "--listen"}, {{"--listen"}, ""}, {{}, "--listen"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("first ") + testing::PrintToString(row.first) + ", second '" +
                     row.second + "'");
        testsupport::TempDir dir("verbolin-cli-home");
        makeRandomPack(dir / "data");
        const auto dataFolder = dir / "data/Verbolin";
        auto first = std::make_unique<testsupport::HeadlessVerbolin>(dir, pulse, row.first);
        ASSERT_TRUE(first->waitFor([&] { return holdsLock(dataFolder, first->pid()); }, 60s))
            << first->err();

        const ProgramRun second =
            run("verbolin", row.second,
                "XDG_DATA_HOME='" + (dir / "data").string() + "' XDG_CONFIG_HOME='" +
                    (dir / "config").string() + "' PULSE_SERVER='" + pulse.serverString() + "'");
        EXPECT_EQ(second.status, 1) << second.err;
        EXPECT_NE(
            second.err.find("Verbolin is already listening for this data folder (" +
                            dataFolder.string() + ") in process " + std::to_string(first->pid())),
            std::string::npos)
            << second.err;
        EXPECT_EQ(second.err.find("Listening."), std::string::npos) << second.err;
        EXPECT_FALSE(first->wait(0ms).has_value()) << "the first one ended";

        first.reset();  // killed, as by a crash
        const verbolin::InstanceLock after(dataFolder);
        EXPECT_TRUE(after.held());
    }
}

// A SIGTERM that comes before the program has set anything up (here: sent
// while blocked, so it is pending when main begins) ends the run through its
// quit path with a normal exit status, as one that comes later does.
TEST(HeadlessCommands, ASigtermAtStartEndsTheRunNormally) {
    using namespace std::chrono_literals;
    const testsupport::ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    testsupport::TempDir dir("verbolin-cli-home");
    makeRandomPack(dir / "data");
    const struct {
        std::vector<std::string> arguments;  // none: the window
        bool pending;                        // else sent as soon as the program catches it
    } rows[] = {{{"--listen"}, true}, {{}, true}, {{"--listen"}, false}, {{}, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.arguments) +
                     (row.pending ? " pending" : " caught"));
        testsupport::HeadlessVerbolin app(dir, pulse, row.arguments, row.pending);
        if (!row.pending) {
            ASSERT_TRUE(app.waitFor([&] { return catches(app.pid(), SIGTERM); }, 60s)) << app.err();
            app.signal(SIGTERM);
        }
        // Ended at all: before, a pending one was never let through.
        const auto status = app.wait(60s);
        ASSERT_TRUE(status.has_value()) << "still running\n" << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status << "\n"
                                                                     << app.err();
    }
}
