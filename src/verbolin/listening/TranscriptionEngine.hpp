#pragma once
// The main-thread controller of recognition: loads the speech model
// (installing the model pack on first use), keeps the model's state for the
// user interface, starts and stops listening sessions on the chosen
// microphone, and turns session events into its own events for the
// application model.
//
// Threads. Everything here runs on the main executor. Work that blocks
// (installing, preparing the recogniser, starting and stopping a session)
// runs on the engine's own worker threads and posts its result back. Session
// events wait in the engine's inbox, in emission order; each one posts a
// main-executor task that delivers the oldest waiting event, and
// stopAndWait() delivers them itself while it waits; stopThen() leaves them
// to those tasks and reports the end of its stop through one more. Levels,
// speech starts and previews are passed on only from the session listening
// now: those of a stopped session that arrive late are dropped.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/audio/AudioBackend.hpp"
#include "platform/system/Clock.hpp"
#include "platform/system/MainExecutor.hpp"
#include "platform/system/Observable.hpp"
#include "platform/system/SerialExecutor.hpp"
#include "verbolin/listening/AudioCapture.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/EngineChoice.hpp"
#include "verbolin/listening/ModelDownloader.hpp"
#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/listening/SpeechEngineFactory.hpp"
#include "verbolin/listening/StreamSession.hpp"

namespace verbolin {

class Defaults;

class TranscriptionEngine {
  public:
    struct ModelState {
        enum class Kind { loading, failed, idle, ready };
        Kind kind = Kind::idle;
        std::string message;  // loading: progress; failed: the error

        static ModelState loading(std::string m) { return {Kind::loading, std::move(m)}; }
        static ModelState failed(std::string m) { return {Kind::failed, std::move(m)}; }
        static ModelState idle() { return {Kind::idle, {}}; }
        static ModelState ready() { return {Kind::ready, {}}; }

        friend bool operator==(const ModelState&, const ModelState&) = default;
    };

    struct Event {
        // undecoded: an utterance whose decode was given up when quitting
        // took too long; its audio is to be kept.
        enum class Kind { level, preview, final, speechStarted, stopped, undecoded };
        Kind kind = Kind::level;
        float value = 0;                // level, 0...1
        std::string text;               // preview, final
        platform::Date start{}, end{};  // final, undecoded
        std::vector<float> samples{};   // undecoded: 16 kHz mono

        static Event level(float v) { return {Kind::level, v, {}, {}, {}}; }
        static Event preview(std::string t) { return {Kind::preview, 0, std::move(t), {}, {}}; }
        static Event final(std::string t, platform::Date s, platform::Date e) {
            return {Kind::final, 0, std::move(t), s, e};
        }
        static Event speechStarted() { return {Kind::speechStarted, 0, {}, {}, {}}; }
        static Event stopped() { return {Kind::stopped, 0, {}, {}, {}}; }
        static Event undecoded(std::vector<float> s, platform::Date b, platform::Date e) {
            return {Kind::undecoded, 0, {}, b, e, std::move(s)};
        }

        friend bool operator==(const Event&, const Event&) = default;
    };

    // Installs a pack, reporting progress from the installing thread; ends
    // soon (with any error) once the token asks it to stop: the engine is
    // going away. `existing` says what becomes of a pack in place (replaced
    // when its files do not load).
    using Installer = std::function<void(const ModelPack&, ModelDownloader::ProgressFn,
                                         std::stop_token, ModelDownloader::Existing existing)>;

