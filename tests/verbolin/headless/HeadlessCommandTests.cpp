// The verbolin program's own texts, run as a process: help and version, a
// wrong argument, a missing or incomplete pack, no audio server.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "support/GeneratedAudio.hpp"
#include "support/TempDir.hpp"
#include "verbolin/headless/CommandLine.hpp"

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

TEST(HeadlessCommands, WithoutADisplayTheWindowlessWaysAreNamed) {
    testsupport::TempDir home("verbolin-cli-home");
    const ProgramRun r =
        run("verbolin", "",
            "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_DATA_HOME='" +
                home.path().string() + "' XDG_CONFIG_HOME='" + home.path().string() + "'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("no graphical display found"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("verbolin --listen"), std::string::npos) << r.err;
}

TEST(HeadlessCommands, AnIncompletePackNamesWhatIsMissing) {
    testsupport::TempDir home("verbolin-cli-home");
    const auto pack = home / "Verbolin/models/standard-v1";
    std::filesystem::create_directories(pack / "TextDecoder.mlmodelc");
    const ProgramRun r = run("verbolin", "--listen",
                             "XDG_DATA_HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" +
                                 home.path().string() + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is incomplete: tokenizer/tokenizer.json missing"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("verbolin-models convert"), std::string::npos) << r.out;
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
