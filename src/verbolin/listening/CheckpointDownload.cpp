#include "verbolin/listening/CheckpointDownload.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "platform/system/CancellationError.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubFileDownloader.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRevision = "main";

int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

bool isDigest(const std::string& etag) {
    return etag.size() == 64 && std::all_of(etag.begin(), etag.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

const std::vector<std::string>& CheckpointDownload::files() {
    static const std::vector<std::string> names = {"config.json", "generation_config.json",
                                                   kWeightsFile, "tokenizer.json",
                                                   "tokenizer_config.json"};
    return names;
}

CheckpointDownload::CheckpointDownload(vortil::HubApi hub, std::string repoId)
    : hub_(std::move(hub)), repo_{std::move(repoId), vortil::HubRepoType::models} {
    // A copy left by an earlier attempt is hashed before it is trusted: it
    // may have been cut short, damaged on disk or changed by hand since.
    hub_.recheckLocalFiles = true;
}

fs::path CheckpointDownload::folder() const { return hub_.repoFolder(repo_); }

vortil::HubApi::HubFileDownloader CheckpointDownload::fileDownloader(
    const std::string& name) const {
    const fs::path repoFolder = folder();
    return {
        hub_, repo_,        kRevision,     repoFolder, vortil::HubApi::metadataFolder(repoFolder),
        name, hub_.hfToken, hub_.endpoint, false};
}

void CheckpointDownload::discard() const {
    std::error_code ignored;
    fs::remove_all(folder(), ignored);
}

void CheckpointDownload::checkWeights() const {
    const fs::path weights = folder() / kWeightsFile;
    const fs::path record =
        vortil::HubApi::metadataFolder(folder()) / (std::string(kWeightsFile) + ".metadata");
    const auto metadata = vortil::HubApi::readDownloadMetadata(record);
    if (!metadata || !isDigest(metadata->etag)) return;  // the hub named no digest to check
    if (vortil::HubApi::computeFileHash(weights) == metadata->etag) return;
    std::error_code ignored;
    fs::remove(weights, ignored);
    fs::remove(record, ignored);
    throw vortil::EnvironmentError::fileIntegrityError(std::string("Hash mismatch for ") +
                                                       kWeightsFile);
}

fs::path CheckpointDownload::fetch(const ProgressFn& progress,
                                   const BeforeTransferFn& beforeTransfer,
                                   std::stop_token stop) const {
    if (hub_.shouldUseOfflineMode()) {
        // Checks every cached file, the weights against their digest; one
        // never fetched is as unavailable as the network.
        const fs::path cached = hub_.snapshot(repo_, kRevision, files(), {}, stop);
        for (const std::string& name : files()) {
            std::error_code ec;
            if (!fs::exists(cached / name, ec))
                throw vortil::EnvironmentError::offlineModeError(name +
                                                                 " is not available locally");
        }
        return cached;
    }
    // The sizes first, for a total that the progress and the room needed
    // are measured against before the largest file starts.
    std::vector<int64_t> sizes;
    int64_t total = 0, onDisk = 0;
    for (const std::string& name : files()) {
        const auto downloader = fileDownloader(name);
        const auto metadata = hub_.getFileMetadata(downloader.source());
        const int64_t size = metadata.size.value_or(0);
        sizes.push_back(size);
        total += size;
        int64_t present = sizeOf(folder() / name);
        if (present == 0 && metadata.etag)
            present = sizeOf(downloader.repoMetadataDestination /
                             (name + "." + *metadata.etag + ".incomplete"));
        onDisk += std::min(present, size);
    }
    if (beforeTransfer) beforeTransfer(total - onDisk, total);

    int64_t done = 0;
    for (size_t i = 0; i < files().size(); ++i) {
        if (progress) progress(done, total);
        fileDownloader(files()[i])
            .download(
                [&](double fraction, std::optional<double>) {
                    if (!progress) return;
                    progress(done + static_cast<int64_t>(std::clamp(fraction, 0.0, 1.0) *
                                                         static_cast<double>(sizes[i])),
                             total);
                },
                stop);
        if (stop.stop_requested()) throw platform::CancellationError();
        done += sizes[i];
    }
    if (progress) progress(total, total);
    checkWeights();
    return folder();
}

}  // namespace verbolin
