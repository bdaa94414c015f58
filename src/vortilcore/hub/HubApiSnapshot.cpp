#include <algorithm>
#include <cmath>

#include "platform/system/Progress.hpp"
#include "vortilcore/core/FoundationExtensions.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

namespace vortil {
namespace {

namespace fs = std::filesystem;

// Throws offlineModeError naming the first file the patterns select (all
// for none) that exists only as a partial download.
void checkNoPartialDownloads(const fs::path& repoDestination,
                             const fs::path& repoMetadataDestination,
                             const std::vector<std::string>& matching) {
    // The metadata folder keeps a file's partial download as
    // "<name>.<etag>.incomplete" until it completes.
    const std::string suffix = ".incomplete";
    std::error_code ec;
    fs::recursive_directory_iterator it(repoMetadataDestination,
                                        fs::directory_options::skip_permission_denied, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        std::string name = path.filename().string();
        if (!name.ends_with(suffix)) continue;
        name.resize(name.size() - suffix.size());
        const size_t dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0) continue;
        name.resize(dot);
        const std::string relative =
            (path.parent_path().lexically_relative(repoMetadataDestination) / name)
                .lexically_normal()
                .string();
        if (!matching.empty()) {
            const bool wanted = std::any_of(matching.begin(), matching.end(), [&](const auto& p) {
                return !vortil::matching({relative}, p).empty();
            });
            if (!wanted) continue;
        }
        // A complete copy beside a newer version's partial download is still complete.
        std::error_code present;
        if (fs::is_regular_file(repoDestination / relative, present)) continue;
        throw EnvironmentError::offlineModeError(relative + " is incomplete");
    }
}

void verifyOfflineSnapshot(const HubApi& hub, const fs::path& repoDestination,
                           const fs::path& repoMetadataDestination,
                           const std::vector<std::string>& matching) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(repoDestination, ec)))
        throw EnvironmentError::offlineModeError("Repository not available locally");

    std::string prefix = fs::weakly_canonical(repoDestination, ec).string();
    if (!prefix.ends_with("/")) prefix += "/";
    const auto relativeIfInside = [&](const fs::path& file) -> std::optional<std::string> {
        std::error_code e;
        const std::string resolved = fs::weakly_canonical(file, e).string();
        if (e || !resolved.starts_with(prefix)) return std::nullopt;
        return resolved.substr(prefix.size());
    };

    std::vector<fs::path> files = HubApi::getFileUrls(repoDestination);
    if (files.empty())
        throw EnvironmentError::offlineModeError("No files available locally for this repository");

    if (!matching.empty()) {
        std::vector<fs::path> kept;
        for (const auto& file : files) {
            const auto relative = relativeIfInside(file);
            if (!relative) continue;
            for (const auto& pattern : matching) {
                if (!vortil::matching({*relative}, pattern).empty()) {
                    kept.push_back(file);
                    break;
                }
            }
        }
        files = std::move(kept);
        if (files.empty())
            throw EnvironmentError::offlineModeError(
                "No files matching the requested patterns are available locally");
    }

    checkNoPartialDownloads(repoDestination, repoMetadataDestination, matching);

    for (const auto& file : files) {
        const std::string name = file.filename().string();
        const auto relative = relativeIfInside(file);
        if (!relative)
            throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        const auto metadata =
            HubApi::readDownloadMetadata(repoMetadataDestination / (*relative + ".metadata"));
        if (!metadata)
            throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        if (HubApi::matchesPattern(hub.sha256Pattern, metadata->etag) &&
            HubApi::computeFileHash(file) != metadata->etag)
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + name);
    }
}

}  // namespace

fs::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                          const std::vector<std::string>& matching,
                          const SnapshotProgressHandler& progressHandler,
                          std::stop_token stop) const {
    const fs::path repoDestination = repoFolder(repo);
    const fs::path repoMetadataDestination = metadataFolder(repoDestination);

    if (shouldUseOfflineMode()) {
        verifyOfflineSnapshot(*this, repoDestination, repoMetadataDestination, matching);
        return repoDestination;
    }

    const std::vector<std::string> names = getFilenames(repo, revision, matching);
    auto overall = std::make_shared<platform::Progress>(static_cast<int64_t>(names.size()));
    for (const std::string& name : names) {
        auto child = std::make_shared<platform::Progress>(100);
        overall->addChild(child, 1);
        const HubFileDownloader downloader{
            *this, repo,    revision, repoDestination,     repoMetadataDestination,
            name,  hfToken, endpoint, useBackgroundSession};
        downloader.download(
            [&](double fraction, std::optional<double> speed) {
                child->setCompletedUnitCount(progressUnits(fraction));
                if (speed && std::isfinite(*speed)) {
                    child->setThroughput(*speed);
                    overall->setThroughput(*speed);
                }
                if (progressHandler) progressHandler(overall);
            },
            stop);
        if (stop.stop_requested()) return repoDestination;
        child->setCompletedUnitCount(100);
    }
    if (progressHandler) progressHandler(overall);
    return repoDestination;
}

}  // namespace vortil
