#pragma once
// What a ModelManager delegates to: fetching a set of models (usually through
// the downloader it is handed), loading or specializing them, and releasing
// them. Implementations belong to whoever manages their models this way.

#include <optional>
#include <string>

#include "vortilcore/hub/ModelDownloader.hpp"

namespace vortil {

class ModelLoader {
  public:
    using ProgressCallback = ModelDownloader::ProgressCallback;

    virtual ~ModelLoader() = default;

    // A folder that already holds the models; when present nothing is downloaded.
    virtual std::optional<std::string> modelFolder() const = 0;
    // Makes the models available locally and returns their folder's path.
    virtual std::string resolveModels(const ModelDownloader& downloader,
                                      const ProgressCallback& progressCallback) = 0;
    // Loads the models of the folder; with prewarm, only specializes them for
    // this machine without keeping them loaded.
    virtual void load(const std::string& path, bool prewarm) = 0;
    // Releases whatever load kept. It cannot fail.
    virtual void unload() noexcept = 0;
};

}  // namespace vortil
