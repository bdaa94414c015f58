#pragma once
// The arguments of the verbolin program, and the texts of --help and
// --version.

#include <string>
#include <vector>

namespace verbolin {

struct CommandLine {
    enum class Action {
        application,  // the window and the tray item
        status,       // where the transcript lives, what it holds, whether a model is installed
        listen,       // dictate without a window until interrupted
        help,
        version,
        invalid,  // `error` says why; the usage goes to standard error, status 2
    };

    Action action = Action::application;
    std::string error;

    // --help and --version win over everything; --listen and --status
    // exclude each other.
    static CommandLine parse(const std::vector<std::string>& arguments);

    // The help text: usage, options and the environment variables read.
    static std::string helpText();
    // The two usage lines and where to find more, for a wrong argument.
    static std::string usageText();
    // "verbolin <version>".
    static std::string versionText();
};

}  // namespace verbolin
