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
// archive is held (locked, see platform::HeldTemporary) from where it lands,
// beside the partial file, until the caller is done with it. It takes a
// fresh name in the temporary folder where that folder is on the same file
// system; elsewhere it stays where it landed and is never copied: a
// temporary folder may be far smaller than the archive. The partial file
// stays in `partialFolder` between attempts. An archive in the temporary
// folder that no one holds was left by an install that was killed:
// removeLeftovers removes it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/system/HeldTemporary.hpp"
#include "platform/system/ZipExtractor.hpp"
#include "verbolin/listening/ArchiveDirectoryRequest.hpp"

namespace verbolin {

class ArchiveDownload {
  public:
    // Bytes of the archive on disk so far and in all (-1 while unknown).
    using ProgressFn = std::function<void(int64_t received, int64_t total)>;
    // Reads the archive's directory from the server ahead of the transfer,
    // within the limits given (see requestArchiveDirectory, which it throws
    // as).
    using DirectoryFn =
        std::function<ArchiveDirectoryAnswer(const platform::ZipExtractor::Limits&)>;
    // Called before any transfer with the bytes still to fetch and the
    // archive's size (-1 for both when the server does not say), and what
    // reads its directory: the caller may refuse to start (by throwing).
    using BeforeTransferFn =
        std::function<void(int64_t remaining, int64_t total, const DirectoryFn& directory)>;

    ArchiveDownload(std::string url, std::filesystem::path partialFolder);

    // The whole archive: held until `archive` ends, which removes it, unless
    // keep() gave it back first.
    struct Fetched {
        platform::HeldTemporary archive;
        // The partial file's name, where a whole archive that the next start
        // can take without a request (the server names it and its size) is
        // kept; empty for one it could not.
        std::filesystem::path partial;

        // Gives the archive back to the partial file's name, for the next
        // start to find whole. Throws std::filesystem::filesystem_error when
        // it cannot be moved there (it is removed then, as it would be).
        void keep();
    };

    // Downloads the archive and returns it once it is whole, as
    // "verbolin-model-<uuid>.zip" in the temporary folder, or where it
    // landed when the temporary folder is on another file system (or cannot
    // take it). Throws platform::AppError (domain
    // "ModelDownloader", code = the status) for an answer to the HEAD other
    // than 200 (405 and 501 aside) or one to the GET other than 200 (or 206
    // for the range a resumed transfer asks for),
    // platform::HttpError for the network's failures,
    // vortil::Downloader::DownloadError when the server sends other bytes
    // than it announced, std::filesystem::filesystem_error when the disk
    // refuses them, and platform::CancellationError once `stop` is requested.
    Fetched fetch(const ProgressFn& progress = {}, const BeforeTransferFn& beforeTransfer = {},
                  std::stop_token stop = {}) const;

    // Removes the archives in the temporary folder that installs killed
    // while they held them left: this user's, that no one holds now (see
    // platform::removeUnheldTemporaries). Returns what could not be
    // removed, one text each.
    static std::vector<std::string> removeLeftovers();
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
    // Holds the whole archive the transfer left at `landed` and moves it to
    // a fresh name in the temporary folder, where a rename can.
    static platform::HeldTemporary publish(const std::filesystem::path& landed);

    std::string url_;
    std::filesystem::path partialFolder_;
};

}  // namespace verbolin
