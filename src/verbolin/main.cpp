// Verbolin: the dictation application. Without arguments it opens its
// window and lives in the tray. With --listen it dictates without a window
// from the default microphone into the transcript, printing each final text
// as it lands, until interrupted; --status reports where the transcript lives
// and what it holds.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/system/OpenFileLimit.hpp"
#include "platform/system/PendingSignals.hpp"
#include "verbolin/app/PrivateFolders.hpp"
#include "verbolin/headless/CommandLine.hpp"
#include "verbolin/headless/HeadlessCommands.hpp"
#include "verbolin/listening/ModelDownloader.hpp"
#include "verbolin/storage/TranscriptCopy.hpp"
#include "verbolin/ui/VerbolinApplication.hpp"

int main(int argc, char** argv) {
    // Before anything is made: all the program writes holds the user's words
    // or voice, the files libraries make for it (SQLite's journals, the
    // unpacked model, Qt's) included, and is for this user alone.
    ::umask(077);
    // Before anything slow (the window's display, the model, the audio
    // server): a SIGTERM from here on ends the run through its quit path
    // with a normal exit status, not by the signal's default action.
    platform::PendingSignals::catchFromNow();
    // Every road may open many files at once (the display's connections,
    // the audio server's, the transcript's journals, a download's); the
    // soft limit is raised before any of them, and what is still too few is
    // said below rather than found as a crash.
    const std::uint64_t openFiles = platform::OpenFileLimit::raiseToHard();
    // Each line reaches a pipe or file as it is written, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using verbolin::CommandLine;
    const CommandLine line = CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    try {
        // Before the folders are tidied or anything is made: a refused start
        // leaves nothing behind.
        if (line.action == CommandLine::Action::application) {
            if (const auto shortfall = verbolin::openFilesShortfall(openFiles)) {
                std::fprintf(stderr, "%s\n", shortfall->c_str());
                return 1;
            }
        }
        // Not for --status, which only reads the data folder (and removes
        // the copies of the transcript that stopped runs left itself).
        if (line.action == CommandLine::Action::listen ||
            line.action == CommandLine::Action::application) {
            for (const std::string& problem : verbolin::makeOwnFoldersPrivate())
                std::fprintf(stderr, "verbolin: %s\n", problem.c_str());
            // Copies of the transcript hold text the user may since have
            // deleted from it.
            for (const std::string& problem : verbolin::TranscriptCopy::removeLeftovers())
                std::fprintf(stderr, "verbolin: %s\n", problem.c_str());
            // Archives that installs killed part-way left: some 130 MB
            // each, which nothing else removes.
            for (const std::string& problem : verbolin::ModelDownloader::removeLeftoverArchives())
                std::fprintf(stderr, "verbolin: %s\n", problem.c_str());
        }
        switch (line.action) {
            case CommandLine::Action::help:
                std::fputs(CommandLine::helpText().c_str(), stdout);
                return 0;
            case CommandLine::Action::version:
                std::printf("%s\n", CommandLine::versionText().c_str());
                return 0;
            case CommandLine::Action::invalid:
                std::fprintf(stderr, "verbolin: %s\n%sMore with verbolin --help.\n",
                             line.error.c_str(), CommandLine::usageText().c_str());
                return 2;
            case CommandLine::Action::listen:
                // Listen whatever the "alwaysListen" setting says, as the
                // autostart variable makes the application do.
                ::setenv("VERBOLIN_AUTOSTART", "1", 1);
                return verbolin::dictateHeadless();
            case CommandLine::Action::status:
                return verbolin::reportTranscript();
            case CommandLine::Action::application:
                return verbolin::runApplication(argc, argv);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verbolin: %s\n", e.what());
    }
    return 1;
}