    // What the engine works with. `main`, `defaults` and `clock` must outlive
    // the engine and every session it starts.
    struct Services {
        platform::MainExecutor* main = nullptr;
        Defaults* defaults = nullptr;
        SpeechEngineFactory makeEngine = makeSpeechEngine;
        Installer install;  // empty: the application's ModelDownloader
        // The source the application's ModelDownloader installs from, and
        // whose size the first message shows.
        ModelDownloader::Options downloads = ModelDownloader::Options::fromEnvironment();
        std::shared_ptr<platform::AudioBackend> backend;  // null: the system's
        const platform::Clock* clock = &platform::Clock::system();
        std::shared_ptr<DebugRecorder> recorder = DebugRecorder::shared();
        // For tests: handed to every session (see StreamSession::Services)
        // to hold its feeding or its decoding thread. Empty in use.
        std::function<void()> beforeFraming;
        std::function<void()> beforeDecoding;
    };

    // How long a change of microphone waits before listening again.
    static constexpr std::chrono::milliseconds kRestartDelay{400};
    // How long quitting waits for the last utterances to be transcribed.
    static constexpr std::chrono::milliseconds kDrainLimit{10000};
    // How long the threads of a session that has finished (its last decode
    // given up, perhaps) may take to come back before they are left running
    // (see threadsLeftRunning()).
    static constexpr std::chrono::milliseconds kDecodeStopGrace{250};

    explicit TranscriptionEngine(Services services);
    // Stops listening, cancels decodes still running and waits for every
    // worker thread, those given up and left running too; delivers nothing.
    // Quitting stops the engine first, and a process that may not wait for
    // threads left running ends without destroying it.
    ~TranscriptionEngine();

    TranscriptionEngine(const TranscriptionEngine&) = delete;
    TranscriptionEngine& operator=(const TranscriptionEngine&) = delete;

    platform::ObservationRegistrar registrar;
    platform::Observable<ModelState> modelState{registrar, ModelState::idle()};
    platform::Observable<bool> isRecording{registrar, false};
    // Whether previews are made and delivered; the user toggles it.
    platform::Observable<bool> livePreview{registrar, true};

    // Installed by the application model. `previewWanted` is called from
    // session threads; the other two on the main thread.
    std::function<bool()> previewWanted;
    std::function<void(const Event&)> eventSink;
    std::function<void()> onModelReady;
    // Called on the main thread once a start() has opened the microphone,
    // unless listening was stopped or started again meanwhile.
    std::function<void()> onMicrophoneOpen;
    // Things the user should know that are no state (a microphone name that
    // matches nothing, a pack folder installed over for what it lacks); main
    // thread. Empty: they go to the log.
    std::function<void(const std::string&)> noticeSink;
    // Called on the main thread, once per stopThen(), when listening has
    // stopped and utterances are still being transcribed: quitting then
    // takes a moment, which a user waiting at a terminal should be told of.
    std::function<void()> onDrainWaits;
    // What a terminal is told then: another signal gives the wait up.
    static constexpr const char* kDrainWaitsNotice =
        "verbolin: finishing the last utterance; press Ctrl+C again to stop now (its audio is "
        "kept)";

    // Starts loading the model and returns at once.
    void loadModel();

