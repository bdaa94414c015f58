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
#include "vortilcore/hub/HubApi.hpp"

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

    // Returns the destination. Stopping `stop` cancels a running transfer,
    // which then ends the call with its error. Only one call at a time works
    // on a given destination in this process; a second waits for the first
    // and then finds the file current. A file that changes on the hub during
    // the transfer is fetched again from its new metadata, a few times at
    // most; the side file always names the etag of the bytes delivered.
    std::filesystem::path download(const ProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;

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
    // One round of metadata, decision and transfer, under the destination's lock.
    std::filesystem::path fetchOnce(const std::string& url,
                                    const std::filesystem::path& destination,
                                    const std::filesystem::path& metadataPath,
                                    const ProgressHandler& progressHandler,
                                    std::stop_token stop) const;
};

}  // namespace vortil
