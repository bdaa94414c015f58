#pragma once
// The model hub client: a small value saying where the hub is, which token
// to send, where the local cache lives and how downloads run. Every hub
// operation is a method of it, the repository snapshot included, and callers
// copy it freely. The per-file download a snapshot runs for each file is the
// client's own nested job (HubApi::HubFileDownloader, below); the transfer
// engine both use (Downloader.hpp) knows nothing of the client.
//
// Construction fills what the caller leaves out: the token from the
// environment and the usual token files, the endpoint from HF_ENDPOINT, the
// cache under the Documents folder. It also (re)starts the process's network
// monitor, which the offline decision consults.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/system/AsyncStream.hpp"
#include "platform/system/HttpClient.hpp"
#include "platform/system/Progress.hpp"
#include "vortilcore/core/Config.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/FileMetadata.hpp"
#include "vortilcore/hub/HubClientError.hpp"
#include "vortilcore/hub/HubRepo.hpp"
#include "vortilcore/hub/LocalDownloadFileMetadata.hpp"
#include "vortilcore/hub/NetworkMonitor.hpp"
#include "vortilcore/hub/NetworkStateActor.hpp"
#include "vortilcore/hub/RedirectSession.hpp"

namespace vortil {

struct HubApi {
    using Repo = HubRepo;
    using RepoType = HubRepoType;
    using EnvironmentError = vortil::EnvironmentError;
    using NetworkMonitor = vortil::NetworkMonitor;
    using NetworkStateActor = vortil::NetworkStateActor;

    // The process's log for the client's warnings (no subsystem, no category).
    struct Logger {
        void warning(std::string_view message) const;
        void error(std::string_view message) const;
    };

    std::filesystem::path downloadBase;
    std::optional<std::string> hfToken;
    std::string endpoint;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;
    std::shared_ptr<NetworkMonitor> networkMonitor;
    std::string sha256Pattern = "^[0-9a-f]{64}$";
    std::string commitHashPattern = "^[0-9a-f]{40}$";
    // Online downloads normally trust a local file whose side file names the
    // hub's current commit. Set after a local copy failed its hash check:
    // such a file is then hashed first (when its etag is a SHA-256) and
    // downloaded again unless it matches.
    bool recheckLocalFiles = false;
    // Zero: file downloads report progress once per written chunk; more:
    // also this often while bytes arrive (Downloader::setProgressInterval).
    std::chrono::milliseconds progressInterval{0};

    // A token passed in (even an empty one) is used as it is; otherwise the
    // first non-empty of HF_TOKEN, HUGGING_FACE_HUB_TOKEN, the file named by
    // HF_TOKEN_PATH, $HF_HOME/token, ~/.cache/huggingface/token and
    // ~/.huggingface/token (file contents trimmed of surrounding white
    // space). With CI_DISABLE_NETWORK_MONITOR=1 a line saying whether a token
    // was found goes to standard output.
    explicit HubApi(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                    std::optional<std::string> hfToken = std::nullopt,
                    std::optional<std::string> endpoint = std::nullopt,
                    bool useBackgroundSession = false);

    static std::optional<std::string> hfTokenFromEnv();
    // HF_ENDPOINT when set, even empty; else the public hub.
    static std::string hfEndpointFromEnv();

    static RedirectSessionActor& redirectSession();
    static const Logger& logger();

    // useOfflineMode when set, else what the shared network monitor says.
    bool shouldUseOfflineMode() const;

    // A request with the 60-second timeout and, for a usable token, the
    // bearer authorization. A token holding CR, LF or NUL is never sent (it
    // could forge header fields): it counts as absent and a warning is logged.
    platform::HttpRequest request(const std::string& url, const std::string& method = "GET") const;

    // The file names of a repository at a revision, in listing order; with
    // patterns, those any pattern matches (fnmatch, no flags), each once.
    // An endpoint that is not a URL is a downloadError.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& matching) const;
    // The listing address of a repository at a revision.
    std::string listingURL(const Repo& repo, const std::string& revision) const;

    // Follows redirects; accepts 200-299; every failure is a HubClientError
    // (transport failures as downloadError). The body is held in memory, so
    // one longer than maxAnswerBytes is a downloadError too: the largest
    // repositories' listings are a few megabytes, and a server that sends
    // without end must not take all memory.
    std::pair<std::string, platform::HttpResponse> httpGet(const std::string& url) const;
    static constexpr std::size_t maxAnswerBytes = std::size_t{64} << 20;
    // Through the redirect session; accepts 200-399, reads no body. Status
    // failures are HubClientError, transport failures the HttpError itself.
    platform::HttpResponse httpHead(const std::string& url) const;

    // Drops one leading "W/" and the double quotes at both ends (Etag.hpp).
    static std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

