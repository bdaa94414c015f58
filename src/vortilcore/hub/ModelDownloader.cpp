#include "vortilcore/hub/ModelDownloader.hpp"

#include <exception>
#include <system_error>

#include "vortilcore/core/Logging.hpp"
#include "vortilcore/core/ModelUtilities.hpp"

namespace vortil {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPrefix = "[ModelDownloader] ";

void ignoreProgress(const std::shared_ptr<platform::Progress>&) {}

std::vector<std::string> nonEmptyPieces(const std::string& pattern) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= pattern.size()) {
        const size_t slash = pattern.find('/', start);
        const size_t end = slash == std::string::npos ? pattern.size() : slash;
        if (end > start) pieces.push_back(pattern.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return pieces;
}

bool isNonEmptyDirectory(const fs::path& path) {
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    return !ec && it != fs::directory_iterator();
}

}  // namespace

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName,
                                 std::optional<std::string> modelToken, std::string revision,
                                 bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig(std::nullopt, std::move(repoName), std::move(modelToken),
                                          std::nullopt, useBackgroundSession, std::move(endpoint),
                                          std::move(revision))) {}

HubRepo ModelDownloader::repo() const { return {config_.modelRepo, HubRepoType::models}; }

std::optional<fs::path> ModelDownloader::effectiveBase(
    const std::optional<fs::path>& downloadBase) const {
    if (downloadBase) return downloadBase;
    if (config_.downloadBase) return fs::path(*config_.downloadBase);
    return std::nullopt;
}

HubApi ModelDownloader::hubClient(const std::optional<fs::path>& base,
                                  std::optional<bool> offline) const {
    HubApi hub(base, config_.modelToken, config_.endpoint, config_.useBackgroundSession);
    hub.useOfflineMode = offline;
    return hub;
}

fs::path ModelDownloader::localRepoLocation(const std::optional<fs::path>& downloadBase) const {
    return hubClient(effectiveBase(downloadBase), std::nullopt).repoFolder(repo());
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder,
                                                          const std::string& name) const {
    const fs::path url = ModelUtilities::detectModelURL(folder, name);
    std::error_code ec;
    if (fs::exists(url, ec)) return url;
    return std::nullopt;
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns,
                                           const fs::path& folder) const {
    for (const std::string& pattern : patterns) {
        fs::path fixed = folder;
        bool anyFixed = false;
        for (const std::string& piece : nonEmptyPieces(pattern)) {
            if (piece.find('*') != std::string::npos) break;
            fixed /= piece;
            anyFixed = true;
        }
        // A file cannot be listed as a directory, so a pattern naming one fails here.
        if (!anyFixed || !isNonEmptyDirectory(fixed)) return false;
    }
    return true;
}

std::vector<std::string> ModelDownloader::fetchFilenames(
    const std::vector<std::string>& patterns, const std::optional<fs::path>& downloadBase) const {
    return hubClient(effectiveBase(downloadBase), std::nullopt)
        .getFilenames(repo(), config_.revision, patterns);
}

fs::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                        const std::optional<fs::path>& downloadBase,
                                        std::optional<bool> useOfflineMode) const {
    const std::string pattern = modelInfo.downloadPattern();
    const HubApi hub = hubClient(effectiveBase(downloadBase), useOfflineMode);
    if (useOfflineMode == true) {
        // Even offline the remote listing is asked, so a model that the
        // repository does not list is refused rather than taken from the cache.
        Logging::debug(std::string(kPrefix) + "Searching for models matching \"" + pattern +
                       "\" in Repo(id: \"" + config_.modelRepo + "\", type: models)");
        if (hub.getFilenames(repo(), config_.revision, {pattern}).empty()) {
            throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern +
                                                         "\" in " + config_.modelRepo);
        }
        Logging::debug(std::string(kPrefix) + "Downloading model " + pattern +
                       " with offline mode: true");
    } else {
        Logging::debug(std::string(kPrefix) + "Downloading model " + pattern +
                       " with offline mode: false");
    }
    return hub.snapshot(repo(), config_.revision, {pattern}, ignoreProgress);
}

