#pragma once
// One listening session, from the start of listening until it stops. It owns
// the microphone capture and the utterance segmenter, cuts the captured audio
// into 0.1 s frames, turns speech into preview and final decode jobs, runs
// them one at a time through the recogniser, cleans the text, and reports
// everything through the `emit` callback.
//
// Threads. The session's state is confined to its own serial executor (the
// "actor"); every operation on it runs there, one at a time. A feeding thread
// reads the capture stream and posts frames to the actor in capture order.
// Decodes run on a separate worker and post their result back, so frames keep
// flowing while the recogniser works. `emit` and `previewWanted` are called
// on the actor's thread. stop() waits for the feeding thread on its caller's
// thread, never on the actor, which meanwhile handles the frames handed over.
//
// A lost microphone. When the capture cannot open a device again after a
// change (the audio server went away, say), the session ends the utterance in
// progress as stop() does and reports captureLost once; the capture keeps
// trying, and captureRestored follows once it records again. When the capture
// gives up on a device that keeps changing, the session reports it once as an
// error event, after all the audio the capture had already delivered.
//
// Stopping. stop() first stops the capture, so nothing heard after it is
// kept; the capture's stream then holds every buffer delivered before and
// ends. The feeding thread reads it to its end and posts the last frames,
// then the samples short of a whole frame, and stop() waits for that (at
// most kFeedDrainLimit) before it ends the utterance in progress. So the
// segmenter hears every sample captured up to the stop, and the frames it
// hears only after the stop complete the last utterance without being shown:
// they report no level, no speech start and no preview. Every utterance heard
// is still decoded and reported as a final, and then `finished` is emitted,
// last of all. abandon() cancels what is still decoding or queued, reports
// each such utterance's audio as `undecoded`, then `finished`, without
// waiting for any thread. shutdown() drops what is left and joins the
// session's threads; threadsBusy() tells beforehand whether that would wait.
//
// Lifetime. Make sessions with create(). Pending decode work keeps the
// session alive, so finals queued before stop() are still decoded and
// reported after the owner has let go of it. `main` must outlive the session.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/AudioBackend.hpp"
#include "platform/system/Clock.hpp"
#include "platform/system/MainExecutor.hpp"
#include "platform/system/SerialExecutor.hpp"
#include "verbolin/listening/AudioCapture.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/DecodeQueue.hpp"
#include "verbolin/listening/OutputFilters.hpp"
#include "verbolin/listening/SpeechEngine.hpp"
#include "verbolin/listening/UtteranceSegmenter.hpp"

namespace verbolin {

class StreamSession : public std::enable_shared_from_this<StreamSession> {
  public:
    struct Event {
        enum class Kind {
            level,
            preview,
            final,
            error,
            speechStarted,
            routeChanged,
            captureLost,      // text: why; the capture keeps trying
            captureRestored,  // the capture records again after captureLost
            undecoded,        // samples, start, end: an utterance abandon() gave up on
            finished,         // after stop(): nothing is left to decode; the last event
        };

        Kind kind = Kind::level;
        float value = 0;                // level: 0...1
        std::string text;               // preview, final, error, captureLost
        platform::Date start{}, end{};  // final, undecoded
        std::vector<float> samples{};   // undecoded: 16 kHz mono

        static Event level(float v) { return {Kind::level, v, {}, {}, {}}; }
        static Event preview(std::string t) { return {Kind::preview, 0, std::move(t), {}, {}}; }
        static Event final(std::string t, platform::Date s, platform::Date e) {
            return {Kind::final, 0, std::move(t), s, e};
        }
        static Event error(std::string t) { return {Kind::error, 0, std::move(t), {}, {}}; }
        static Event speechStarted() { return {Kind::speechStarted, 0, {}, {}, {}}; }
        static Event captureLost(std::string t) {
            return {Kind::captureLost, 0, std::move(t), {}, {}};
        }
        static Event captureRestored() { return {Kind::captureRestored, 0, {}, {}, {}}; }
        static Event undecoded(std::vector<float> s, platform::Date b, platform::Date e) {
            return {Kind::undecoded, 0, {}, b, e, std::move(s)};
        }
        static Event finished() { return {Kind::finished, 0, {}, {}, {}}; }

