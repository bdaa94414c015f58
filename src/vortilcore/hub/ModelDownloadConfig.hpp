#pragma once
// Which hub repository a ModelDownloader works on, and how it reaches it.

#include <optional>
#include <string>

namespace vortil {

struct ModelDownloadConfig {
    // Root of the local hub cache; absent: the hub client's default root.
    std::optional<std::string> downloadBase;
    // Repository id (owner/name) of a "models" repository.
    std::string modelRepo;
    // Absent: the hub client looks for a token in the environment.
    std::optional<std::string> modelToken;
    // A local folder of models, searched before the cache by resolveModel.
    std::optional<std::string> modelFolder;
    bool useBackgroundSession = false;
    // Always given, so HF_ENDPOINT never applies to the downloader.
    std::string endpoint;
    // Branch, tag or commit used for every listing and snapshot.
    std::string revision;

    ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                        std::optional<std::string> modelToken,
                        std::optional<std::string> modelFolder, bool useBackgroundSession,
                        std::string endpoint, std::string revision)
        : downloadBase(std::move(downloadBase)),
          modelRepo(std::move(modelRepo)),
          modelToken(std::move(modelToken)),
          modelFolder(std::move(modelFolder)),
          useBackgroundSession(useBackgroundSession),
          endpoint(std::move(endpoint)),
          revision(std::move(revision)) {}
};

}  // namespace vortil