fs::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& modelInfo,
                                       const std::optional<fs::path>& modelFolder,
                                       const std::optional<fs::path>& downloadBase, bool download,
                                       const ModelStateCallback& modelStateCallback) const {
    const auto report = [&](ModelState state) {
        if (modelStateCallback) modelStateCallback(state);
    };

    std::optional<fs::path> folder = modelFolder;
    if (!folder && config_.modelFolder) folder = fs::path(*config_.modelFolder);
    if (folder) {
        if (auto found = modelURLIfExists(modelInfo.modelURL(*folder), name)) {
            Logging::debug(std::string(kPrefix) + "Found " + name + " in model folder");
            return *found;
        }
    }

    const std::optional<fs::path> base = effectiveBase(downloadBase);
    std::optional<fs::path> cached;
    try {
        const fs::path repoFolder = downloadModel(modelInfo, base, true);
        cached = modelURLIfExists(modelInfo.modelURL(repoFolder), name);
    } catch (const std::exception&) {
        // Not in the cache (or the cache could not be checked): download instead.
    }
    if (cached) {
        Logging::debug(std::string(kPrefix) + "Found existing " + name + " in cache");
        report(ModelState::downloaded);
        return *cached;
    }

    if (!download)
        throw ModelDownloaderError::modelUnavailable("No model found for " + name +
                                                     " (download disabled)");

    report(ModelState::downloading);
    const fs::path repoFolder = downloadModel(modelInfo, base, std::nullopt);
    if (auto found = modelURLIfExists(modelInfo.modelURL(repoFolder), name)) {
        Logging::debug(std::string(kPrefix) + "Downloaded " + name);
        report(ModelState::downloaded);
        return *found;
    }
    throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& modelInfo,
                                              const std::optional<fs::path>& modelFolder,
                                              const std::optional<fs::path>& downloadBase,
                                              bool download,
                                              const ModelStateCallback& modelStateCallback) const {
    return resolveModel(name, modelInfo, modelFolder, downloadBase, download, modelStateCallback)
        .string();
}

fs::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<fs::path>& downloadBase, bool download,
                                      const ProgressCallback& progressCallback) const {
    const std::optional<fs::path> base = effectiveBase(downloadBase);
    const fs::path local = localRepoLocation(base);
    bool damagedLocally = false;
    if (patternsExistLocally(patterns, local)) {
        try {
            const fs::path folder =
                hubClient(base, true).snapshot(repo(), config_.revision, patterns, ignoreProgress);
            Logging::debug(std::string(kPrefix) + "Found valid local cache at " + folder.string());
            return folder;
        } catch (const std::exception& e) {
            const auto* environment = dynamic_cast<const EnvironmentError*>(&e);
            damagedLocally = environment &&
                             environment->errorCase() == EnvironmentError::Case::fileIntegrityError;
            Logging::debug(std::string(kPrefix) + "Local cache for '" + config_.modelRepo +
                           "' didn't validate (" + e.what() + "); re-resolving.");
        }
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" +
                                                     config_.modelRepo +
                                                     "' and download is disabled.");
    }

    HubApi hub = hubClient(base, std::nullopt);
    // The hub's commit still matches a damaged file's side file; only its
    // hash tells that it must be fetched again.
    hub.recheckLocalFiles = damagedLocally;
    Logging::info(std::string(kPrefix) + "Downloading " + std::to_string(patterns.size()) +
                  " model(s) from " + config_.modelRepo + "...");
    const fs::path folder =
        hub.snapshot(repo(), config_.revision, patterns,
                     progressCallback ? progressCallback : ProgressCallback(ignoreProgress));
    Logging::info(std::string(kPrefix) + "Download complete: " + folder.string());
    return folder;
}

}  // namespace vortil
