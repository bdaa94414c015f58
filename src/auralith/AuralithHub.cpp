// The pipeline's hub side: which models suit this machine, which model
// folders a repository offers, and downloading one of them.

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "auralith/Auralith.hpp"
#include "auralith/ModelUtilities.hpp"
#include "auralith/core/Constants.hpp"
#include "auralith/utilities/HubApiWrapper.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {
namespace {

using vortil::Logging;
namespace fs = std::filesystem;

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

std::string describeRepo(const HubApiWrapper::Repo& repo) {
    return "Repo(id: " + inQuotes(repo.id) + ", type: " + std::string(vortil::rawValue(repo.type)) +
           ")";
}

std::string listText(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + inQuotes(names[i]);
    return text + "]";
}

std::string progressText(const platform::Progress& progress) {
    return "Progress: " + std::to_string(progress.completedUnitCount()) + " of " +
           std::to_string(progress.totalUnitCount()) + " (" +
           std::to_string(static_cast<int>(progress.fractionCompleted() * 100.0)) + "%)";
}

std::set<std::string> firstComponents(const std::vector<std::string>& names) {
    std::set<std::string> folders;
    for (const auto& name : names) folders.insert(name.substr(0, name.find('/')));
    return folders;
}

}  // namespace

ModelSupport Auralith::recommendedModels() {
    const std::string device = deviceName();
    Logging::debug("Running on " + device);
    return Constants::fallbackModelSupportConfig().modelSupport(device);
}

ModelSupport Auralith::recommendedRemoteModels(const std::string& repo,
                                               const std::optional<fs::path>& downloadBase,
                                               const std::optional<std::string>& token,
                                               const std::string& remoteConfigName,
                                               const std::string& endpoint) {
    const std::string device = deviceName();
    return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint)
        .modelSupport(device);
}

ModelSupportConfig Auralith::fetchModelSupportConfig(const std::string& repoId,
                                                     const std::optional<fs::path>& downloadBase,
                                                     const std::optional<std::string>& token,
                                                     const std::string& remoteConfigName,
                                                     const std::string& endpoint) {
    const HubApiWrapper hubApi(downloadBase, token, endpoint, false);
    const HubApiWrapper::Repo repo{repoId, HubApiWrapper::RepoType::models};
    const ModelSupportConfig& fallback = Constants::fallbackModelSupportConfig();
    Logging::debug("Searching for config file matching " + inQuotes(remoteConfigName) + " in " +
                   repoId);
    try {
        const auto names = hubApi.getFilenames(repo, "main", {remoteConfigName});
        if (names.empty()) {
            Logging::info("No config files found matching " + inQuotes(remoteConfigName) + " in " +
                          repoId + ", using fallback");
            return fallback;
        }
        if (names.size() > 1)
            Logging::info("Multiple config files found (" + std::to_string(names.size()) + "): " +
                          listText(names) + ". Using first matching file: " + names.front());
        const std::string& file = names.front();
        const fs::path folder = hubApi.snapshot(repo, "main", {file},
                                                [](const std::shared_ptr<platform::Progress>&) {});
        std::ifstream in(folder / file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + (folder / file).string());
        return ModelSupportConfig::fromJSON(nlohmann::ordered_json::parse(in));
    } catch (const std::exception& e) {
        Logging::error(std::string("Fetch model support config failed with error: ") + e.what());
        return fallback;
    }
}

std::vector<std::string> Auralith::fetchAvailableModels(const std::string& repo,
                                                        const std::vector<std::string>& patterns,
                                                        const std::optional<fs::path>& downloadBase,
                                                        const std::optional<std::string>& token,
                                                        const std::string& remoteConfigName,
                                                        const std::string& endpoint) {
    const auto config =
        fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint);
    const auto supported = config.modelSupport(deviceName()).supported;
    std::set<std::string> found;
    for (const auto& pattern : patterns)
        for (const auto& name : vortil::matching(supported, pattern)) found.insert(name);
    return ModelUtilities::formatModelFiles({found.begin(), found.end()});
}

fs::path Auralith::download(const std::string& variant, const std::optional<fs::path>& downloadBase,
                            bool useBackgroundSession, const std::string& repoId,
                            const std::optional<std::string>& token, const std::string& endpoint,
                            DownloadProgressCallback progressCallback) {
    const HubApiWrapper hubApi(downloadBase, token, endpoint, useBackgroundSession);
    const HubApiWrapper::Repo repo{repoId, HubApiWrapper::RepoType::models};
    const std::string repoText = describeRepo(repo);
    try {
        std::string pattern = "*" + variant + "/*";
        Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + repoText);
        auto folders = firstComponents(hubApi.getFilenames(repo, "main", {pattern}));
        if (folders.size() != 1) {
            // The same wording for none and several: both mean "search again".
            Logging::debug("Multiple models found matching " + inQuotes(pattern));
            pattern = "*openai*" + variant + "/*";
            Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " +
                           repoText);
            folders = firstComponents(hubApi.getFilenames(repo, "main", {pattern}));
        }
        if (folders.size() != 1)
            throw WhisperError::modelsUnavailable(
                std::string(folders.size() > 1 ? "Multiple" : "No") + " models found matching " +
                inQuotes(pattern) + " in " + repoText);
        const std::string folder = *folders.begin();
        Logging::debug("Downloading model " + folder + "...");
        const fs::path base = hubApi.snapshot(
            repo, "main", {pattern},
            [&progressCallback](const std::shared_ptr<platform::Progress>& progress) {
                Logging::debug(progressText(*progress));
                if (progressCallback) progressCallback(*progress);
            });
        return base / folder;
    } catch (const std::exception& e) {
        Logging::debug(e.what());
        throw;
    }
}

}  // namespace auralith
