#include "verbolin/headless/CommandLine.hpp"

#ifndef VERBOLIN_VERSION
#error "VERBOLIN_VERSION is defined by the build"
#endif

namespace verbolin {

CommandLine CommandLine::parse(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help") return {Action::help, {}};
        if (argument == "--version") return {Action::version, {}};
    }
    CommandLine line;
    for (const std::string& argument : arguments) {
        const bool listen = argument == "--listen", status = argument == "--status";
        if (listen || status) {
            const Action wanted = listen ? Action::listen : Action::status;
            if (line.action != Action::application && line.action != wanted)
                return {Action::invalid, "--listen and --status exclude each other"};
            line.action = wanted;
            continue;
        }
        return {Action::invalid,
                (argument.rfind('-', 0) == 0 ? "unknown option " : "unexpected argument ") +
                    std::string("\"") + argument + "\""};
    }
    return line;
}

std::string CommandLine::usageText() {
    return "usage: verbolin [--listen | --status]\n"
           "       verbolin --help | --version\n";
}

std::string CommandLine::helpText() {
    return usageText() +
           "\n"
           "Dictation into a searchable transcript, with on-device speech recognition.\n"
           "Without options it opens the editor window and an icon in the system tray\n"
           "(Ctrl+Alt+Space shows or hides the window); one instance runs per data folder.\n"
           "\n"
           "Options:\n"
           "  --listen      dictate without a window: from the microphone into the\n"
           "                transcript, printing each text once it is stored, until Ctrl+C,\n"
           "                SIGTERM or SIGHUP (the words being spoken then are stored\n"
           "                first; a second Ctrl+C stops at once and keeps their audio).\n"
           "                While the transcript cannot be written, standard error says\n"
           "                so, and each text is kept in a recovery file in\n"
           "                $XDG_STATE_HOME/Verbolin before it is printed (standard error\n"
           "                says when even that fails); the next start that can write the\n"
           "                transcript takes it in.\n"
           "  --status      report where the transcript lives, what it holds and whether\n"
           "                the speech model pack is installed\n"
           "  -h, --help    print this help and exit\n"
           "  --version     print the version and exit\n"
           "\n"
           "Environment:\n"
           "  VERBOLIN_INPUT_DEVICE=<text>  use the first microphone whose name holds <text>\n"
           "                                (any letter case)\n"
           "  VERBOLIN_AUTOSTART=1          start listening once the model is ready, whatever\n"
           "                                the settings say\n"
           "  VERBOLIN_DEBUG_DIR=<folder>   record diagnostics there: events.log, session.pcm\n"
           "                                and utterance-N.pcm (16-bit, 16 kHz mono)\n"
           "  VERBOLIN_VOICE_PROCESSING=1   ask the audio server for echo cancellation\n"
           "  VERBOLIN_PACK_SERVER=<url>    install the speech model from that pack server's\n"
           "                                models/standard-v1.zip instead of the model hub\n"
           "  XDG_DATA_HOME                 the data folder is $XDG_DATA_HOME/Verbolin\n"
           "                                (transcript.sqlite, models/standard-v1)\n"
           "  XDG_CONFIG_HOME               settings are $XDG_CONFIG_HOME/Verbolin/settings.json\n"
           "  XDG_STATE_HOME                text that cannot be saved waits in\n"
           "                                $XDG_STATE_HOME/Verbolin (~/.local/state/Verbolin)\n"
           "  PULSE_SERVER                  the PulseAudio (or PipeWire-Pulse) server to use\n"
           "  HF_TOKEN, HUGGING_FACE_HUB_TOKEN, HF_TOKEN_PATH, HF_HOME, HF_ENDPOINT,\n"
           "  CI_DISABLE_NETWORK_MONITOR    the model hub client's token, address and\n"
           "                                network check (see the README)\n"
           "\n"
           "The speech model is installed on first start, from the pack server or the model\n"
           "hub; without a network, make it with verbolin-models convert (see the README).\n";
}

std::string CommandLine::versionText() { return std::string("verbolin ") + VERBOLIN_VERSION; }

}  // namespace verbolin
