#pragma once
// Fetches a model pack's zip archive from the pack server through the hub
// client's download engine (resume, progress, cancel). The server is asked
// first with a HEAD for the status, the size and the etag: a status other
// than 200 is the server's answer and fails at once, the size lets progress
// and the room check know the total, and the etag names the partial file, so
// that an attempt only ever continues bytes of the same archive. A server
// without etags (a plain static file server) names the archive by the time
// it last changed, where that time is strong; with neither, nothing tells one
// archive from the next, and each attempt starts over. The GET's own
// answer counts as much: a server may accept the HEAD (or refuse HEAD
// altogether) and still have no archive to send. The finished
// archive lands in the temporary folder under a fresh name; the partial file
// stays in `partialFolder` between attempts.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace verbolin {

class ArchiveDownload {
  public:
    // Bytes of the archive on disk so far and in all (-1 while unknown).
    using ProgressFn = std::function<void(int64_t received, int64_t total)>;
    // Called before any transfer with the bytes still to fetch and the
    // archive's size (-1 for both when the server does not say): the caller
    // may refuse to start (by throwing).
    using BeforeTransferFn = std::function<void(int64_t remaining, int64_t total)>;

    ArchiveDownload(std::string url, std::filesystem::path partialFolder);

    // Downloads the archive to `destination` (which must not exist yet) and
    // returns once it is there whole. Throws platform::AppError (domain
    // "ModelDownloader", code = the status) for an answer to the HEAD other
    // than 200 (405 and 501 aside) or one to the GET other than 200 (or 206
    // for the range a resumed transfer asks for),
    // platform::HttpError for the network's failures,
    // vortil::Downloader::DownloadError when the server sends other bytes
    // than it announced, std::filesystem::filesystem_error when the disk
    // refuses them, and platform::CancellationError once `stop` is requested.
    void fetch(const std::filesystem::path& destination, const ProgressFn& progress = {},
               const BeforeTransferFn& beforeTransfer = {}, std::stop_token stop = {}) const;

    // "verbolin-model-<uuid>.zip" in the temporary folder.
    static std::filesystem::path temporaryArchive();
    // The message of a status other than 200.
    static std::string statusMessage(long status);

  private:
    struct Head {
        std::optional<int64_t> size;
        std::optional<std::string> etag;
        std::optional<std::string> lastModified;  // strong, and only without an etag
    };
    Head ask(std::stop_token stop) const;
    // The partial file for the content `head` names; removes partial files
    // of any other content, which can never be continued.
    std::filesystem::path partialFile(const Head& head) const;
    void transfer(const Head& head, const std::filesystem::path& partial,
                  const std::filesystem::path& destination, const ProgressFn& progress,
                  std::stop_token stop) const;

    std::string url_;
    std::filesystem::path partialFolder_;
};

}  // namespace verbolin
