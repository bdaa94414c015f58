#pragma once
// Makes sure that one repository file lies at its place in the local
// repository folder and matches the hub's current version, downloading it
// (resumably, into an incomplete file beside the side files) only when the
// side file, the hub's metadata and, where it helps, the file's SHA-256 say
// it is not current.

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/system/AsyncStream.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"

namespace vortil {

struct HubApi::HubFileDownloader {
    using ProgressHandler = std::function<void(double fraction, std::optional<double> speed)>;

    HubApi hub;
    Repo repo;
    std::string revision;
    std::filesystem::path repoDestination;
    std::filesystem::path repoMetadataDestination;
    std::string relativeFilename;
    std::optional<std::string> hfToken;
    // Absent: the public hub.
    std::optional<std::string> endpoint;
    bool backgroundSession = false;

    // The resolve address. An endpoint that is not a URL is a downloadError.
    std::string source() const;

    // Where the file, its side file and its partial download of one etag
    // lie. As for a download, a name that could leave the repository folder
    // is a downloadError, an etag that could leave the metadata folder an
    // invalidMetadataError.
    std::filesystem::path destination() const;
    std::filesystem::path metadataPath() const;
    std::filesystem::path incompletePath(const std::string& etag) const;

    // The hub's metadata of the file: one HEAD on source(). A caller that
    // needs it before the download (for sizes) hands it to download(), so
    // that the file is asked about once.
    FileMetadata remoteMetadata() const;

    // Returns the destination. Stopping `stop` cancels a running transfer,
    // which then ends the call with its error. Only one call at a time works
    // on a given destination in this process; a second waits for the first
    // and then finds the file current. A file that changes on the hub during
    // the transfer is fetched again from its new metadata, a few times at
    // most; the side file always names the etag of the bytes delivered.
    std::filesystem::path download(const ProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;
    // The same, deciding the first round by `current` (what remoteMetadata()
    // just said) instead of asking again; a file that changes during the
    // transfer is still asked about afresh.
    std::filesystem::path download(const FileMetadata& current,
                                   const ProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;

    // Throws fileIntegrityError ("Hash mismatch for <name>") when the side
    // file names a SHA-256 (sha256Pattern) that the file's bytes do not
    // have; the file and its side file are removed first, so that the next
    // download fetches it again. Nothing to compare (no side file, an etag
    // that is no digest) passes.
    void verifyRecordedDigest() const;

    // How many times one call fetches metadata and transfers before a file
    // that keeps changing on the hub is given up.
    static constexpr int kAttemptsWhileContentChanges = 3;

    // Creates the incomplete file empty unless it exists (its bytes are what
    // a transfer resumes from), with its folder.
    void prepareCacheDestination(const std::filesystem::path& incompleteDestination) const;

    // Reads a transfer's states until the first final one, reporting each
    // `downloading` to the handler. Throws a `failed` state's error, and
    // downloadError for a stream that ends without `completed`.
    static void awaitCompletion(platform::AsyncStream<Downloader::DownloadState>& states,
                                const ProgressHandler& progressHandler);

    // Removes the partial files of the same repository file that belong to
    // another etag: once the hub serves a new version their bytes can never
    // be resumed. Partial files of other names are left alone.
    static void removeOtherPartials(const std::filesystem::path& incompleteDestination,
                                    const std::string& relativeFilename, const std::string& etag);

    // Throws downloadError for a name that could leave the repository folder:
    // empty, absolute, holding NUL or a backslash, or a "." or ".." part.
    static void checkRelativeFilename(const std::string& name);

  private:
    std::filesystem::path downloadFrom(const std::optional<FileMetadata>& current,
                                       const ProgressHandler& progressHandler,
                                       std::stop_token stop) const;
    // One round of decision and transfer for the given metadata, under the
    // destination's lock.
    std::filesystem::path fetchOnce(const std::string& url, const FileMetadata& remote,
                                    const ProgressHandler& progressHandler,
                                    std::stop_token stop) const;
    // Whether the side file names a SHA-256 that the file's bytes do not have.
    bool contradictsRecordedDigest(const std::optional<LocalDownloadFileMetadata>& recorded) const;
};

}  // namespace vortil
