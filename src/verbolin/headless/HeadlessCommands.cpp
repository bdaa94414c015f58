#include "verbolin/headless/HeadlessCommands.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "auralith/utilities/WhisperError.hpp"
#include "platform/audio/PulseConnection.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/RunLoop.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/AudioServerHelp.hpp"
#include "verbolin/app/InstanceLock.hpp"
#include "verbolin/headless/SignalWatcher.hpp"
#include "verbolin/listening/EngineChoice.hpp"
#include "verbolin/listening/PackConversion.hpp"
#include "verbolin/listening/SpeechEngineFactory.hpp"
#include "verbolin/listening/StreamSession.hpp"
#include "verbolin/settings/Defaults.hpp"
#include "verbolin/storage/TranscriptCopy.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/storage/TranscriptSummary.hpp"

namespace verbolin {
namespace {

ModelPack chosenPack() {
    return ModelPack::named(Defaults::standard().string(Defaults::kModelPack).value_or("standard"));
}

// False when the line could not be written (a closed pipe, a full disk).
bool say(std::FILE* to, const std::string& line) {
    const bool written = std::fprintf(to, "%s\n", line.c_str()) >= 0;
    return std::fflush(to) == 0 && written;
}

// "1 segment", "2 segments".
std::string counted(size_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// SIGPIPE ignored while it lives, so that a reader of standard output that
// goes away (`verbolin --listen | head`, a closed terminal that took `tee`
// with it) shows as a failed write instead of killing the process with the
// utterance being spoken.
class IgnoredBrokenPipes {
  public:
    IgnoredBrokenPipes() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &previous_);
    }
    ~IgnoredBrokenPipes() { ::sigaction(SIGPIPE, &previous_, nullptr); }
    IgnoredBrokenPipes(const IgnoredBrokenPipes&) = delete;
    IgnoredBrokenPipes& operator=(const IgnoredBrokenPipes&) = delete;

  private:
    struct sigaction previous_ {};
};

// The model's download reports every few megabytes; a terminal is told
// every few seconds, and of every other step at once.
class ProgressLines {
  public:
    bool due(const std::string& message) {
        const auto now = std::chrono::steady_clock::now();
        const bool download = message.starts_with("Downloading speech model\u2026 ");
        if (download && lastWasDownload_ && now - last_ < kEvery) return false;
        lastWasDownload_ = download;
        last_ = now;
        return true;
    }

  private:
    static constexpr std::chrono::seconds kEvery{3};
    std::chrono::steady_clock::time_point last_{};
    bool lastWasDownload_ = false;
};

std::string tokenizerFetched(const std::string& fault) {
    return "installed, but its tokenizer does not load (" + fault +
           "); the next start asks the model hub for one";
}

// "installed" only for a pack that loads as --listen would load it; what is
// wrong with one that is there but does not load.
std::string packCondition(const ModelPack& pack) {
    if (!pack.isInstalled()) return "not installed";
    // Loading a pack whose tokenizer does not load fetches the hub's into
    // the pack folder; a status query only looks. One the system will not
    // read is not fetched over, and fails the load as it stands.
    try {
        checkPackTokenizer(pack.localFolder() / "tokenizer");
    } catch (const auralith::WhisperError& e) {
        if (e.systemRefused()) return std::string("installed but unusable: ") + e.what();
        return tokenizerFetched(e.what());
    } catch (const std::exception& e) {
        return tokenizerFetched(e.what());
    }
    try {
        makeSpeechEngine(EngineChoice::auralith(pack))->prepare();
        return "installed";
    } catch (const std::exception& e) {
        return std::string("installed but unusable: ") + e.what();
    }
}

// What `--listen` says about saving on standard error: when the transcript
// stops or starts being saved, and where what is not saved is kept each
// time that changes in between.
struct SavingReport {
    bool saidNotSaved = false;
    TranscriptStore::Keeping saidKeeping;