    // Starts listening when not listening and a prepared recogniser exists.
    void start();
    // Stops listening and reports level(0) and stopped.
    void stop();
    // For quitting: stops listening and blocks until every utterance heard
    // (the one being spoken, and those of sessions stopped earlier that are
    // still decoding) has been transcribed and delivered as a final. Past
    // `limit` the decodes still running or waiting are cancelled and each
    // such utterance is delivered as `undecoded` instead. Every session
    // thread has ended on return, but for one that does not come back within
    // kDecodeStopGrace of its session's end (threadsLeftRunning()). Sends no
    // level or stopped event.
    void stopAndWait(std::chrono::milliseconds limit = kDrainLimit);
    // Quitting from a running event loop: stops listening as stopAndWait()
    // does, with the same guarantees and limit, but returns at once. The
    // texts arrive through the main executor as usual, and `done` runs
    // there once the last of them has been delivered and every session
    // thread has ended. Listening does not start again meanwhile. A
    // stopAndWait() or the destructor takes over a stop still under way;
    // its `done` then never runs.
    void stopThen(std::function<void()> done, std::chrono::milliseconds limit = kDrainLimit);
    // Quitting at once (a second signal): stops listening, gives up every
    // utterance still being transcribed or waiting to be and delivers its
    // audio as `undecoded` before it returns, as stopAndWait() does past its
    // limit, but waits for no session thread longer than kDecodeStopGrace:
    // a recogniser sees the stop only between its steps, which on a slow
    // model may take as long as the decode, and a thread held (a machine
    // too busy to run it, a debugger) takes nothing up until it is let go.
    // Takes over a stop still under way.
    void stopNow();
    // Whether a thread of a session that has ended did not come back in
    // time: a decode given up (by stopNow(), or a stop past its limit) still
    // inside the recogniser or still waiting for its thread, or a feeding
    // thread not done with the capture. Such threads are joined only when
    // the engine goes, so a process that is to end now ends without
    // destroying the engine (everything to keep has been delivered); they
    // keep the session they touch alive meanwhile.
    bool threadsLeftRunning() const;
    // For a process that is to end now: a model load under way is stopped
    // and, while it downloads or installs, waited for (a download ends when
    // asked, and what it fetched stays for the next start to continue
    // from). Whether it is still running: preparing a recogniser sees no
    // stop, and may take as long as a slow decode, so the process ends
    // without destroying the engine, as for threadsLeftRunning(); nothing of
    // a load is to keep. No load begins after it.
    bool loadLeftRunning();

    // The microphone chosen by name; none for the automatic choice. Setting
    // it stores the choice and, while listening, restarts on the new device.
    std::optional<std::string> inputDeviceName() const;
    void setInputDeviceName(std::optional<std::string> name);

    // Forgets a restart that is waiting for its delay, so a pause or quit
    // made meanwhile stays in force.
    void cancelPendingRestart();
    bool hasPendingRestart() const { return pendingRestart_.has_value(); }

    // The device to capture from, or none for the system's default input.
    // A VERBOLIN_INPUT_DEVICE that matches no microphone is reported once to
    // the notice sink, with the microphones found.
    std::optional<uint32_t> resolvedInputDeviceID() const;
    // True exactly when VERBOLIN_VOICE_PROCESSING is "1".
    static bool echoCancellation();

    // Whether a prepared recogniser is installed.
    bool hasEngine() const { return engine_ != nullptr; }
    // Whether the last model load that ended failed. A recogniser from an
    // earlier load may still be installed and listening meanwhile.
    bool modelLoadFailed() const { return modelLoadFailed_; }
    // Whether the capture of the latest session stopped without being asked
    // to: it could not start (no audio server, the microphone refused), it
    // lost its device and waits for it, or it gave up on a device that kept
    // changing. A failed decode leaves the capture running.
    bool captureStopped() const { return captureStopped_; }

    // The progress texts shown while loading; `source` decides the size.
    static std::string downloadStartMessage(const ModelPack& pack,
                                            const ModelDownloader::Options& source = {});
    static std::string progressMessage(const ModelDownloader::Progress& progress);
    // For a pack folder that exists but lacks a part, told once (to the
    // notice sink, else the log) as the load that installs over it begins:
    // the folder and the parts it lacks. None when the pack is whole or not
    // there at all.
    static std::optional<std::string> incompletePackNotice(const ModelPack& pack);
    // For an installed pack whose files do not load, told once as the load
    // installs it again: the folder and what is damaged (`damage`, as
    // packDamage() says it).
    static std::string damagedPackNotice(const ModelPack& pack, const std::string& damage);
    // The failed state's message when installing it again fails too: what
    // is damaged, the pack's folder, then the install's failure, which says
    // what to do.
    static std::string damagedPackFailure(const ModelPack& pack, const std::string& damage,
                                          const std::string& installFailure);
    static constexpr const char* kPreparingMessage = "Preparing speech model\u2026";