        friend bool operator==(const Event&, const Event&) = default;
    };

    using Emit = std::function<void(Event)>;
    using PreviewWanted = std::function<bool()>;

    // What the session works with besides its arguments. `main` runs the
    // capture's restarts and must outlive the session; `clock` must too.
    struct Services {
        platform::MainExecutor* main = nullptr;
        std::shared_ptr<platform::AudioBackend> backend;  // null: the system's
        const platform::Clock* clock = &platform::Clock::system();
        std::shared_ptr<DebugRecorder> recorder = DebugRecorder::shared();
        // For tests: runs on the feeding thread before each captured array is
        // cut into frames, to slow that thread down or hold it. Empty in use.
        std::function<void()> beforeFraming;
        // For tests: runs on the decoding thread before it takes up each job,
        // to hold that thread as a busy machine or a debugger may. Empty in use.
        std::function<void()> beforeDecoding;
    };

    // How long stop() waits for the feeding thread to hand over the audio the
    // capture delivered before the stop. Reading and framing a buffer takes
    // microseconds, so even seconds of backlog drain within a few
    // milliseconds (tens under a sanitizer); only a feeding thread that is
    // starved or stuck comes near this, and the stop then goes on with what
    // was read rather than keep the user (or a quit) waiting.
    static constexpr std::chrono::milliseconds kFeedDrainLimit{500};

    // Error of a refused microphone, thrown by start().
    static constexpr const char* kErrorDomain = "Verbolin";
    static constexpr long kPermissionDenied = 1;
    static constexpr const char* kPermissionMessage =
        "Microphone access was not granted. Enable it in System Settings > Privacy & Security > "
        "Microphone.";
    // Reported as an error event when the capture gives up on a device that
    // keeps changing. A device that cannot be opened again after a change is
    // reported with the description of that error instead.
    static constexpr const char* kCaptureGaveUpMessage =
        "Audio capture stopped after too many device changes.";

    // The segmenter settings every session listens with.
    static UtteranceSegmenter::Config segmenterConfig();

    static std::shared_ptr<StreamSession> create(std::shared_ptr<SpeechEngine> engine,
                                                 bool previewEnabled, PreviewWanted previewWanted,
                                                 AudioCapture::Options audioOptions, Emit emit,
                                                 Services services);
    ~StreamSession();

    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Blocking. Asks for the microphone, begins the debug session, starts the
    // capture and the feeding thread. Throws AppError("Verbolin", 1, ...) when
    // the microphone is refused, and passes capture errors on unchanged. Does
    // nothing once stop() has run: a stopped session never opens the device.
    void start();

    // Blocking, but never waits for a decode. Stops the capture, waits until
    // the feeding thread has handed over what the capture delivered before
    // (at most kFeedDrainLimit; past it, what is still unread is dropped),
    // and queues the utterance in progress, the samples short of a last
    // frame included, as a final, which is decoded and reported afterwards
    // like any other; `finished` follows the last final. Once it returns, no
    // frame is handled any more.
    void stop();

    // Blocking, briefly; for after stop(). Cancels the decode in flight (the
    // recogniser sees a stop request on its task token) and the one handed
    // to the decoding thread that has not taken it up yet (the recogniser
    // never sees it), drops the queued finals, emits each of those
    // utterances as `undecoded` and then `finished`. Does nothing once
    // `finished` has been emitted.
    void abandon();

    // Whether a thread of the session is still at work: a decode handed to
    // the decoding thread and not yet back from the recogniser, or the
    // feeding thread not yet done with the capture's stream. Any thread.
    // After abandon() one may still be: a recogniser sees the stop request
    // only between its steps, and a thread held (a machine too busy to run
    // it, a debugger) takes nothing up until it is let go. The second waits
    // at most `limit` for none to be.
    bool threadsBusy() const;
    bool waitForThreads(std::chrono::milliseconds limit) const;

    // Blocking; for after stop(), never from a thread of the session's own.
    // Lets queued work run out and joins the session's threads, which waits
    // for as long as threadsBusy() holds: whoever may not wait asks first.
    // Idempotent; stop() and abandon() do nothing afterwards.
    void shutdown();