    void update(const TranscriptStore& store) {
        const bool notSaved = store.notSaved.peek();
        const TranscriptStore::Keeping keeping = store.keeping.peek();
        const bool news = notSaved != saidNotSaved;
        // Nothing kept any more while still not saved: the kept text is
        // being saved just now, which the next line tells.
        if (!news && (!notSaved || keeping == saidKeeping || keeping == TranscriptStore::Keeping{}))
            return;
        saidNotSaved = notSaved;
        saidKeeping = keeping;
        if (!notSaved) {
            say(stderr, "verbolin: the transcript is saved again");
            return;
        }
        const std::string kept =
            keeping.memoryOnly     ? "held in memory only, and lost if Verbolin stops"
            : keeping.file.empty() ? "kept in memory"
                                   : "kept in memory and in " + keeping.file.string();
        say(stderr, news ? "verbolin: the transcript is not being saved (see the message above); "
                           "what is said is " +
                               kept + "; it is written as soon as that works"
                         : "verbolin: what is not saved is now " + kept);
    }
};

// What the next start does with the text that waits, as far as the
// transcript lets it.
std::string whatTheNextStartDoes(const TranscriptSummary& transcript) {
    if (!transcript.marksUnread.empty())
        return ", kept until a start can check them: " + transcript.marksUnread + "; " +
               transcript.marksWayOut;
    if (!transcript.unreadable.empty())
        return ", shown by the next start but not stored while the transcript cannot be read";
    if (!transcript.notWritable.empty())
        return ", to be stored by the first start that can write the transcript";
    return " to be stored at the next start";
}

}  // namespace

int reportTranscript() {
    for (const std::string& problem : TranscriptCopy::removeLeftovers())
        say(stderr, "verbolin: " + problem);
    const TranscriptSummary transcript = TranscriptSummary::of();
    say(stdout, "Verbolin data folder: " + transcript.directory.string());
    if (!transcript.unreadable.empty())
        say(stdout, "Transcript: cannot be read: " + transcript.unreadable);
    else if (!transcript.exists)
        say(stdout, "Transcript: none yet");
    else
        say(stdout,
            "Transcript: " + counted(transcript.segments, "segment") + ", " +
                counted(transcript.sessions, "session") +
                (transcript.newestUnread.empty()
                     ? ""
                     : " (the newest changes could not be read: " + transcript.newestUnread + ")") +
                (transcript.notWritable.empty()
                     ? ""
                     : " (new text not saved: the database can only be read)"));
    if (!transcript.notWritable.empty()) say(stderr, "verbolin: " + transcript.notWritable);
    for (const TranscriptSummary::Waiting& w : transcript.waiting) {
        if (!w.unreadable.empty()) {
            say(stdout, "Recovery file: " + w.unreadable);
            continue;
        }
        say(stdout, "Recovery file: " + counted(w.texts, "text") +
                        (w.otherChanges ? " and " + counted(w.otherChanges, "other change") : "") +
                        (w.texts == 1 && !w.otherChanges ? " waits" : " wait") + " in " +
                        w.file.string() + whatTheNextStartDoes(transcript));
    }
    const ModelPack pack = chosenPack();
    say(stdout, "Speech model: " + pack.title + ", " + packCondition(pack));
    return 0;
}

std::string installHelp(const ModelPack& pack) {
    namespace fs = std::filesystem;
    const fs::path folder = pack.localFolder();
    std::string text;
    std::error_code ec;
    if (fs::exists(folder, ec)) {
        text = "The speech model pack at " + folder.string() + " is incomplete:";
        for (const std::string& missing : pack.missingFiles()) text += " " + missing;
        text += " missing.\n";
    } else {
        text = "No speech model pack is installed at " + folder.string() + "\n";
    }
    return text +
           "Make one from a transformers Whisper checkpoint (config.json, model.safetensors and "
           "the\n"
           "tokenizer files) with the model tool built beside verbolin:\n"
           "    verbolin-models convert <checkpoint-dir> " +
           folder.string() +
           "\n"
           "then run verbolin --listen again.";
}

std::optional<std::string> audioServerProblem() {
    try {
        platform::PulseConnection probe(std::nullopt);
        return std::nullopt;
    } catch (const std::exception& e) {
        // A server that is there but cannot be reached (the process is out of
        // descriptors, say) is not helped by starting one.
        const std::string what = e.what();
        if (what.find(AudioServerHelp::kNoServer) == std::string::npos) return what;
        return "No PulseAudio (or PipeWire-Pulse) server was found: " + what + "\n" +
               AudioServerHelp::kHowToStart + ", then run verbolin --listen again.";
    }
}

