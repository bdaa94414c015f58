#pragma once
// The application's single model object. It owns the transcription engine
// and the transcript store, turns the engine's events into changes of the
// store, starts or stops listening to match the user's setting once the
// speech model is ready, and keeps track of the editor window: whether it is
// really visible (live previews are made only then), its level and
// workspace behaviour, and how to show, raise or hide it.
//
// Confined to the main thread. The only state that leaves it is the window's
// visibility, which listening sessions read through a lock-guarded flag.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/system/MainExecutor.hpp"
#include "platform/system/Observable.hpp"
#include "verbolin/app/AppHost.hpp"
#include "verbolin/app/LockedFlag.hpp"
#include "verbolin/app/WindowHost.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"
#include "verbolin/settings/Defaults.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace verbolin {

class AppModel {
  public:
    struct Services {
        platform::MainExecutor* main = nullptr;  // must outlive the model
        Defaults* defaults = nullptr;            // null: Defaults::standard()
        // The transcript's folder; none: the default data folder.
        std::optional<std::filesystem::path> storeDirectory;
        // The application; null when running without one (no window changes
        // are then reported and the application counts as shown and active).
        std::shared_ptr<AppHost> app;
        // For the engine; its `main` and `defaults` are taken from above.
        TranscriptionEngine::Services engine;
        // Set when the process is asked to quit: the transcript's read at
        // start stops (see TranscriptOpening::quit). Must outlive the model.
        const std::atomic<bool>* quitAsked = nullptr;
    };

    // Sets what shared() builds the model with; call before its first use.
    static void configureShared(Services services);
    // The one model of the process, made on first use (thread-safe).
    static AppModel& shared();

    // While the transcript has changes that failed to reach the disk, they
    // are written again this often; while the window is visible, the
    // transcript is looked at this often for another program's changes.
    static constexpr std::chrono::seconds kSaveRetryInterval{5};

    explicit AppModel(Services services);
    // Stops listening and waits for the last texts (engine().stopAndWait()),
    // so the words of the utterance in progress are stored too.
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    platform::ObservationRegistrar registrar;  // mainWindow and openEditorAction

    TranscriptionEngine& engine() { return *engine_; }
    TranscriptStore& store() { return *store_; }
    Defaults& defaults() { return *defaults_; }

    // "Not saved": the transcript has changes that live only in memory (no
    // database, or writes are failing); clears once a retry stores them.
    bool transcriptNotSaved() const { return store_->notSaved.get(); }

    // Applies one engine event to the store. An utterance that could not be
    // transcribed in time keeps its audio in the data folder's
    // "Untranscribed audio" folder, and standard error says where.
    void handle(const TranscriptionEngine::Event& event);

    // Starts or stops listening to match the settings.
    void applyListening();

    // That the settings file could not be read and the settings were reset,
    // for the window to say once; none when they were read.
    std::optional<std::string> settingsNotice() const { return defaults_->problem(); }

    // The "alwaysListen" setting; absent or not a bool reads as true.
    bool alwaysListen() const { return alwaysListen(*defaults_); }
    static bool alwaysListen(const Defaults& defaults);

    // The editor window, held weakly. Setting it applies the "alwaysOnTop"
    // options to it and recomputes the visibility.
    std::shared_ptr<WindowHost> mainWindow() const;
    void setMainWindow(std::shared_ptr<WindowHost> window);

    // Opens the editor window when there is none; set by the application shell.
    const std::function<void()>& openEditorAction() const;
    void setOpenEditorAction(std::function<void()> action);

    void showWindow();
    void toggleWindow();

    // Whether the editor window was visible at the last computation.
    bool isWindowVisible() const { return windowVisible_->get(); }

  private:
    bool computeWindowVisible() const;
    void updateWindowVisible();
    void keepUndecoded(const TranscriptionEngine::Event& event);
    // Starts the retry timer when the store has unsaved changes, or the
    // window is visible over an open transcript.
    void watchUnsaved();

    platform::MainExecutor& main_;
    Defaults* defaults_;
    std::shared_ptr<AppHost> app_;
    std::shared_ptr<LockedFlag> windowVisible_ = std::make_shared<LockedFlag>();
    std::weak_ptr<WindowHost> mainWindow_;
    std::function<void()> openEditorAction_;
    // Lets callbacks that may outlive the model find out that it is gone.
    std::shared_ptr<AppModel*> self_ = std::make_shared<AppModel*>(this);

    std::unique_ptr<TranscriptionEngine> engine_;
    std::unique_ptr<TranscriptStore> store_;
    platform::ObservationToken notSavedToken_, segmentsToken_, sessionsToken_;
    bool retryScheduled_ = false;
};

}  // namespace verbolin
