#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/AtomicWrite.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/HubDefaults.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

namespace vortil {
namespace {

namespace fs = std::filesystem;

// An etag becomes part of the incomplete file's name.
void checkEtag(const std::string& etag) {
    if (etag.empty() || etag.find('/') != std::string::npos ||
        etag.find('\0') != std::string::npos || etag.find("..") != std::string::npos) {
        throw EnvironmentError::invalidMetadataError("Unusable etag from server: " + etag);
    }
}

// One lock per destination, alive while someone holds or waits for it.
std::shared_ptr<std::mutex> destinationLock(const fs::path& destination) {
    static std::mutex registryMutex;
    static std::map<fs::path, std::weak_ptr<std::mutex>> registry;
    std::lock_guard lock(registryMutex);
    for (auto it = registry.begin(); it != registry.end();) {
        it = it->second.expired() ? registry.erase(it) : std::next(it);
    }
    auto& slot = registry[destination.lexically_normal()];
    auto existing = slot.lock();
    if (existing) return existing;
    auto created = std::make_shared<std::mutex>();
    slot = created;
    return created;
}

}  // namespace

void HubApi::HubFileDownloader::awaitCompletion(
    platform::AsyncStream<Downloader::DownloadState>& states,
    const ProgressHandler& progressHandler) {
    using Kind = Downloader::DownloadState::Kind;
    while (auto state = states.next()) {
        if (state->kind() == Kind::downloading) {
            if (progressHandler) progressHandler(state->fraction(), state->speed());
        } else if (state->kind() == Kind::failed) {
            if (state->error()) std::rethrow_exception(state->error());
            throw HubClientError::downloadError("Download failed without a reason");
        } else if (state->kind() == Kind::completed) {
            return;
        }
    }
    // A stream that ends without `completed` is a failure, not a success:
    // recording a side file then would vouch for a file that is not there.
    throw HubClientError::downloadError("Download ended without completion");
}

void HubApi::HubFileDownloader::checkRelativeFilename(const std::string& name) {
    const auto invalid = [&] {
        return HubClientError::downloadError("Invalid file name: " + name);
    };
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos ||
        name.find('\\') != std::string::npos) {
        throw invalid();
    }
    for (const auto& part : pathSegments(name)) {
        if (part.empty() || part == "." || part == "..") throw invalid();
    }
}

std::string HubApi::HubFileDownloader::source() const {
    const std::string base = endpoint.value_or(std::string(kDefaultHubEndpoint));
    std::vector<std::string> segments;
    if (repo.type == RepoType::datasets) segments.push_back("datasets");
    if (repo.type == RepoType::spaces) segments.push_back("spaces");
    for (auto& s : pathSegments(repo.id)) segments.push_back(s);
    segments.push_back("resolve");
    segments.push_back(revision);
    for (auto& s : pathSegments(relativeFilename)) segments.push_back(s);
    auto url = appendingPathSegments(base, segments);
    if (!url) throw HubClientError::downloadError("Invalid endpoint URL: " + base);
    return *url;
}

void HubApi::HubFileDownloader::prepareCacheDestination(
    const fs::path& incompleteDestination) const {
    fs::create_directories(incompleteDestination.parent_path());
    if (fs::exists(incompleteDestination)) return;
    platform::writeFileAtomically(incompleteDestination, "");
}

void HubApi::HubFileDownloader::removeOtherPartials(const fs::path& incompleteDestination,
                                                    const std::string& relativeFilename,
                                                    const std::string& etag) {
    const std::string prefix = fs::path(relativeFilename).filename().string() + ".";
    const std::string suffix = ".incomplete";
    std::vector<fs::path> stale;
    std::error_code ec;
    for (fs::directory_iterator it(incompleteDestination.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix)) {
            continue;
        }
        const std::string other =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        // A dot in between means another file's partial download: "f.bin.gz.<etag>.incomplete"
        // beside "f.bin". No etag the hub gives (hex digests) holds one.
        if (other == etag || other.find('.') != std::string::npos) continue;
        std::error_code kind;
        if (it->is_regular_file(kind)) stale.push_back(it->path());
    }
    for (const auto& path : stale) {
        std::error_code removed;
        fs::remove(path, removed);
        // Only space is lost when it stays; the download itself can go on.
        if (removed)
            HubApi::logger().warning("Could not remove the outdated partial download " +
                                     path.string() + ": " + removed.message());
    }
}

fs::path HubApi::HubFileDownloader::destination() const {
    checkRelativeFilename(relativeFilename);
    return repoDestination / relativeFilename;
}

fs::path HubApi::HubFileDownloader::metadataPath() const {
    checkRelativeFilename(relativeFilename);
    return repoMetadataDestination / (relativeFilename + ".metadata");
}