int dictateHeadless(TranscriptionEngine::Services engineServices,
                    const std::function<void(int)>& endAtOnce) {
    // First of all, so a signal during start-up ends the run cleanly too.
    platform::RunLoop loop;
    const SignalWatcher signals(loop);
    const IgnoredBrokenPipes brokenPipes;
    const InstanceLock instance = InstanceLock::forStandardFolder();
    if (!instance.held()) {
        say(stderr, "verbolin: " + instance.refusal());
        return 1;
    }
    if (instance.problem()) say(stderr, "verbolin: " + *instance.problem());

    // A pack that is not there, or lacks a part, is installed by the engine
    // below.
    const ModelPack pack = chosenPack();
    if (auto problem = audioServerProblem()) {
        say(stderr, "verbolin: " + *problem);
        return 1;
    }

    AppModel::Services services;
    services.main = &loop;
    services.engine = std::move(engineServices);
    AppModel model(std::move(services));
    auto& engine = model.engine();
    auto& store = model.store();
    // Nobody reads what is printed any more: stop as a signal would, keeping
    // what is being said. Once the stop has begun, there is nothing to ask.
    bool listeningPhase = true, readerGone = false;
    auto print = [&](const std::string& line) {
        if (say(stdout, line) || errno != EPIPE || readerGone) return;
        readerGone = true;
        say(stderr, "verbolin: standard output was closed; stopping");
        if (listeningPhase) loop.post([&loop] { loop.quit(); });
    };
    // Standard output carries the texts alone, for whatever reads them.
    say(stderr, "Transcript: " + store.directory().string());

    auto handle = engine.eventSink;
    engine.eventSink = [&handle, &print](const TranscriptionEngine::Event& e) {
        handle(e);
        // Printed once stored: in the database, or, while that cannot be
        // written, in the recovery file that the next start takes in; where
        // no file can take it either, printed all the same, held in memory
        // only, as the saving report says.
        if (e.kind == TranscriptionEngine::Event::Kind::final && !e.text.empty()) print(e.text);
    };
    engine.noticeSink = [](const std::string& text) { say(stderr, "verbolin: " + text); };

    SavingReport savingReport;
    auto reportSaving = [&store, &savingReport] { savingReport.update(store); };
    auto savingChanged = store.notSaved.observe(reportSaving);
    auto keepingChanged = store.keeping.observe(reportSaving);
    reportSaving();

    int status = 0;
    // Said once the microphone is open, not when the model is ready: a
    // capture that cannot start (no input, no descriptors left) ends the
    // run without having claimed to listen.
    bool listening = false;
    engine.onMicrophoneOpen = [&listening] {
        if (!listening) say(stderr, "Listening. Press Ctrl+C to stop.");
        listening = true;
    };
    ProgressLines progressLines;
    auto stateChanged = engine.modelState.observe([&] {
        const auto state = engine.modelState.peek();
        using Kind = TranscriptionEngine::ModelState::Kind;
        if (state.kind == Kind::loading && progressLines.due(state.message))
            say(stderr, state.message);
        if (state.kind == Kind::failed && !pack.isInstalled())
            say(stderr, "verbolin: " + state.message + "\n" + installHelp(pack));
        if (state.kind == Kind::ready && listening)
            say(stderr, "The microphone is back. Listening again.");
        if (state.kind == Kind::failed) {
            if (pack.isInstalled()) say(stderr, "verbolin: " + state.message);
            // A failed decode or a lost microphone keeps listening; a model
            // that never got ready, a microphone that could not be opened or
            // a capture that gave up on a device (or server) that kept going
            // away ends the run: nothing would be heard any more. Looked at
            // on the next turn: the engine clears isRecording after the state.
            const bool captureGaveUp = state.message == StreamSession::kCaptureGaveUpMessage;
            loop.post([&, captureGaveUp] {
                if (!captureGaveUp && engine.hasEngine() && engine.isRecording.peek()) return;
                status = 1;
                loop.quit();
            });
        }
    });
    loop.run();
    listeningPhase = false;
    stateChanged.cancel();

    // The utterance being spoken is transcribed and stored with the loop
    // running, so that another signal can cut the wait short; its audio is
    // then kept, as when the wait reaches its bound.
    engine.onDrainWaits = [] { say(stderr, TranscriptionEngine::kDrainWaitsNotice); };
    bool stopped = false;
    engine.stopThen([&] {
        stopped = true;
        loop.quit();
    });
    loop.run();
    savingChanged.cancel();
    // Gives up at once on what is still decoding, keeping its audio.
    if (!stopped) engine.stopNow();
    if (!engine.threadsLeftRunning() && !engine.loadLeftRunning()) return status;
    // The engine would wait for that decode's thread as it goes (or for a
    // listening thread, or a model being prepared), and a decode running as
    // the process unwinds would crash in the numeric libraries; what the
    // store would still write or say as it goes is done first.
    store.lastSave();
    if (endAtOnce) {
        endAtOnce(status);
        return status;
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace verbolin
