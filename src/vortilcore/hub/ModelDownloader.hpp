#pragma once
// Turns a request for a model into local files of one "models" repository on
// the hub: a model descriptor becomes one folder and glob pattern; a named
// compiled model is looked up in a caller's folder, then in the local cache,
// then downloaded; a list of patterns is checked locally, validated offline
// and downloaded only when needed.
//
// Every operation builds its own short-lived hub client with the offline
// setting that step needs, so one downloader may be used from several
// threads at once. The operations block the calling thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vortilcore/core/ModelState.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/ModelDownloadConfig.hpp"
#include "vortilcore/hub/ModelDownloaderError.hpp"
#include "vortilcore/hub/ModelInfo.hpp"

namespace vortil {

class ModelDownloader {
  public:
    using ProgressCallback = HubApi::SnapshotProgressHandler;
    // Told downloading before a download and downloaded once the model is there.
    using ModelStateCallback = std::function<void(ModelState)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    // No download base and no model folder.
    ModelDownloader(std::string endpoint, std::string repoName,
                    std::optional<std::string> modelToken, std::string revision,
                    bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    // Snapshot of the descriptor's pattern; returns the local repository
    // folder. With offline mode true the remote listing is still consulted
    // first and an empty one is modelUnavailable; the snapshot then only
    // checks the cached copy. Hub failures pass through.
    virtual std::filesystem::path downloadModel(
        const ModelInfo& modelInfo, const std::optional<std::filesystem::path>& downloadBase,
        std::optional<bool> useOfflineMode) const;

    // Where a snapshot of the repository lands (not checked on disk).
    virtual std::filesystem::path localRepoLocation(
        const std::optional<std::filesystem::path>& downloadBase) const;

    // The compiled model `name` of the descriptor: from the model folder, else
    // from the cache, else downloaded when `download` is set. Cache-probe
    // failures are not reported; download failures are.
    virtual std::filesystem::path resolveModel(
        const std::string& name, const ModelInfo& modelInfo,
        const std::optional<std::filesystem::path>& modelFolder,
        const std::optional<std::filesystem::path>& downloadBase, bool download,
        const ModelStateCallback& modelStateCallback) const;
    virtual std::string resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                         const std::optional<std::filesystem::path>& modelFolder,
                                         const std::optional<std::filesystem::path>& downloadBase,
                                         bool download,
                                         const ModelStateCallback& modelStateCallback) const;

    // The repository folder holding every file the patterns select: the
    // cached copy when it is present and validates offline, else a download
    // (when allowed) reporting its overall progress to the callback.
    virtual std::filesystem::path resolveRepo(
        const std::vector<std::string>& patterns,
        const std::optional<std::filesystem::path>& downloadBase, bool download,
        const ProgressCallback& progressCallback) const;

    // Repository-relative names of the remote files the patterns select.
    virtual std::vector<std::string> fetchFilenames(
        const std::vector<std::string>& patterns,
        const std::optional<std::filesystem::path>& downloadBase) const;

    // The model's compiled folder (or package file) in the folder, when present.
    virtual std::optional<std::filesystem::path> modelURLIfExists(
        const std::filesystem::path& folder, const std::string& name) const;

  private:
    // Each pattern's fixed leading folders (before the first piece holding
    // "*") must name a non-empty directory under the folder.
    bool patternsExistLocally(const std::vector<std::string>& patterns,
                              const std::filesystem::path& folder) const;
    std::optional<std::filesystem::path> effectiveBase(
        const std::optional<std::filesystem::path>& downloadBase) const;
    HubApi hubClient(const std::optional<std::filesystem::path>& base,
                     std::optional<bool> offline) const;
    HubRepo repo() const;

    const ModelDownloadConfig config_;
};

}  // namespace vortil
