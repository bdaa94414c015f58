#include "verbolin/listening/CheckpointDownload.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "platform/system/CancellationError.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRevision = "main";

int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<int64_t>(size);
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
    // Between the engine's chunks of 10 MB too: seconds apart on a slow link.
    hub_.progressInterval = vortil::Downloader::kWatchedProgressInterval;
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
    // are measured against before the largest file starts. Each file's side
    // file is read before the hub is asked about it, as a download reads it,
    // and each download then starts from what was found here, not from a
    // second HEAD.
    std::vector<vortil::HubApi::HubFileDownloader::Metadata> metadata;
    std::vector<int64_t> kept;  // of each file, the bytes an earlier attempt left
    int64_t total = 0, onDisk = 0;
    for (const std::string& name : files()) {
        const auto downloader = fileDownloader(name);
        metadata.push_back(downloader.metadata());
        const vortil::HubApi::FileMetadata& remote = metadata.back().remote;
        const int64_t size = remote.size.value_or(0);
        total += size;
        int64_t present = sizeOf(downloader.destination());
        if (present == 0 && remote.etag) present = sizeOf(downloader.incompletePath(*remote.etag));
        kept.push_back(std::min(present, size));
        onDisk += kept.back();
    }
    if (beforeTransfer) beforeTransfer(total - onDisk, total);

    // What is on disk counts from the first report on: the files done, and
    // what an earlier attempt left of those still to come.
    int64_t done = 0, ahead = onDisk;
    for (size_t i = 0; i < files().size(); ++i) {
        ahead -= kept[i];
        if (progress) progress(done + kept[i] + ahead, total);
        const int64_t size = metadata[i].remote.size.value_or(0);
        fileDownloader(files()[i])
            .download(
                metadata[i],
                [&](double fraction, std::optional<double>) {
                    if (!progress) return;
                    progress(done + ahead +
                                 static_cast<int64_t>(std::clamp(fraction, 0.0, 1.0) *
                                                      static_cast<double>(size)),
                             total);
                },
                stop);
        if (stop.stop_requested()) throw platform::CancellationError();
        done += size;
    }
    if (progress) progress(total, total);
    // The weights are checked even when just fetched or kept from an earlier
    // attempt: a damaged copy must fail here, not in the conversion.
    fileDownloader(kWeightsFile).verifyRecordedDigest();
    return folder();
}

}  // namespace verbolin
