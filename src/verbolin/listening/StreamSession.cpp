#include "verbolin/listening/StreamSession.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "platform/system/AppError.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/TaskCancellation.hpp"
#include "verbolin/listening/AudioFramer.hpp"
#include "vortilcore/core/Logging.hpp"

namespace verbolin {

using platform::Date;

namespace {

constexpr size_t kFrameSamples = 1600;  // 0.1 s at 16 kHz
constexpr double kSampleRate = 16000.0;
constexpr double kContextMaxAge = 30.0;
constexpr double kPreviewMinSeconds = 1.2;
constexpr double kPreviewStepSeconds = 1.5;

// Debug-event numbers read as the shortest text that parses back to the same
// value, with ".0" on whole numbers ("2.5", "0.0123", "2.0").
std::string eventNumber(float v) { return vortil::Logging::describeFloat(v); }
std::string eventNumber(double v) { return vortil::Logging::describeDouble(v); }

std::string seconds(size_t sampleCount) { return eventNumber(double(sampleCount) / kSampleRate); }

}  // namespace

UtteranceSegmenter::Config StreamSession::segmenterConfig() {
    UtteranceSegmenter::Config c{};
    c.sampleRate = 16000;
    c.frameSeconds = 0.1;
    c.prerollFrames = 5;
    c.endSilenceFrames = 10;
    c.minSpeechFrames = 3;
    c.softCutSeconds = 18.0;
    c.maxUtteranceSeconds = 28.0;
    c.absoluteFloor = 0.006f;
    c.noiseRatio = 4.0f;
    c.noiseHistoryFrames = 300;
    c.maxFloor = 0.02f;
    return c;
}

std::shared_ptr<StreamSession> StreamSession::create(std::shared_ptr<SpeechEngine> engine,
                                                     bool previewEnabled,
                                                     PreviewWanted previewWanted,
                                                     AudioCapture::Options audioOptions, Emit emit,
                                                     Services services) {
    if (!engine || !emit || !services.main || !services.clock)
        throw std::invalid_argument(
            "StreamSession needs an engine, an emit callback, a main executor and a clock");
    return std::shared_ptr<StreamSession>(new StreamSession(std::move(engine), previewEnabled,
                                                            std::move(previewWanted), audioOptions,
                                                            std::move(emit), std::move(services)));
}

StreamSession::StreamSession(std::shared_ptr<SpeechEngine> engine, bool previewEnabled,
                             PreviewWanted previewWanted, AudioCapture::Options audioOptions,
                             Emit emit, Services services)
    : engine_(std::move(engine)),
      previewEnabled_(previewEnabled),
      previewWanted_(std::move(previewWanted)),
      audioOptions_(audioOptions),
      emit_(std::move(emit)),
      main_(*services.main),
      backend_(services.backend ? std::move(services.backend) : platform::AudioBackend::system()),
      clock_(*services.clock),
      recorder_(std::move(services.recorder)),
      beforeFraming_(std::move(services.beforeFraming)),
      beforeDecoding_(std::move(services.beforeDecoding)),
      capture_(std::make_unique<AudioCapture>(backend_, main_, clock_, recorder_)),
      segmenter_(segmenterConfig()),
      utteranceStart_(clock_.now()),
      decoder_(std::make_shared<platform::SerialExecutor>("Verbolin.Decode")),
      feeder_(std::make_shared<platform::SerialExecutor>("Verbolin.Feed")),
      actor_(std::make_shared<platform::SerialExecutor>("Verbolin.Session")) {}

StreamSession::~StreamSession() {
    // Closing the device ends the capture stream, which ends the feeding loop.
    capture_.reset();
    feedCancelled_ = true;
    // The last reference can go on one of the session's own threads (a task
    // that held it just finished). A thread cannot join itself, so the
    // executors are then handed to the main executor to be shut down there;
    // whatever is still queued on them finds the session gone and does nothing.
    if (actor_->isCurrent() || feeder_->isCurrent() || decoder_->isCurrent())
        main_.post([a = std::move(actor_), f = std::move(feeder_), d = std::move(decoder_)] {});
}

void StreamSession::start() {
    // The error travels back as a value: once the actor's task has returned,
    // only this thread touches the exception.
    std::exception_ptr error = actor_->call([this]() -> std::exception_ptr {
        try {
            startOnActor();
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    });
    if (error) std::rethrow_exception(error);
}

void StreamSession::stop() {
    if (shutDown_) return;
    actor_->call([this] { beginStopOnActor(); });
    // Outside the actor, which goes on handling the frames being handed over.
    if (!waitForFeedEnd(kFeedDrainLimit)) {
        feedCancelled_ = true;
        platform::writeLog(
            "Verbolin", "listening", platform::LogType::error,
            "Stopping gave up waiting " + std::to_string(kFeedDrainLimit.count()) +
                " ms for the captured audio to be read; the end of it is not transcribed");
    }
    // Queued behind every frame posted so far.
    actor_->call([this] { stopOnActor(); });
}

void StreamSession::feedEnded() {
    {
        std::lock_guard lock(threadsMutex_);
        feedRunning_ = false;
    }
    threadsChanged_.notify_all();
}

bool StreamSession::waitForFeedEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(threadsMutex_);
    return threadsChanged_.wait_for(lock, limit, [this] { return !feedRunning_; });
}

void StreamSession::record(const char* name, std::string detail) const {
    if (recorder_) recorder_->event(name, std::move(detail));
}

void StreamSession::startOnActor() {
    if (stopRequested_ || feeding_) return;
    if (!AudioCapture::requestPermission(*backend_))
        throw platform::AppError(kErrorDomain, kPermissionDenied, kPermissionMessage);
    if (recorder_) recorder_->beginSession();

    std::shared_ptr<DebugRecorder> recorder = recorder_;
    std::weak_ptr<StreamSession> weak = weak_from_this();
    auto stream = capture_->start(audioOptions_,
                                  [weak, recorder](const std::optional<std::string>& restartError) {
                                      if (recorder && !restartError)
                                          recorder->event("route_changed", "capture rebuilt");
                                      if (std::shared_ptr<StreamSession> self = weak.lock())
                                          self->actor_->post([weak, restartError] {
                                              if (std::shared_ptr<StreamSession> s = weak.lock())
                                                  s->restartAttempted(restartError);
                                          });
                                  });
    feeding_ = true;
    {
        std::lock_guard lock(threadsMutex_);
        feedRunning_ = true;
    }
    feeder_->post([weak, stream, recorder, beforeFraming = beforeFraming_] {
        feed(weak, stream, recorder, beforeFraming);
    });
}

void StreamSession::feed(const std::weak_ptr<StreamSession>& weak,
                         const std::shared_ptr<AudioCapture::Stream>& stream,
                         const std::shared_ptr<DebugRecorder>& recorder,
                         const std::function<void()>& beforeFraming) {
    // However the loop ends, a stop() waiting for the hand-over learns that
    // nothing more will be posted, once everything has been.
    struct EndNotice {
        const std::weak_ptr<StreamSession>& weak;
        ~EndNotice() {
            if (std::shared_ptr<StreamSession> s = weak.lock()) s->feedEnded();
        }
    } notice{weak};

    AudioFramer framer(kFrameSamples);
    while (std::optional<std::vector<float>> chunk = stream->next()) {
        if (beforeFraming) beforeFraming();
        std::shared_ptr<StreamSession> self = weak.lock();
        if (!self || self->feedCancelled_) return;
        if (recorder) recorder->audio(*chunk);
        for (std::vector<float>& frame : framer.push(*chunk))
            self->actor_->post([weak, frame = std::move(frame)] {
                if (std::shared_ptr<StreamSession> s = weak.lock()) s->ingest(frame);
            });
    }
    // Queued behind the last frames, so the session hears everything the
    // capture delivered, up to its last sample, before it learns that no more
    // will come.
    std::shared_ptr<StreamSession> self = weak.lock();
    if (!self || self->feedCancelled_) return;
    self->actor_->post([weak, remainder = framer.takeRemainder()]() mutable {
        if (std::shared_ptr<StreamSession> s = weak.lock()) s->captureEnded(std::move(remainder));
    });
}

void StreamSession::abandon() {
    if (shutDown_) return;
    actor_->call([this] {
        if (finishedReported_) return;
        abandoned_ = true;
        cancelDecodes_.request_stop();
        // A decode the decoding thread has not taken up yet never reaches
        // the recogniser; one inside it still returns, its result dropped.
        for (Job& job : decodes_.abandon()) {
            record("decode_abandoned", "seconds=" + seconds(job.samples.size()));
            emit_(Event::undecoded(std::move(job.samples), job.start, job.end));
        }
        reportFinishedWhenDrained();
    });
}

void StreamSession::decodeHandedOver() {
    std::lock_guard lock(threadsMutex_);
    ++decodesOut_;
}

void StreamSession::decodeReturned() {
    {
        std::lock_guard lock(threadsMutex_);
        --decodesOut_;
    }
    threadsChanged_.notify_all();
}

bool StreamSession::threadsBusy() const {
    std::lock_guard lock(threadsMutex_);
    return feedRunning_ || decodesOut_ > 0;
}

bool StreamSession::waitForThreads(std::chrono::milliseconds limit) const {
    std::unique_lock lock(threadsMutex_);
    return threadsChanged_.wait_for(lock, limit,
                                    [this] { return !feedRunning_ && decodesOut_ == 0; });
}

void StreamSession::shutdown() {
    if (shutDown_.exchange(true)) return;
    feedCancelled_ = true;
    // Closing the capture ends the feeding loop; the decoder's last task may
    // still post its result to the actor, so the actor goes last.
    actor_->call([this] { capture_->stop(); });
    feeder_->shutdown();
    decoder_->shutdown();
    actor_->shutdown();
}

void StreamSession::beginStopOnActor() {
    if (stopRequested_) return;
    stopRequested_ = true;
    // First of all: nothing heard from here on is kept. The stream still
    // holds what was captured before, and then ends.
    capture_->stop();
    // The utterance is about to end; a preview of it would only hold up its
    // final.
    decodes_.dropPreview();
}

void StreamSession::stopOnActor() {
    if (stopped_) return;
    beginStopOnActor();
    stopped_ = true;
    endUtterance();
    // Nothing will be shown of an utterance that has ended.
    decodes_.dropPreview();
    record("session_end", "");
    reportFinishedWhenDrained();
}

void StreamSession::reportFinishedWhenDrained() {
    if (!stopped_ || finishedReported_ || !decodes_.idle()) return;
    finishedReported_ = true;
    emit_(Event::finished());
}

void StreamSession::restartAttempted(std::optional<std::string> error) {
    if (stopRequested_) return;
    if (error) {
        if (captureLost_) return;  // said once; the capture keeps trying
        captureLost_ = true;
        // What was heard before the device went is a whole utterance now:
        // nothing more of it will come.
        endUtterance();
        emit_(Event::captureLost(*error));
    } else if (captureLost_) {
        captureLost_ = false;
        emit_(Event::captureRestored());
    }
}

void StreamSession::captureEnded(std::vector<float> remainder) {
    // A stop that gave up waiting has ended the utterance already.
    if (stopped_) return;
    // The samples short of a frame go to the utterance as they are, unjudged:
    // a frame padded with silence would read quieter than what was said, and
    // the utterance would hold audio nobody captured. Outside an utterance
    // they are too short to begin one that could be decoded (that takes
    // three voiced frames), so nothing is lost by leaving them.
    if (segmenter_.isSpeaking)
        segmenter_.current.insert(segmenter_.current.end(), remainder.begin(), remainder.end());
    // A stream ended by stop() needs no report: the user asked for it.
    if (stopRequested_) return;
    emit_(Event::error(kCaptureGaveUpMessage));
    endUtterance();
}

void StreamSession::endUtterance() {
    if (segmenter_.isSpeaking) {
        std::vector<float> samples = std::move(segmenter_.current);
        const int64_t voiced = segmenter_.speechFrames;
        segmenter_.isSpeaking = false;
        segmenter_.speechFrames = 0;
        segmenter_.trailingSilence = 0;
        segmenter_.current.clear();
        if (voiced < segmenter_.config.minSpeechFrames) samples.clear();
        // The utterance has ended, so its waiting preview would only arrive
        // after its final.
        decodes_.dropPreview();
        enqueueFinal(std::move(samples));
    }
}

float StreamSession::levelOf(float rms) {
    if (std::isnan(rms)) return 0;
    const float db = 20.0f * std::log10(std::max(rms, 0.000001f));
    return std::min(1.0f, std::max(0.0f, (db + 50.0f) / 50.0f));
}

void StreamSession::ingest(const std::vector<float>& frame) {
    if (stopped_) return;
    // Frames handed over after the stop only complete the last utterance:
    // whoever listens has been told that listening stopped.
    const bool shown = !stopRequested_;
    std::vector<UtteranceSegmenter::Event> events = segmenter_.process(frame);
    for (UtteranceSegmenter::Event& event : events) {
        switch (event.kind) {
            case UtteranceSegmenter::Event::Kind::speechContinuing: {
                if (!shown || !previewEnabled_) break;
                if (previewWanted_ && !previewWanted_()) break;
                const auto count = int64_t(event.soFar.size());
                if (double(count) / kSampleRate < kPreviewMinSeconds) break;
                if (double(count - lastPreviewSampleCount_) / kSampleRate < kPreviewStepSeconds)
                    break;
                lastPreviewSampleCount_ = count;
                // The only copy of the audio so far: the segmenter's view
                // ends with the next frame, the decode runs long after.
                decodes_.offerPreview(
                    Job{std::vector<float>(event.soFar.begin(), event.soFar.end()), false,
                        utteranceStart_, clock_.now(), utteranceID_});
                pump();
                break;
            }
            case UtteranceSegmenter::Event::Kind::utteranceEnded:
                decodes_.dropPreview();
                record("speech_end", "id=" + std::to_string(utteranceID_) +
                                         " seconds=" + seconds(event.samples.size()));
                enqueueFinal(std::move(event.samples));
                break;
            case UtteranceSegmenter::Event::Kind::speechStarted: {
                // One numbering for the debug log's ids and its utterance
                // files, across the sessions of the process.
                utteranceID_ = recorder_ ? recorder_->nextUtteranceNumber() : utteranceID_ + 1;
                lastPreviewSampleCount_ = 0;
                const double preroll =
                    double(segmenter_.config.prerollFrames) * segmenter_.config.frameSeconds;
                utteranceStart_ = clock_.now() - std::chrono::duration_cast<Date::duration>(
                                                     std::chrono::duration<double>(preroll));
                record("speech_start",
                       "id=" + std::to_string(utteranceID_) +
                           " rms=" + eventNumber(segmenter_.lastRMS) +
                           " floor=" + eventNumber(segmenter_.noiseFloor()) +
                           " threshold=" + eventNumber(segmenter_.voiceThreshold()));
                if (shown) emit_(Event::speechStarted());
                break;
            }
        }
    }
    if (shown) emit_(Event::level(levelOf(segmenter_.lastRMS)));
}

void StreamSession::enqueueFinal(std::vector<float> samples) {
    const Date now = clock_.now();
    if (samples.empty()) {
        // Too short to decode; the utterance still ends with one final.
        emit_(Event::final("", utteranceStart_, now));
        return;
    }
    if (recorder_) {
        const int64_t file = recorder_->utterance(samples, utteranceID_);
        record("utterance_saved", "id=" + std::to_string(utteranceID_) + " file=utterance-" +
                                      std::to_string(file) + ".pcm");
    }
    decodes_.pushFinal(Job{std::move(samples), true, utteranceStart_, now, utteranceID_});
    pump();
}

void StreamSession::pump() {
    std::optional<Job> next = decodes_.take();
    if (!next) return;
    Job job = std::move(*next);
    record("decode_start", std::string(job.isFinal ? "final" : "preview") +
                               " seconds=" + seconds(job.samples.size()));

    const Date began = clock_.now();
    std::optional<std::string> context;
    if (contextTime_ && platform::secondsBetween(*contextTime_, began) < kContextMaxAge)
        context = contextText_;

    // The task keeps the session alive until its result is handled, so a
    // stopped session still reports what it had queued; and a decoding
    // thread that is let go only after the session was given up finds
    // everything it touches still there.
    decodeHandedOver();
    const bool handedOver = decoder_->post([self = shared_from_this(), job = std::move(job),
                                            context = std::move(context), began,
                                            token = cancelDecodes_.get_token()]() mutable {
        if (self->beforeDecoding_) self->beforeDecoding_();
        // Given up before this thread came to it: abandon() has handed its
        // audio over, and nothing waits for its text.
        if (token.stop_requested()) {
            self->decodeReturned();
            return;
        }
        std::string text;
        std::optional<std::string> error;
        try {
            const platform::TaskCancellation::Scope cancellable(token);
            text = OutputFilters::cleaned(self->engine_->transcribe(job.samples, context));
        } catch (const std::exception& e) {
            text.clear();
            error = e.what();
        } catch (...) {
            text.clear();
            error = "unknown error";
        }
        self->decodeReturned();
        // Held until post() has returned: the posted task may drop the last
        // reference to the session, and with it the executor, before post()
        // is done with it.
        std::shared_ptr<platform::SerialExecutor> actor = self->actor_;
        actor->post([self = std::move(self), text = std::move(text), error = std::move(error),
                     job = std::move(job), began]() mutable {
            self->decoded(std::move(text), std::move(error), std::move(job), began);
        });
    });
    // Only once shutdown() has begun, which drops what is left.
    if (!handedOver) decodeReturned();
}

void StreamSession::decoded(std::string text, std::optional<std::string> error, Job job,
                            Date began) {
    // abandon() has reported this job's audio already.
    if (abandoned_) return;
    if (error) emit_(Event::error("Decode failed: " + *error));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - began).count();
    record("decode_end", std::string(job.isFinal ? "final" : "preview") +
                             " ms=" + std::to_string(ms) + " text=" + text);
    finished(text, job);
}

void StreamSession::finished(const std::string& text, const Job& job) {
    decodes_.done(job);
    if (job.isFinal) {
        record("final", text);
        if (!text.empty()) {
            contextText_ = text;
            contextTime_ = job.end;
        }
        emit_(Event::final(text, job.start, job.end));
    } else if (decodes_.nothingWaiting() && segmenter_.isSpeaking &&
               job.utterance == utteranceID_) {
        // A preview is shown only while its utterance goes on. One that ended
        // without text (too short, or flushed by stop()) has had its empty
        // final, which cleared the preview; showing this one now would leave
        // text on screen that is never stored.
        record("preview", text);
        emit_(Event::preview(text));
    }
    pump();
    reportFinishedWhenDrained();
}

}  // namespace verbolin
