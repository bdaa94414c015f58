#include "vortilcore/hub/ModelManager.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <typeinfo>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/VortilCoreError.hpp"

namespace vortil {
namespace {

namespace fs = std::filesystem;

// The text of the exception being handled, for log lines.
std::string currentErrorText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// "ModelManager" for vortil::ModelManager, "Mine" for (anonymous namespace)::Mine.
std::string unqualifiedName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    name = name.substr(0, name.find('<'));
    const size_t scope = name.rfind("::");
    return scope == std::string::npos ? name : name.substr(scope + 2);
}

}  // namespace

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader,
                           std::shared_ptr<ModelDownloader> downloader)
    : loader_(std::move(loader)), downloader_(std::move(downloader)) {
    if (!loader_ || !downloader_)
        throw std::invalid_argument("ModelManager needs a loader and a downloader");
}

ModelState ModelManager::modelState() const {
    std::lock_guard guard(lock_);
    return modelState_;
}

ModelManager::ModelStateCallback ModelManager::modelStateCallback() const {
    std::lock_guard guard(lock_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(ModelStateCallback callback) {
    std::lock_guard guard(lock_);
    modelStateCallback_ = std::move(callback);
}

std::optional<fs::path> ModelManager::modelPath() const {
    std::lock_guard guard(lock_);
    return modelPath_;
}

std::optional<fs::path> ModelManager::modelFolder() const {
    if (auto folder = loader_->modelFolder()) return fs::path(*folder);
    return std::nullopt;
}

bool ModelManager::isAvailable() const {
    const ModelState state = modelState();
    return state == ModelState::loading || state == ModelState::loaded ||
           state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

void ModelManager::setModelState(ModelState state) {
    ModelState old;
    ModelStateCallback callback;
    {
        std::lock_guard guard(lock_);
        old = modelState_;
        modelState_ = state;
        if (old != state) callback = modelStateCallback_;
    }
    // Outside the lock: the callback may read the manager or replace itself.
    if (callback) callback(old, state);
}

void ModelManager::setModelPath(fs::path path) {
    std::lock_guard guard(lock_);
    modelPath_ = std::move(path);
}

const std::string& ModelManager::loggerName() const {
    // Not in the constructor: there the dynamic type is still this class.
    std::call_once(loggerNameOnce_, [this] { loggerName_ = unqualifiedName(typeid(*this)); });
    return loggerName_;
}

std::string ModelManager::resolvedFolderPath() const {
    if (auto path = modelPath()) return path->string();
    if (auto folder = loader_->modelFolder()) return *folder;
    throw VortilCoreError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::downloadModels(const ProgressCallback& progressCallback) {
    const std::string prefix = "[" + loggerName() + "] ";
    const ModelState state = modelState();
    if (state != ModelState::unloaded) {
        Logging::debug(prefix + "Models already downloaded (state: " +
                       std::string(description(state)) + "), skipping download");
        return;
    }
    if (auto folder = loader_->modelFolder()) {
        Logging::debug(prefix + "modelFolder is set, skipping download");
        setModelPath(fs::path(*folder));
        setModelState(ModelState::downloaded);
        return;
    }

    Logging::info(prefix + "Starting download process...");
    setModelState(ModelState::downloading);
    std::string path;
    try {
        path = loader_->resolveModels(*downloader_, progressCallback);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "Failed to download models: " + currentErrorText());
        throw;
    }
    setModelPath(fs::path(path));
    setModelState(ModelState::downloaded);
    Logging::info(prefix + "Models downloaded to " + path);
}

void ModelManager::runLoad(bool prewarm) {
    const std::string prefix = "[" + loggerName() + "] ";
    if (modelState() == ModelState::unloaded) ModelManager::downloadModels();
    const std::string path = resolvedFolderPath();

    const ModelState state = modelState();
    const ModelState done = prewarm ? ModelState::prewarmed : ModelState::loaded;
    if (state == done) {
        Logging::debug(prefix + (prewarm ? "Models already prewarmed, skipping"
                                         : "Models already loaded, skipping"));
        return;
    }
    const bool allowed =
        state == ModelState::downloaded || (!prewarm && state == ModelState::prewarmed);
    if (!allowed) {
        throw VortilCoreError::invalidConfiguration(
            std::string(prewarm ? "Cannot prewarm" : "Cannot load") +
            " in state: " + std::string(description(state)));
    }

    setModelState(prewarm ? ModelState::prewarming : ModelState::loading);
    try {
        loader_->load(path, prewarm);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix +
                       (prewarm ? "Failed to prewarm models: " : "Failed to load models: ") +
                       currentErrorText());
        throw;
    }
    setModelState(done);
    Logging::info(prefix +
                  (prewarm ? "Models prewarmed successfully" : "Models loaded successfully"));
}

void ModelManager::prewarmModels() { runLoad(true); }

void ModelManager::loadModels() { runLoad(false); }

void ModelManager::unloadModels() {
    const ModelState state = modelState();
    if (state != ModelState::loaded && state != ModelState::prewarmed) return;
    setModelState(ModelState::unloading);
    loader_->unload();
    setModelState(ModelState::unloaded);
}

void ModelManager::ensureModelsLoaded() {
    if (isLoaded()) return;
    // This class's own steps, not a subclass's overrides.
    coordinator_.run([this] {
        if (isLoaded()) return;
        ModelManager::downloadModels();
        ModelManager::loadModels();
    });
}

}  // namespace vortil