    // Download metadata side files: three lines (commit, etag, seconds since
    // 1970), kept under the repository's metadata folder.
    using LocalDownloadFileMetadata = vortil::LocalDownloadFileMetadata;
    // Nothing when there is no side file, or when an unreadable one was
    // logged and removed; throws invalidMetadataError only when it cannot be
    // removed.
    static std::optional<LocalDownloadFileMetadata> readDownloadMetadata(
        const std::filesystem::path& metadataPath);
    // Atomic; creates the folder. Failures are fileWriteError.
    static void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                      const std::filesystem::path& metadataPath);
    // Whether `pattern` (sha256Pattern, commitHashPattern) finds a match in
    // `text`; one that does not compile matches nothing.
    static bool matchesPattern(const std::string& pattern, const std::string& text);
    // SHA-256 of the file's bytes, 64 lowercase hex digits; a file that cannot
    // be opened is fileNotFound with its name.
    static std::string computeFileHash(const std::filesystem::path& file);
    // The regular files below a folder, recursively, skipping hidden entries
    // and never entering hidden folders; empty for a missing folder.
    static std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder);

    // Remote file metadata from a HEAD on the file's resolve address. Request
    // failures pass through; missing or malformed headers give absent fields.
    using FileMetadata = vortil::FileMetadata;
    FileMetadata getFileMetadata(const std::string& url) const;
    // A decimal size header: optional "+", digits only, within 64 bits; a
    // negative size counts as none.
    static std::optional<int64_t> parseFileSize(std::string_view text);

    // The per-file download, which snapshots run for each file of a
    // repository (defined below, once the client is complete).
    struct HubFileDownloader;

    // What a snapshot reports after each step: the files done so far.
    using SnapshotProgressHandler =
        std::function<void(const std::shared_ptr<platform::Progress>& overall)>;

    // Makes every file of the repository that a pattern matches (all files
    // for none) present and current under downloadBase/<type>/<id>, one file
    // after another, and returns that folder. Offline, downloads nothing and
    // checks the cached copy instead: every selected file needs its side
    // file, none may exist only as a partial download, and one whose etag is
    // a SHA-256 must hash to it (fileIntegrityError otherwise). Stopping
    // `stop` ends the snapshot after the current file (or with the cancelled
    // transfer's error).
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& matching,
                                   const SnapshotProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;

    // downloadBase/<type>/<id>, and the side files' folder inside it.
    std::filesystem::path repoFolder(const Repo& repo) const;
    static std::filesystem::path metadataFolder(const std::filesystem::path& repoFolder);
    // A file's share of its progress in hundredths; 0 for a fraction that is
    // not finite, and clamped to [0, 100].
    static int64_t progressUnits(double fraction);

    // One JSON file as a Config. Text that is not JSON is jsonSerialization,
    // a top level that is not an object is parse; read errors pass through.
    static Config configuration(const std::filesystem::path& fileURL);
};

// Makes sure that one repository file lies at its place in the local
// repository folder and matches the hub's current version, downloading it
// (resumably, into an incomplete file beside the side files) only when the
// side file, the hub's metadata and, where it helps, the file's SHA-256 say
// it is not current.
struct HubApi::HubFileDownloader {
    using ProgressHandler = std::function<void(double fraction, std::optional<double> speed)>;

    // What one round of a download decides from: the file's side file, read
    // first (one that cannot be read ends the download before the hub is
    // asked anything), and what the hub says of the file now.
    struct Metadata {
        std::optional<LocalDownloadFileMetadata> local;
        FileMetadata remote;
    };

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

    // The side file, then the hub's metadata of the file (one HEAD on
    // source()). A caller that needs the sizes before the download hands
    // the result to download(), so that the file is asked about once.
    Metadata metadata() const;

    // Returns the destination. Stopping `stop` cancels a running transfer,
    // which then ends the call with its error. Only one call at a time works
    // on a given destination in this process; a second waits for the first
    // and then finds the file current. A file that changes on the hub during
    // the transfer is fetched again from its new metadata, a few times at
    // most; the side file always names the etag of the bytes delivered.
    std::filesystem::path download(const ProgressHandler& progressHandler,
                                   std::stop_token stop = {}) const;
    // The same, deciding the first round by `current` (what metadata() said
    // a moment ago) instead of reading and asking again, so a file another
    // call completed in between is hashed or fetched again rather than found
    // current; a file that changes during the transfer is looked at afresh.
    std::filesystem::path download(const Metadata& current, const ProgressHandler& progressHandler,
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
    std::filesystem::path downloadFrom(const std::optional<Metadata>& current,
                                       const ProgressHandler& progressHandler,
                                       std::stop_token stop) const;
    // One round of decision and transfer from what is known of the file,
    // under the destination's lock.
    std::filesystem::path fetchOnce(const Metadata& known, const ProgressHandler& progressHandler,
                                    std::stop_token stop) const;
    // Whether the side file names a SHA-256 that the file's bytes do not have.
    bool contradictsRecordedDigest(const std::optional<LocalDownloadFileMetadata>& recorded) const;
};

// The last path component of a URL's path, percent-decoded ("file.bin").
std::string lastPathComponent(const std::string& url);

// Appends path segments to a URL's path, each percent-encoded as one
// segment (a "/" inside becomes %2F). Nothing when the base is not a URL.
std::optional<std::string> appendingPathSegments(const std::string& baseURL,
                                                 const std::vector<std::string>& segments);
// A repository id or file path split at its slashes, for appendingPathSegments.
std::vector<std::string> pathSegments(std::string_view path);

}  // namespace vortil
