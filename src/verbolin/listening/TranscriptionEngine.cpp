#include "verbolin/listening/TranscriptionEngine.hpp"

#include <cstdlib>
#include <exception>

#include "platform/system/Text.hpp"
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

TranscriptionEngine::TranscriptionEngine(Services services)
    : services_(std::move(services)),
      self_(std::make_shared<TranscriptionEngine*>(this)),
      weakSelf_(self_) {
    if (!services_.install) {
        services_.install = [](const ModelPack& pack, ModelDownloader::ProgressFn progress) {
            ModelDownloader().install(pack, std::move(progress));
        };
    }
    if (!services_.makeEngine) services_.makeEngine = makeSpeechEngine;
}

TranscriptionEngine::~TranscriptionEngine() {
    self_.reset();
    if (auto s = std::move(session_)) sessionWorker_.post([s] { s->stop(); });
    sessionWorker_.shutdown();
    loader_.shutdown();
}

void TranscriptionEngine::onMain(std::function<void()> task) {
    services_.main->post([weak = weakSelf_, task = std::move(task)] {
        if (weak.lock()) task();
    });
}

std::string TranscriptionEngine::downloadStartMessage(const ModelPack& pack) {
    return "Downloading speech model (" + std::to_string(pack.approxMB) + " MB)\u2026";
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
    modelState.set(ModelState::loading(installed ? kPreparingMessage : downloadStartMessage(pack)));

    loader_.post([this, choice = EngineChoice::auralith(pack), installed] {
        const ModelPack& pack = choice.pack();
        if (!installed) {
            try {
                services_.install(pack, [this](const ModelDownloader::Progress& p) {
                    onMain([this, text = progressMessage(p)] {
                        modelState.set(ModelState::loading(text));
                    });
                });
            } catch (...) {
                onMain([this, text = describe(std::current_exception())] {
                    modelState.set(ModelState::failed(text));
                });
                return;
            }
        }
        onMain([this] { modelState.set(ModelState::loading(kPreparingMessage)); });

        std::shared_ptr<SpeechEngine> recogniser;
        try {
            recogniser = services_.makeEngine(choice);
            recogniser->prepare();
        } catch (...) {
            onMain([this, text = describe(std::current_exception())] {
                modelState.set(ModelState::failed(text));
            });
            return;
        }
        onMain([this, recogniser = std::move(recogniser)] {
            engine_ = recogniser;
            modelState.set(ModelState::ready());
            if (onModelReady) onModelReady();
        });
    });
}

void TranscriptionEngine::start() {
    if (isRecording.peek() || !engine_) return;
    isRecording.set(true);

    AudioCapture::Options options;
    options.deviceID = resolvedInputDeviceID();
    options.echoCancellation = echoCancellation();

    StreamSession::Services sessionServices;
    sessionServices.main = services_.main;
    sessionServices.backend = services_.backend;
    sessionServices.clock = services_.clock;
    sessionServices.recorder = services_.recorder;

    auto emit = [weak = weakSelf_, main = services_.main](StreamSession::Event e) {
        main->post([weak, e = std::move(e)] {
            if (auto self = weak.lock()) (*self)->handle(e);
        });
    };
    auto session = StreamSession::create(engine_, livePreview.peek(), previewWanted, options,
                                         std::move(emit), std::move(sessionServices));
    session_ = session;

    sessionWorker_.post([this, session] {
        try {
            session->start();
        } catch (...) {
            onMain([this, session, text = describe(std::current_exception())] {
                modelState.set(ModelState::failed(text));
                // A session that was already replaced does not speak for the
                // one listening now.
                if (session_ == session) isRecording.set(false);
            });
        }
    });
}

void TranscriptionEngine::stop() {
    cancelPendingRestart();
    if (!session_) return;
    auto old = std::move(session_);
    session_.reset();
    isRecording.set(false);
    send(Event::level(0));
    sessionWorker_.post([old] { old->stop(); });
    send(Event::stopped());
}

void TranscriptionEngine::stopAndWait() {
    cancelPendingRestart();
    if (!session_) return;
    auto old = std::move(session_);
    session_.reset();
    isRecording.set(false);
    // Through the worker, so a start still under way finishes first.
    sessionWorker_.call([old] { old->stop(); });
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

void TranscriptionEngine::send(const Event& event) {
    if (eventSink) eventSink(event);
}

void TranscriptionEngine::handle(const StreamSession::Event& e) {
    using Kind = StreamSession::Event::Kind;
    switch (e.kind) {
        case Kind::level:
            send(Event::level(e.value));
            break;
        case Kind::preview:
            if (livePreview.peek()) send(Event::preview(e.text));
            break;
        case Kind::final:
            send(Event::final(e.text, e.start, e.end));
            break;
        case Kind::error:
            modelState.set(ModelState::failed(e.text));
            break;
        case Kind::speechStarted:
            send(Event::speechStarted());
            break;
        case Kind::routeChanged:
            break;
    }
}

}  // namespace verbolin
