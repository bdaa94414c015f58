// Verbolin: the dictation application. Without arguments it opens its
// window and lives in the tray. With --listen it dictates without a window
// from the default microphone into the transcript, printing each final text
// as it lands, until interrupted; --status reports where the transcript lives
// and what it holds.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "platform/system/RunLoop.hpp"
#include "verbolin/app/AppModel.hpp"
#include "verbolin/app/Defaults.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/VerbolinApplication.hpp"

namespace {

using verbolin::TranscriptionEngine;

verbolin::ModelPack chosenPack() {
    return verbolin::ModelPack::named(
        verbolin::Defaults::standard().string(verbolin::Defaults::kModelPack).value_or("standard"));
}

int report() {
    verbolin::TranscriptStore store;
    std::printf("Verbolin data folder: %s\n", store.directory().c_str());
    std::printf("Transcript: %zu segments, %zu sessions%s\n", store.segments.peek().size(),
                store.sessions.peek().size(),
                !store.notSaved.peek() ? ""
                : store.db()           ? " (not saved: writing to the database fails)"
                                       : " (not saved: the database could not be opened)");
    const verbolin::ModelPack pack = chosenPack();
    std::printf("Speech model: %s, %s\n", pack.title.c_str(),
                pack.isInstalled() ? "installed" : "not installed");
    return 0;
}

void printInstallHelp(const verbolin::ModelPack& pack) {
    std::printf(
        "No speech model pack is installed at %s\n"
        "Make one from a transformers Whisper checkpoint (config.json, model.safetensors and the\n"
        "tokenizer files) with the model tool built beside verbolin:\n"
        "    verbolin-models convert <checkpoint-dir> %s\n"
        "then run verbolin --listen again.\n",
        pack.localFolder().c_str(), pack.localFolder().c_str());
}

// SIGINT and SIGTERM quit the loop. The handler only writes to a pipe
// (libraries start threads before main, so any thread may take the signal);
// a watcher thread reads it. The watcher is woken and joined before the loop
// it quits is destroyed, and the default handlers come back with it.
int signalPipe[2] = {-1, -1};
constexpr char kSignalled = 1;
constexpr char kStopWatching = 2;

void onSignal(int) { [[maybe_unused]] const auto n = ::write(signalPipe[1], &kSignalled, 1); }

class SignalWatcher {
  public:
    explicit SignalWatcher(platform::RunLoop& loop) {
        if (::pipe2(signalPipe, O_CLOEXEC) != 0) return;
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        thread_ = std::thread([&loop] {
            char byte = 0;
            while (::read(signalPipe[0], &byte, 1) < 0 && errno == EINTR) {
            }
            if (byte == kSignalled) loop.quit();
        });
    }
    ~SignalWatcher() {
        if (!thread_.joinable()) return;
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        [[maybe_unused]] const auto n = ::write(signalPipe[1], &kStopWatching, 1);
        thread_.join();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    std::thread thread_;
};

int listen() {
    const verbolin::ModelPack pack = chosenPack();
    if (!pack.isInstalled()) {
        printInstallHelp(pack);
        return 1;
    }
    platform::RunLoop loop;
    const SignalWatcher signals(loop);

    verbolin::AppModel::Services services;
    services.main = &loop;
    verbolin::AppModel model(std::move(services));
    auto& engine = model.engine();
    std::printf("Transcript: %s\n", model.store().directory().c_str());

    auto handle = engine.eventSink;
    engine.eventSink = [&handle](const TranscriptionEngine::Event& e) {
        handle(e);
        if (e.kind == TranscriptionEngine::Event::Kind::final && !e.text.empty()) {
            std::printf("%s\n", e.text.c_str());
            std::fflush(stdout);
        }
    };
    int status = 0;
    auto stateChanged = engine.modelState.observe([&] {
        const auto state = engine.modelState.peek();
        using Kind = TranscriptionEngine::ModelState::Kind;
        if (state.kind == Kind::loading) std::fprintf(stderr, "%s\n", state.message.c_str());
        if (state.kind == Kind::ready) std::fprintf(stderr, "Listening. Press Ctrl+C to stop.\n");
        if (state.kind == Kind::failed) {
            std::fprintf(stderr, "verbolin: %s\n", state.message.c_str());
            // A failed decode keeps listening; a model that never got ready or
            // a microphone that could not be opened ends the run. Looked at on
            // the next turn: the engine clears isRecording after the state.
            loop.post([&] {
                if (engine.hasEngine() && engine.isRecording.peek()) return;
                status = 1;
                loop.quit();
            });
        }
    });
    loop.run();
    stateChanged.cancel();
    engine.stopAndWait();
    // Finals of the last utterance arrive on the loop after the stop.
    loop.postAfter(std::chrono::milliseconds(0), [&loop] { loop.quit(); });
    loop.run();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool listening = false, status = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--listen") == 0) {
            // Listen whatever the "alwaysListen" setting says, as the
            // autostart variable makes the application do.
            ::setenv("VERBOLIN_AUTOSTART", "1", 1);
            listening = true;
        } else if (std::strcmp(argv[i], "--status") == 0) {
            status = true;
        } else {
            std::fprintf(stderr, "usage: verbolin [--listen | --status]\n");
            return 2;
        }
    }
    try {
        if (listening) return listen();
        if (status) return report();
        return verbolin::runApplication(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "verbolin: %s\n", e.what());
        return 1;
    }
}