fs::path HubApi::HubFileDownloader::incompletePath(const std::string& etag) const {
    checkRelativeFilename(relativeFilename);
    checkEtag(etag);
    return repoMetadataDestination / (relativeFilename + "." + etag + ".incomplete");
}

HubApi::HubFileDownloader::Metadata HubApi::HubFileDownloader::metadata() const {
    // The side file first: one that cannot be read (nor removed) ends the
    // download before anything is asked of the hub.
    auto local = HubApi::readDownloadMetadata(metadataPath());
    return {std::move(local), hub.getFileMetadata(source())};
}

bool HubApi::HubFileDownloader::contradictsRecordedDigest(
    const std::optional<LocalDownloadFileMetadata>& recorded) const {
    if (!recorded || !HubApi::matchesPattern(hub.sha256Pattern, recorded->etag)) return false;
    return HubApi::computeFileHash(destination()) != recorded->etag;
}

void HubApi::HubFileDownloader::verifyRecordedDigest() const {
    const auto recorded = HubApi::readDownloadMetadata(metadataPath());
    if (!contradictsRecordedDigest(recorded)) return;
    std::error_code ignored;
    fs::remove(destination(), ignored);
    fs::remove(metadataPath(), ignored);
    throw EnvironmentError::fileIntegrityError("Hash mismatch for " + relativeFilename);
}

fs::path HubApi::HubFileDownloader::download(const ProgressHandler& progressHandler,
                                             std::stop_token stop) const {
    return downloadFrom(std::nullopt, progressHandler, stop);
}

fs::path HubApi::HubFileDownloader::download(const Metadata& current,
                                             const ProgressHandler& progressHandler,
                                             std::stop_token stop) const {
    return downloadFrom(current, progressHandler, stop);
}

fs::path HubApi::HubFileDownloader::downloadFrom(const std::optional<Metadata>& current,
                                                 const ProgressHandler& progressHandler,
                                                 std::stop_token stop) const {
    checkRelativeFilename(relativeFilename);

    auto lock = destinationLock(destination());
    std::lock_guard held(*lock);

    for (int attempt = 1;; ++attempt) {
        try {
            // Later rounds follow a change on the hub, so they look again.
            return fetchOnce(attempt == 1 && current ? *current : metadata(), progressHandler,
                             stop);
        } catch (const Downloader::DownloadError& e) {
            // The transfer met other content than the metadata announced and
            // emptied the partial file; the hub's metadata now names the new one.
            if (e.code() != Downloader::DownloadError::Code::contentChanged ||
                attempt >= kAttemptsWhileContentChanges || stop.stop_requested()) {
                throw;
            }
        }
    }
}

fs::path HubApi::HubFileDownloader::fetchOnce(const Metadata& known,
                                              const ProgressHandler& progressHandler,
                                              std::stop_token stop) const {
    const fs::path destination = this->destination();
    const fs::path metadataPath = this->metadataPath();
    const std::optional<LocalDownloadFileMetadata>& localMetadata = known.local;
    const FileMetadata& remote = known.remote;
    const std::string localCommit = localMetadata ? localMetadata->commitHash : "";
    const std::string remoteCommit = remote.commitHash.value_or("");
    const auto downloaded = [&] {
        std::error_code ec;
        return fs::exists(destination, ec);
    };
    // A file known to have failed its hash check must not be vouched for by
    // its side file alone.
    const auto damaged = [&] {
        return hub.recheckLocalFiles && contradictsRecordedDigest(localMetadata);
    };
    const bool present = downloaded() && !damaged();

    if (HubApi::matchesPattern(hub.commitHashPattern, remoteCommit) && present && localMetadata &&
        localCommit == remoteCommit) {
        return destination;
    }

    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError(
            "File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    const fs::path incomplete = incompletePath(etag);

    if (present) {
        if (localMetadata && localMetadata->etag == etag) {
            HubApi::writeDownloadMetadata(remoteCommit, etag, metadataPath);
            return destination;
        }
        if (HubApi::matchesPattern(hub.sha256Pattern, etag) &&
            HubApi::computeFileHash(destination) == etag) {
            HubApi::writeDownloadMetadata(remoteCommit, etag, metadataPath);
            return destination;
        }
    }

    prepareCacheDestination(incomplete);
    removeOtherPartials(incomplete, relativeFilename, etag);

    Downloader downloader(destination, incomplete, backgroundSession);
    downloader.setProgressInterval(hub.progressInterval);
    auto stream = downloader.download(source(), hfToken, std::nullopt, remote.size, 10.0, 5, etag);
    {
        std::stop_callback onStop(stop, [&downloader] { downloader.cancel(); });
        awaitCompletion(*stream, progressHandler);
    }
    std::error_code ec;
    if (!fs::is_regular_file(destination, ec)) {
        throw HubClientError::downloadError("Download ended without completion");
    }
    HubApi::writeDownloadMetadata(remoteCommit, etag, metadataPath);
    return destination;
}

}  // namespace vortil
