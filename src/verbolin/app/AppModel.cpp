#include "verbolin/app/AppModel.hpp"

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "platform/system/Log.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/UndecodedAudio.hpp"

namespace verbolin {
namespace {

std::mutex sharedServicesMutex;
std::optional<AppModel::Services>& sharedServices() {
    static std::optional<AppModel::Services> services;
    return services;
}

}  // namespace

void AppModel::configureShared(Services services) {
    std::lock_guard lock(sharedServicesMutex);
    sharedServices() = std::move(services);
}

AppModel& AppModel::shared() {
    static AppModel model([] {
        std::lock_guard lock(sharedServicesMutex);
        if (!sharedServices())
            throw std::logic_error("AppModel::shared() used before configureShared()");
        return std::move(*sharedServices());
    }());
    return model;
}

AppModel::AppModel(Services services)
    : main_(*services.main),
      defaults_(services.defaults ? services.defaults : &Defaults::standard()),
      app_(std::move(services.app)) {
    services.engine.main = &main_;
    services.engine.defaults = defaults_;
    engine_ = std::make_unique<TranscriptionEngine>(std::move(services.engine));
    store_ = std::make_unique<TranscriptStore>(
        services.storeDirectory, UserCalendar(),
        TranscriptStore::Opening{.main = &main_, .quit = services.quitAsked});

    engine_->eventSink = [this](const TranscriptionEngine::Event& e) { handle(e); };
    // Called from session threads, possibly after the model is gone: it owns
    // what it reads.
    engine_->previewWanted = [flag = windowVisible_] { return flag->get(); };
    if (app_) {
        app_->observeWindowChanges([weak = std::weak_ptr<AppModel*>(self_)] {
            if (auto self = weak.lock()) (*self)->updateWindowVisible();
        });
    }
    engine_->onModelReady = [this] { applyListening(); };
    notSavedToken_ = store_->notSaved.observe([this] { watchUnsaved(); });
    // A change that fails while notSaved is already set (a transcript that
    // could not be opened at start) sets nothing off; observers hear of a
    // change before it is written, so it is looked at on the next turn.
    const auto afterChange = [this] {
        main_.post([weak = std::weak_ptr<AppModel*>(self_)] {
            if (auto self = weak.lock()) (*self)->watchUnsaved();
        });
    };
    segmentsToken_ = store_->segments.observe(afterChange);
    sessionsToken_ = store_->sessions.observe(afterChange);
    watchUnsaved();
    engine_->loadModel();
}

AppModel::~AppModel() {
    engine_->stopAndWait();
    self_.reset();
    notSavedToken_.cancel();
    segmentsToken_.cancel();
    sessionsToken_.cancel();
    engine_.reset();
}

void AppModel::watchUnsaved() {
    // While the window shows the transcript, the timer also looks for what
    // another program changed in it, so that the window follows though
    // nothing is said or edited here (a write looks first in any case).
    const bool watched = isWindowVisible() && store_->followsFile();
    if (retryScheduled_ || (!store_->needsRetry() && !watched)) return;
    retryScheduled_ = true;
    main_.postAfter(kSaveRetryInterval, [weak = std::weak_ptr<AppModel*>(self_)] {
        auto self = weak.lock();
        if (!self) return;
        AppModel& model = **self;
        model.retryScheduled_ = false;
        model.store_->retryUnsaved();
        model.watchUnsaved();
    });
}

void AppModel::keepUndecoded(const TranscriptionEngine::Event& e) {
    const auto folder = store_->directory() / UndecodedAudio::kFolderName;
    std::string message;
    try {
        const auto file = UndecodedAudio::keep(folder, e.samples, e.start);
        message =
            "Quitting before an utterance was transcribed; its audio is kept in " + file.string();
    } catch (const std::exception& error) {
        message =
            "Quitting before an utterance was transcribed, and its audio could not be "
            "kept: " +
            std::string(error.what());
    }
    platform::writeLog("Verbolin", "listening", platform::LogType::error, message);
}

void AppModel::handle(const TranscriptionEngine::Event& e) {
    using Kind = TranscriptionEngine::Event::Kind;
    switch (e.kind) {
        case Kind::level:
            store_->level.set(e.value);
            break;
        case Kind::preview:
            store_->preview.set(e.text);
            break;
        case Kind::final: {
            Segment segment;  // a fresh random id
            segment.start = e.start;
            segment.end = e.end;
            segment.text = e.text;
            store_->append(segment);
            break;
        }
        case Kind::speechStarted:
            store_->isSpeaking.set(true);
            break;
        case Kind::stopped:
            store_->isSpeaking.set(false);
            store_->preview.set("");
            break;
        case Kind::undecoded:
            keepUndecoded(e);
            break;
    }
}

bool AppModel::alwaysListen(const Defaults& defaults) {
    return defaults.boolean(Defaults::kAlwaysListen).value_or(true);
}

void AppModel::applyListening() {
    const bool wanted = alwaysListen() || DebugRecorder::autoStart();
    if (!wanted) {
        // Stopping does not wait for a ready model: after a failed decode the
        // engine is in the failed state but still listening, and the user
        // must be able to turn that off. A restart waiting for its delay
        // would undo the pause, so it goes too.
        engine_->cancelPendingRestart();
        if (engine_->isRecording.peek()) engine_->stop();
        return;
    }
    if (engine_->modelState.peek().kind != TranscriptionEngine::ModelState::Kind::ready) return;
    if (!engine_->isRecording.peek()) engine_->start();
}

std::shared_ptr<WindowHost> AppModel::mainWindow() const {
    registrar.access(&mainWindow_);
    return mainWindow_.lock();
}

void AppModel::setMainWindow(std::shared_ptr<WindowHost> window) {
    const bool changed = mainWindow_.lock() != window;
    mainWindow_ = window;
    if (changed) registrar.notify(&mainWindow_);
    if (window) {
        const bool onTop = defaults_->boolean(Defaults::kAlwaysOnTop).value_or(false);
        window->setLevel(onTop ? WindowHost::kFloatingLevel : WindowHost::kNormalLevel);
        window->setCollectionBehavior(
            onTop ? WindowHost::kCanJoinAllSpaces | WindowHost::kFullScreenAuxiliary : 0u);
    }
    updateWindowVisible();
}

const std::function<void()>& AppModel::openEditorAction() const {
    registrar.access(&openEditorAction_);
    return openEditorAction_;
}

void AppModel::setOpenEditorAction(std::function<void()> action) {
    openEditorAction_ = std::move(action);
    registrar.notify(&openEditorAction_);
}

bool AppModel::computeWindowVisible() const {
    auto window = mainWindow_.lock();
    if (!window) return false;
    const bool appHidden = app_ && app_->isHidden();
    return window->isVisible() && !window->isMiniaturized() && !appHidden &&
           window->isOcclusionVisible();
}

void AppModel::updateWindowVisible() {
    windowVisible_->set(computeWindowVisible());
    watchUnsaved();
    // Window changes are reported before the window system has settled (an
    // occlusion change arrives before the window is drawn), so look again on
    // the next turn of the main loop.
    main_.post([weak = std::weak_ptr<AppModel*>(self_)] {
        if (auto self = weak.lock()) {
            (*self)->windowVisible_->set((*self)->computeWindowVisible());
            (*self)->watchUnsaved();
        }
    });
}

void AppModel::showWindow() {
    if (app_) app_->activate(true);
    auto window = mainWindow_.lock();
    if (window && window->isVisible()) {
        window->makeKeyAndOrderFront();
    } else if (openEditorAction_) {
        openEditorAction_();
    }
}

void AppModel::toggleWindow() {
    auto window = mainWindow_.lock();
    const bool appActive = !app_ || app_->isActive();
    if (window && window->isVisible() && window->isKeyWindow() && appActive) {
        window->orderOut();
    } else {
        showWindow();
    }
}

}  // namespace verbolin