    // The output filters the session applies; see OutputFilters.
    static bool isHallucination(std::string_view text) {
        return OutputFilters::isHallucination(text);
    }
    static std::string collapseRepeats(std::string_view text) {
        return OutputFilters::collapseRepeats(text);
    }
    static std::string trimmed(std::string_view text) { return OutputFilters::trimmed(text); }

    // The level meter's reading of a frame's RMS: -50 dBFS and below read 0,
    // full scale reads 1; a NaN level reads 0.
    static float levelOf(float rms);

  private:
    using Job = DecodeJob;

    StreamSession(std::shared_ptr<SpeechEngine> engine, bool previewEnabled,
                  PreviewWanted previewWanted, AudioCapture::Options audioOptions, Emit emit,
                  Services services);

    // The feeding thread's loop. It holds the session weakly: the stream
    // ends when the session goes, which closes the capture.
    static void feed(const std::weak_ptr<StreamSession>& weak,
                     const std::shared_ptr<AudioCapture::Stream>& stream,
                     const std::shared_ptr<DebugRecorder>& recorder,
                     const std::function<void()>& beforeFraming);
    // Any thread: the feeding thread is done posting frames; and the wait for it.
    void feedEnded();
    bool waitForFeedEnd(std::chrono::milliseconds limit);
    // A decode is handed to the decoding thread (the actor), and is back
    // from the recogniser or was never to enter it (the decoding thread).
    void decodeHandedOver();
    void decodeReturned();

    // All below run on the actor.
    void startOnActor();
    void beginStopOnActor();
    void stopOnActor();
    void restartAttempted(std::optional<std::string> error);
    void captureEnded(std::vector<float> remainder);
    void endUtterance();
    void ingest(const std::vector<float>& frame);
    void enqueueFinal(std::vector<float> samples);
    void reportFinishedWhenDrained();
    void pump();
    void decoded(std::string text, std::optional<std::string> error, Job job, platform::Date began);
    void finished(const std::string& text, const Job& job);

    void record(const char* name, std::string detail) const;

    // Fixed at creation.
    const std::shared_ptr<SpeechEngine> engine_;
    const bool previewEnabled_;
    const PreviewWanted previewWanted_;
    const AudioCapture::Options audioOptions_;
    const Emit emit_;
    platform::MainExecutor& main_;
    const std::shared_ptr<platform::AudioBackend> backend_;
    const platform::Clock& clock_;
    const std::shared_ptr<DebugRecorder> recorder_;
    const std::function<void()> beforeFraming_;
    const std::function<void()> beforeDecoding_;
    std::unique_ptr<AudioCapture> capture_;

    // Confined to the actor.
    UtteranceSegmenter segmenter_;
    int64_t utteranceID_ = 0;
    platform::Date utteranceStart_;
    DecodeQueue decodes_;
    bool finishedReported_ = false;
    bool abandoned_ = false;
    bool captureLost_ = false;
    std::string contextText_;
    std::optional<platform::Date> contextTime_;  // none: the distant past
    int64_t lastPreviewSampleCount_ = 0;
    // stop() has begun: the capture is off, the frames it delivered still
    // arrive. Then stopped_: the utterance has been ended, frames are ignored.
    bool stopRequested_ = false;
    bool stopped_ = false;
    bool feeding_ = false;

    // Tells the feeding thread to end without handing over anything more; set
    // by shutdown(), and by a stop() that waited kFeedDrainLimit in vain.
    std::atomic<bool> feedCancelled_{false};
    // The decodes' task token; abandon() requests the stop.
    std::stop_source cancelDecodes_;
    std::atomic<bool> shutDown_{false};
    // What the session's own threads are at: whether the feeding thread may
    // still post frames (stop() waits for that), and how many decodes have
    // been handed to the decoding thread without being back from the
    // recogniser yet.
    mutable std::mutex threadsMutex_;
    mutable std::condition_variable threadsChanged_;
    bool feedRunning_ = false;
    int decodesOut_ = 0;

    // Destroyed first, so no thread of the session outlives its state.
    std::shared_ptr<platform::SerialExecutor> decoder_;
    std::shared_ptr<platform::SerialExecutor> feeder_;
    std::shared_ptr<platform::SerialExecutor> actor_;
};

}  // namespace verbolin
