#include "verbolin/listening/TranscriptionEngine.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/system/Log.hpp"
#include "platform/system/Text.hpp"
#include "verbolin/listening/ModelPackDamage.hpp"
#include "verbolin/settings/Defaults.hpp"

namespace verbolin {
namespace {

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

std::optional<std::string> environment(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

}  // namespace

class TranscriptionEngine::Inbox {
  public:
    struct Entry {
        uint64_t session = 0;
        StreamSession::Event event;
    };

    void push(Entry entry) {
        {
            std::lock_guard lock(m_);
            entries_.push_back(std::move(entry));
        }
        cv_.notify_all();
    }

    // The oldest entry; waits for one until `deadline` (none: for ever).
    std::optional<Entry> pop(
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
        std::unique_lock lock(m_);
        auto ready = [&] { return !entries_.empty(); };
        if (!deadline)
            cv_.wait(lock, ready);
        else if (!cv_.wait_until(lock, *deadline, ready))
            return std::nullopt;
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        return entry;
    }

    std::optional<Entry> tryPop() {
        std::lock_guard lock(m_);
        if (entries_.empty()) return std::nullopt;
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        return entry;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Entry> entries_;
};

TranscriptionEngine::TranscriptionEngine(Services services)
    : services_(std::move(services)),
      inbox_(std::make_shared<Inbox>()),
      self_(std::make_shared<TranscriptionEngine*>(this)),
      weakSelf_(self_) {
    if (!services_.install) {
        services_.install = [options = services_.downloads](
                                const ModelPack& pack, ModelDownloader::ProgressFn progress,
                                std::stop_token stop, ModelDownloader::Existing existing) {
            ModelDownloader downloader(options);
            // Also ends a transfer that has stalled, which reports no progress.
            std::stop_callback cancelOnStop(stop, [&downloader] { downloader.cancel(); });
            downloader.install(pack, std::move(progress), existing);
        };
    }
    if (!services_.makeEngine) services_.makeEngine = makeSpeechEngine;
}

TranscriptionEngine::~TranscriptionEngine() {
    // A model download under way ends now instead of holding the quit until
    // the whole pack has arrived; the bytes fetched stay for the next start
    // to continue from.
    installStop_.request_stop();
    self_.reset();
    if (auto s = std::move(session_)) {
        draining_.push_back({sessionID_, s});
        sessionWorker_.post([s] { s->stop(); });
    }
    sessionWorker_.shutdown();
    // No thread of a session may outlive the engine: a decode still running
    // when the process exits would crash inside the numeric libraries.
    for (const Draining& d : draining_) {
        d.session->abandon();
        d.session->shutdown();
    }
    draining_.clear();
    for (const auto& s : givenUp_) s->shutdown();
    givenUp_.clear();
    loader_.shutdown();
}

void TranscriptionEngine::onMain(std::function<void()> task) {
    services_.main->post([weak = weakSelf_, task = std::move(task)] {
        if (weak.lock()) task();
    });
}

std::string TranscriptionEngine::downloadStartMessage(const ModelPack& pack,
                                                      const ModelDownloader::Options& source) {
    return "Downloading speech model (" + std::to_string(ModelDownloader::approxMB(pack, source)) +
           " MB)\u2026";
}

std::optional<std::string> TranscriptionEngine::incompletePackNotice(const ModelPack& pack) {
    const auto missing = pack.missingFiles();
    std::error_code ec;
    if (missing.empty() || !std::filesystem::exists(pack.localFolder(), ec)) return std::nullopt;
    std::string text = "The speech model pack at " + pack.localFolder().string() + " lacks";
    for (size_t i = 0; i < missing.size(); ++i) text += (i == 0 ? " " : ", ") + missing[i];
    return text + "; it is installed again.";
}

std::string TranscriptionEngine::damagedPackNotice(const ModelPack& pack,
                                                   const std::string& damage) {
    return "The speech model pack at " + pack.localFolder().string() + " is damaged (" + damage +
           "); it is installed again.";
}

std::string TranscriptionEngine::damagedPackFailure(const ModelPack& pack,
                                                    const std::string& damage,
                                                    const std::string& installFailure) {
    // A bar short of room keeps the start and the end of a message: the
    // cause leads and the install's failure, which ends with what to do,
    // follows; the folder, long and the least telling, sits between them.
    return "The speech model pack is damaged (" + damage +
           ") and could not be installed again; its folder is " + pack.localFolder().string() +
           ". " + installFailure;
}

std::string TranscriptionEngine::progressMessage(const ModelDownloader::Progress& progress) {
    if (const auto* d = std::get_if<ModelDownloader::Downloading>(&progress)) {
        return "Downloading speech model\u2026 " + std::to_string(d->receivedMB) + " of " +
               std::to_string(d->totalMB) + " MB";
    }
    return "Installing speech model\u2026";
}

void TranscriptionEngine::loadModel() {
    const std::string name = services_.defaults->string(Defaults::kModelPack).value_or("standard");
    const ModelPack pack = ModelPack::named(name);
    const bool installed = pack.isInstalled();
    modelState.set(ModelState::loading(
        installed ? kPreparingMessage : downloadStartMessage(pack, services_.downloads)));
    // A pack folder that lacks a part (an interrupted copy, a file removed by
    // hand) cannot load: it is installed over, and the user is told once what
    // it lacked, so that the download does not come as a surprise. Told on
    // the main executor's next turn, so that a sink installed just after the
    // load began (the application model loads as it is made) hears it.
    if (const auto lacking = installed ? std::nullopt : incompletePackNotice(pack))
        onMain([this, text = *lacking] { notice(text); });

    ++loadsUnderWay_;
    const bool queued = loader_.post([this, choice = EngineChoice::auralith(pack), installed] {
        struct Ended {
            std::atomic<int>& count;
            ~Ended() { --count; }
        } ended{loadsUnderWay_};
        const ModelPack& pack = choice.pack();
        // Also takes back a pack that an install stopped part-way had moved
        // aside: it is then in place, as it was before that install.
        ModelDownloader::removeLeftovers(pack);
        const bool inPlace = installed || pack.isInstalled();
        if (!inPlace && !installPack(pack, ModelDownloader::Existing::keep)) return;
        onMain([this] { modelState.set(ModelState::loading(kPreparingMessage)); });
        if (!beginPreparing()) return;

        std::shared_ptr<SpeechEngine> recogniser;
        std::exception_ptr error = prepareRecogniser(choice, recogniser);
        // A pack that was in place but whose files do not load is installed
        // again from its source, as one that lacks a part is, saying once
        // what is damaged; at most once per load, so a source that serves a
        // damaged pack cannot keep a load going.
        const auto damage = error && inPlace ? packDamage(pack, error) : std::nullopt;
        if (damage) {
            onMain([this, text = damagedPackNotice(pack, *damage),
                    start = downloadStartMessage(pack, services_.downloads)] {
                notice(text);
                modelState.set(ModelState::loading(start));
            });
            if (!installPack(pack, ModelDownloader::Existing::replace, damage)) return;
            onMain([this] { modelState.set(ModelState::loading(kPreparingMessage)); });
            if (!beginPreparing()) return;
            error = prepareRecogniser(choice, recogniser);
        }
        if (error) {
            onMain([this, text = describe(error)] {
                modelLoadFailed_ = true;
                modelState.set(ModelState::failed(text));
            });
            return;
        }
        onMain([this, recogniser = std::move(recogniser)] {
            engine_ = recogniser;
            modelLoadFailed_ = false;
            modelState.set(ModelState::ready());
            if (onModelReady) onModelReady();
        });
    });
    if (!queued) --loadsUnderWay_;  // the engine is going away
}

bool TranscriptionEngine::installPack(const ModelPack& pack, ModelDownloader::Existing existing,
                                      const std::optional<std::string>& damage) {
    struct Quitting {};
    try {
        services_.install(
            pack,
            [this](const ModelDownloader::Progress& p) {
                if (installStop_.stop_requested()) throw Quitting{};
                onMain([this, text = progressMessage(p)] {
                    modelState.set(ModelState::loading(text));
                });
            },
            installStop_.get_token(), existing);
        return true;
    } catch (...) {
        // Going away: the install was stopped, nothing to report.
        if (installStop_.stop_requested()) return false;
        std::string text = describe(std::current_exception());
        if (damage) text = damagedPackFailure(pack, *damage, text);
        onMain([this, text = std::move(text)] {
            modelLoadFailed_ = true;
            modelState.set(ModelState::failed(text));
        });
        return false;
    }
}

bool TranscriptionEngine::beginPreparing() {
    // Set before the stop is looked at: loadLeftRunning() stops first and
    // then looks at this, so either the load ends here or it is counted as
    // running.
    preparing_ = true;
    if (!installStop_.stop_requested()) return true;
    preparing_ = false;
    return false;
}

std::exception_ptr TranscriptionEngine::prepareRecogniser(const EngineChoice& choice,
                                                          std::shared_ptr<SpeechEngine>& made) {
    struct Prepared {
        std::atomic<bool>& preparing;
        ~Prepared() { preparing = false; }
    } prepared{preparing_};
    try {
        auto recogniser = services_.makeEngine(choice);
        recogniser->prepare();
        made = std::move(recogniser);
        return nullptr;
    } catch (...) {
        return std::current_exception();
    }
}

void TranscriptionEngine::start() {
    if (isRecording.peek() || !engine_ || !stopDone_.empty()) return;
    isRecording.set(true);

    AudioCapture::Options options;
    options.deviceID = resolvedInputDeviceID();
    options.echoCancellation = echoCancellation();

    StreamSession::Services sessionServices;
    sessionServices.main = services_.main;
    sessionServices.backend = services_.backend;
    sessionServices.clock = services_.clock;
    sessionServices.recorder = services_.recorder;
    sessionServices.beforeFraming = services_.beforeFraming;
    sessionServices.beforeDecoding = services_.beforeDecoding;

    const uint64_t id = ++nextSessionID_;
    auto emit = [weak = weakSelf_, main = services_.main, inbox = inbox_,
                 id](StreamSession::Event e) {
        inbox->push({id, std::move(e)});
        main->post([weak] {
            if (auto self = weak.lock()) (*self)->deliverOne();
        });
    };
    auto session = StreamSession::create(engine_, livePreview.peek(), previewWanted, options,
                                         std::move(emit), std::move(sessionServices));
    session_ = session;
    sessionID_ = id;
    captureStopped_ = false;

    sessionWorker_.post([this, session] {
        try {
            session->start();
        } catch (...) {
            onMain([this, session, text = describe(std::current_exception())] {
                // A session that was already replaced does not speak for the
                // one listening now.
                if (session_ == session) captureStopped_ = true;
                modelState.set(ModelState::failed(text));
                if (session_ == session) isRecording.set(false);
            });
            return;
        }
        onMain([this, session] {
            if (session_ == session && onMicrophoneOpen) onMicrophoneOpen();
        });
    });
}

std::shared_ptr<StreamSession> TranscriptionEngine::detachSession() {
    auto old = std::move(session_);
    session_.reset();
    lostMessage_.reset();
    draining_.push_back({sessionID_, old});
    isRecording.set(false);
    return old;
}

void TranscriptionEngine::stop() {
    cancelPendingRestart();
    if (!session_) return;
    auto old = detachSession();
    send(Event::level(0));
    sessionWorker_.post([old] { old->stop(); });
    send(Event::stopped());
}

void TranscriptionEngine::stopSessions() {
    cancelPendingRestart();
    // Whoever began that stop is being replaced by this caller, and may be
    // gone by the time the drain ends.
    stopDone_.clear();
    ++stopGeneration_;
    if (session_) {
        auto old = detachSession();
        // Through the worker, so a start still under way finishes first.
        sessionWorker_.call([old] { old->stop(); });
    } else {
        sessionWorker_.call([] {});  // the stops that stop() queued have run
    }
}

void TranscriptionEngine::abandonDraining() {
    const std::vector<Draining> late = draining_;
    for (const Draining& d : late) d.session->abandon();
    // Each abandoned session reports its audio and then finished at once,
    // whatever its recogniser is doing.
    while (!draining_.empty()) {
        auto entry = inbox_->pop();
        handle(entry->session, entry->event);
    }
}

void TranscriptionEngine::stopAndWait(std::chrono::milliseconds limit) {
    stopSessions();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!draining_.empty()) {
        auto entry = inbox_->pop(deadline);
        if (!entry) break;
        handle(entry->session, entry->event);
    }
    // Too slow: what is still decoding is given up, and its audio delivered
    // so that it can be kept.
    abandonDraining();
}

void TranscriptionEngine::stopNow() {
    stopSessions();
    abandonDraining();
}

bool TranscriptionEngine::threadsLeftRunning() const {
    return std::any_of(givenUp_.begin(), givenUp_.end(),
                       [](const auto& s) { return s->threadsBusy(); });
}

bool TranscriptionEngine::loadLeftRunning() {
    installStop_.request_stop();
    // Whatever else a load does ends soon once asked, as the destructor
    // would wait for it; a preparation would hold the process for its length.
    while (loadsUnderWay_.load() > 0 && !preparing_.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return loadsUnderWay_.load() > 0;
}

void TranscriptionEngine::stopThen(std::function<void()> done, std::chrono::milliseconds limit) {
    cancelPendingRestart();
    stopDone_.push_back(std::move(done));
    if (stopDone_.size() > 1) return;  // joins the stop under way
    const uint64_t generation = ++stopGeneration_;
    stopQueueRun_ = false;
    if (session_) {
        auto old = detachSession();
        sessionWorker_.post([old] { old->stop(); });
    }
    // Behind every stop queued so far, so a start still under way finishes
    // and its session has been told to stop before an empty drain counts.
    sessionWorker_.post([this, generation] {
        onMain([this, generation] {
            if (generation != stopGeneration_) return;
            stopQueueRun_ = true;
            // A session with nothing left to decode has reported finished
            // before this task was posted, so what still drains is decoding.
            if (!draining_.empty() && onDrainWaits) onDrainWaits();
            completeStopIfDrained();
        });
    });
    services_.main->postAfter(limit, [weak = weakSelf_, generation] {
        auto self = weak.lock();
        if (!self) return;
        TranscriptionEngine& engine = **self;
        if (generation != engine.stopGeneration_ || engine.stopDone_.empty()) return;
        // Too slow: what is still decoding is given up; its audio arrives
        // as undecoded, and each session's finished follows.
        const std::vector<Draining> late = engine.draining_;
        for (const Draining& d : late) d.session->abandon();
    });
}

void TranscriptionEngine::completeStopIfDrained() {
    if (stopDone_.empty() || !stopQueueRun_ || !draining_.empty()) return;
    std::vector<std::function<void()>> done = std::move(stopDone_);
    stopDone_.clear();
    ++stopGeneration_;
    for (auto& d : done)
        if (d) d();
}

void TranscriptionEngine::deliverOne() {
    if (auto entry = inbox_->tryPop()) handle(entry->session, entry->event);
}

std::optional<std::string> TranscriptionEngine::inputDeviceName() const {
    return services_.defaults->string(Defaults::kInputDevice);
}

void TranscriptionEngine::setInputDeviceName(std::optional<std::string> name) {
    services_.defaults->setOptionalString(Defaults::kInputDevice, name);
    if (isRecording.peek()) restart();
}

void TranscriptionEngine::restart() {
    stop();
    const uint64_t generation = ++restartGeneration_;
    pendingRestart_ = generation;
    services_.main->postAfter(kRestartDelay, [weak = weakSelf_, generation] {
        auto self = weak.lock();
        if (!self) return;
        TranscriptionEngine& engine = **self;
        if (engine.pendingRestart_ != generation)
            return;  // paused, quit or restarted again meanwhile
        engine.pendingRestart_.reset();
        if (!engine.isRecording.peek()) engine.start();
    });
}

void TranscriptionEngine::cancelPendingRestart() { pendingRestart_.reset(); }

std::optional<uint32_t> TranscriptionEngine::resolvedInputDeviceID() const {
    const std::vector<AudioCapture::Device> devices =
        services_.backend ? AudioCapture::inputDevices(*services_.backend)
                          : AudioCapture::inputDevices();

    if (auto wanted = environment("VERBOLIN_INPUT_DEVICE"); wanted && !wanted->empty()) {
        for (const auto& d : devices)
            if (platform::text::containsIgnoringCase(d.name, *wanted)) return d.id;
        if (warnedInputDevice_ != wanted) {
            warnedInputDevice_ = wanted;
            notice(unmatchedDeviceNotice(*wanted, devices));
        }
    }
    if (auto stored = services_.defaults->string(Defaults::kInputDevice)) {
        for (const auto& d : devices)
            if (d.name == *stored) return d.id;
    }
    for (const auto& d : devices)
        if (platform::text::containsIgnoringCase(d.name, "MacBook") &&
            platform::text::containsIgnoringCase(d.name, "Microphone"))
            return d.id;
    return std::nullopt;
}

bool TranscriptionEngine::echoCancellation() {
    return environment("VERBOLIN_VOICE_PROCESSING") == "1";
}

std::string TranscriptionEngine::microphoneLostMessage(const std::string& reason) {
    return "The microphone is unavailable (" + reason + ")" + kResumesWhenBack;
}

std::string TranscriptionEngine::unmatchedDeviceNotice(
    const std::string& wanted, const std::vector<AudioCapture::Device>& devices) {
    std::string text = "VERBOLIN_INPUT_DEVICE=\"" + wanted +
                       "\" matches no microphone; listening to the default input instead. ";
    if (devices.empty()) return text + "No microphones were found.";
    text += "Microphones found:";
    for (size_t i = 0; i < devices.size(); ++i)
        text += (i == 0 ? " \"" : ", \"") + devices[i].name + "\"";
    return text + ".";
}

void TranscriptionEngine::notice(const std::string& text) const {
    if (noticeSink)
        noticeSink(text);
    else
        platform::writeLog("Verbolin", "listening", platform::LogType::defaultType, text);
}

void TranscriptionEngine::send(const Event& event) {
    if (eventSink) eventSink(event);
}

void TranscriptionEngine::handle(uint64_t session, const StreamSession::Event& e) {
    using Kind = StreamSession::Event::Kind;
    // What a session showed just before it was stopped can reach this thread
    // after "stopped" was sent (or after the next session began); a level,
    // speech start or preview then would stay on screen with nothing to
    // clear it. Its finals and audio are still delivered.
    const bool listeningTo = session_ && session == sessionID_;
    switch (e.kind) {
        case Kind::level:
            if (listeningTo) send(Event::level(e.value));
            break;
        case Kind::preview:
            if (listeningTo && livePreview.peek()) send(Event::preview(e.text));
            break;
        case Kind::final:
            send(Event::final(e.text, e.start, e.end));
            break;
        case Kind::error:
            // The session's one error that ends its capture; decode failures
            // leave it listening.
            if (session == sessionID_ && session_ && e.text == StreamSession::kCaptureGaveUpMessage)
                captureStopped_ = true;
            modelState.set(ModelState::failed(e.text));
            break;
        case Kind::speechStarted:
            if (listeningTo) send(Event::speechStarted());
            break;
        case Kind::routeChanged:
            break;
        case Kind::captureLost:
            if (session != sessionID_ || !session_) break;
            lostMessage_ = microphoneLostMessage(e.text);
            captureStopped_ = true;
            modelState.set(ModelState::failed(*lostMessage_));
            break;
        case Kind::captureRestored:
            if (session != sessionID_ || !lostMessage_) break;
            captureStopped_ = false;
            // Only the state this engine set for the lost microphone; a decode
            // failure shown meanwhile stays until the model is loaded again.
            if (engine_ && modelState.peek() == ModelState::failed(*lostMessage_))
                modelState.set(ModelState::ready());
            lostMessage_.reset();
            break;
        case Kind::undecoded:
            send(Event::undecoded(e.samples, e.start, e.end));
            break;
        case Kind::finished: {
            auto it = std::find_if(draining_.begin(), draining_.end(),
                                   [&](const Draining& d) { return d.id == session; });
            if (it == draining_.end()) break;
            const std::shared_ptr<StreamSession> done = it->session;
            draining_.erase(it);
            // Finished with a thread still busy: a decode abandoned inside
            // the recogniser or before its thread took it up, or a feeding
            // thread that never came back. Joining would wait for it, which
            // a quit that gave the decode up does not: a recogniser that
            // hears the stop returns within a step, a thread let go soon
            // ends; one that does not is left running.
            if (done->waitForThreads(kDecodeStopGrace))
                done->shutdown();
            else
                givenUp_.push_back(done);
            completeStopIfDrained();
            break;
        }
    }
}

}  // namespace verbolin