    // The failed state's message while the microphone is gone: the reason,
    // then kResumesWhenBack, since the capture keeps trying by itself.
    static std::string microphoneLostMessage(const std::string& reason);
    static constexpr const char* kResumesWhenBack = "; listening resumes when it is back.";
    // The notice for a VERBOLIN_INPUT_DEVICE that matches no microphone.
    static std::string unmatchedDeviceNotice(const std::string& wanted,
                                             const std::vector<AudioCapture::Device>& devices);

  private:
    // Session events waiting for the main thread, tagged with their session.
    class Inbox;
    struct Draining {
        uint64_t id;
        std::shared_ptr<StreamSession> session;
    };

    void restart();
    // Stops the current session; it drains in the background.
    std::shared_ptr<StreamSession> detachSession();
    // The start of every stop that waits here: listening stops, and the
    // callers of an earlier stop are replaced by this one.
    void stopSessions();
    // Gives up every decode still draining and delivers what each reports,
    // its audio first.
    void abandonDraining();
    void deliverOne();
    // Runs the waiting stopThen() callbacks once nothing is left to drain.
    void completeStopIfDrained();
    void handle(uint64_t session, const StreamSession::Event& event);
    void send(const Event& event);
    void notice(const std::string& text) const;
    // Runs `task` on the main executor if the engine still exists then.
    void onMain(std::function<void()> task);
    // On the loading thread: installs `pack` with its progress shown. False,
    // with the failed state set unless the engine is going away, when that
    // fails; `damage`, for a pack installed again, goes into the message.
    bool installPack(const ModelPack& pack, ModelDownloader::Existing existing,
                     const std::optional<std::string>& damage = std::nullopt);
    // On the loading thread: builds and prepares a recogniser into `made`;
    // the error when that fails.
    std::exception_ptr prepareRecogniser(const EngineChoice& choice,
                                         std::shared_ptr<SpeechEngine>& made);
    // On the loading thread, before a recogniser is prepared: false when the
    // process is to end now instead.
    bool beginPreparing();

    Services services_;
    std::shared_ptr<SpeechEngine> engine_;
    std::shared_ptr<StreamSession> session_;
    uint64_t sessionID_ = 0;
    uint64_t nextSessionID_ = 0;
    // Stopped sessions that have not reported `finished` yet.
    std::vector<Draining> draining_;
    std::shared_ptr<Inbox> inbox_;
    std::optional<std::string> lostMessage_;  // the failed state we set for a lost microphone
    bool modelLoadFailed_ = false;
    bool captureStopped_ = false;
    mutable std::optional<std::string> warnedInputDevice_;
    std::optional<uint64_t> pendingRestart_;
    uint64_t restartGeneration_ = 0;
    // A stopThen() under way: its callbacks, whether the session worker has
    // run the stops queued before it, and its number, which its time limit
    // checks.
    std::vector<std::function<void()>> stopDone_;
    bool stopQueueRun_ = false;
    uint64_t stopGeneration_ = 0;
    // Lets tasks queued on the main executor find out that the engine is gone.
    // weakSelf_ never changes, so worker threads may copy it at any time.
    std::shared_ptr<TranscriptionEngine*> self_;
    const std::weak_ptr<TranscriptionEngine*> weakSelf_;

    // Sessions that finished with a thread of theirs still busy (a decode
    // given up that has not returned, a thread held): joined by the
    // destructor.
    std::vector<std::shared_ptr<StreamSession>> givenUp_;

    // Destroyed first, so no worker outlives the state it touches.
    platform::SerialExecutor sessionWorker_{"Verbolin.Listen"};
    // Stopped when the engine begins to go away, or the process is to end
    // now; read by the loading thread.
    std::stop_source installStop_;
    // How many loads are queued or running on the loader, and whether one
    // is preparing a recogniser: what loadLeftRunning() looks at.
    std::atomic<int> loadsUnderWay_{0};
    std::atomic<bool> preparing_{false};
    platform::SerialExecutor loader_{"Verbolin.Load"};
};

}  // namespace verbolin
