#pragma once
// Drives a set of models through download, specialization (prewarm), load and
// unload, delegating the work itself to a ModelLoader. It keeps the shared
// ModelState, reports each change of it to a callback, decides from the state
// whether a request is carried out, skipped or refused, finds the folder to
// load from, and returns to unloaded after any failure.
//
// The fields are guarded by a lock that is never held while the loader works
// or the callback runs, so every member may be called from any thread. Only
// ensureModelsLoaded is coordinated: concurrent calls share one download and
// load. Direct calls of the other operations are not coordinated with each
// other; a caller that needs more must serialize them.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "vortilcore/core/ModelState.hpp"
#include "vortilcore/hub/LoadModelsCoordinator.hpp"
#include "vortilcore/hub/ModelDownloader.hpp"
#include "vortilcore/hub/ModelLoader.hpp"

namespace vortil {

class ModelManager {
  public:
    using ModelStateCallback = std::function<void(ModelState oldState, ModelState newState)>;
    using ProgressCallback = ModelLoader::ProgressCallback;

    // Both must be present (std::invalid_argument otherwise).
    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
    virtual ~ModelManager() = default;

    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    ModelState modelState() const;
    // Called with (old, new) on the writing thread right after each change.
    ModelStateCallback modelStateCallback() const;
    void setModelStateCallback(ModelStateCallback callback);
    // The folder the models were resolved to.
    std::optional<std::filesystem::path> modelPath() const;
    // The loader's folder, when it has one.
    std::optional<std::filesystem::path> modelFolder() const;

    // True in downloaded, loading and loaded.
    bool isAvailable() const;
    bool isLoaded() const;

    // Downloads and loads unless loaded, joining a load already under way.
    virtual void ensureModelsLoaded();
    // Only from unloaded: adopts the loader's folder or has the loader resolve
    // the models (reporting to the callback); skipped in every other state.
    virtual void downloadModels(const ProgressCallback& progressCallback = {});
    // From downloaded (downloading first when unloaded); skipped when prewarmed.
    virtual void prewarmModels();
    // From downloaded or prewarmed (downloading first when unloaded); skipped when loaded.
    virtual void loadModels();
    // From loaded or prewarmed; does nothing in any other state.
    virtual void unloadModels();

  private:
    void setModelState(ModelState state);
    void setModelPath(std::filesystem::path path);
    std::string resolvedFolderPath() const;
    // The first word of every log line: the object's own class name.
    const std::string& loggerName() const;
    // Loads (or prewarms) from the resolved folder; both share the
    // state handling around the loader call.
    void runLoad(bool prewarm);

    const std::shared_ptr<ModelLoader> loader_;
    const std::shared_ptr<ModelDownloader> downloader_;
    LoadModelsCoordinator coordinator_;

    mutable std::mutex lock_;
    ModelState modelState_ = ModelState::unloaded;
    ModelStateCallback modelStateCallback_;
    std::optional<std::filesystem::path> modelPath_;

    mutable std::once_flag loggerNameOnce_;
    mutable std::string loggerName_;
};

}  // namespace vortil
