#pragma once
// The application's installer of model packs, from one of two sources. With a
// pack server named, it fetches the pack's zip archive from there, unpacks it
// safely into a staging folder beside the installed packs, finds the folder
// that holds the model and moves it into place. Without one, the pack is made
// from a Whisper checkpoint on the model hub: the installer fetches the
// checkpoint's files through the hub client (which resumes what an earlier
// attempt left, checks validators and digests, and works from its cache when
// offline), converts them beside the installed packs, checks that the
// tokenizer loads, and moves the finished pack into place in one step. Both
// sources download through the hub client's one engine. One downloader
// serves one install. Errors it makes carry the domain "ModelDownloader".
//
// Installs of one pack never overlap, across threads and processes: a second
// one waits, reporting the first one's download as its own progress, until
// the first has ended, then returns if the pack is in place or else carries
// on from what the first left. A process killed mid-install holds nothing up.
// In every failure nothing half-installed is left, and what was fetched stays
// for the next attempt (except a checkpoint that could not be converted, and
// an archive, which is deleted once the download has ended however the
// install ends; one that an install killed while it held it left is removed
// by the next install, or the next start: see removeLeftoverArchives).

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>
#include <vector>

#include "platform/system/AppError.hpp"
#include "platform/system/FileLock.hpp"
#include "verbolin/listening/ArchiveDownload.hpp"
#include "verbolin/listening/ModelPack.hpp"

namespace verbolin {

class ModelDownloader {
  public:
    static constexpr const char* errorDomain = "ModelDownloader";

    // 1 MB = 1,000,000 bytes, whole megabytes truncated.
    struct Downloading {
        double fraction = 0;
        int64_t receivedMB = 0;
        int64_t totalMB = 0;
        friend bool operator==(const Downloading&, const Downloading&) = default;
    };
    struct Installing {
        friend bool operator==(const Installing&, const Installing&) = default;
    };
    using Progress = std::variant<Downloading, Installing>;

    // Called on the installing thread; must be safe to call from any thread.
    using ProgressFn = std::function<void(const Progress&)>;

    struct Options {
        // The pack server's root, e.g. "https://packs.example.org/": the
        // archive source. Empty: none, the hub checkpoint is the source.
        std::string serverRoot;
        // The hub's address; none: HF_ENDPOINT, else the public hub.
        std::optional<std::string> endpoint;
        // None: offline exactly when the machine has no network (the hub
        // client's own rule).
        std::optional<bool> offline;

        // What the application uses: the pack server named by
        // VERBOLIN_PACK_SERVER, the hub by HF_ENDPOINT.
        static Options fromEnvironment();
    };

    // The environment variable naming the pack server.
    static constexpr const char* kPackServerVariable = "VERBOLIN_PACK_SERVER";

    // What the source `options` name fetches for `pack`, in MB: shown before
    // the real size is known.
    static int approxMB(const ModelPack& pack, const Options& options);

    ModelDownloader();
    explicit ModelDownloader(Options options);
    ModelDownloader(const ModelDownloader&) = delete;
    ModelDownloader& operator=(const ModelDownloader&) = delete;

    // What install() does with a pack that is in place: keeps it, or, for
    // one whose files do not load, installs the pack from its source over
    // it (the folder there stays until the new pack is whole and moves in).
    enum class Existing { keep, replace };

    // Blocking. Returns at once, without any request or progress, when the
    // pack is already installed and is kept (removing what an install killed
    // after moving the pack into place left: see removeLeftovers); otherwise
    // fetches, converts and installs it, first waiting for another install of
    // the same pack to end. Throws platform::AppError (domain
    // "ModelDownloader"), or whatever `progress` throws (also while waiting,
    // which is how a caller stops waiting).
    void install(const ModelPack& pack, ProgressFn progress = {},
                 Existing existing = Existing::keep);

    // For an installed pack: removes the fetched checkpoint, the staging
    // folder and a replaced pack that an install killed between moving the
    // pack into place and tidying up left beside it. A pack that an install
    // killed before its replacement moved in had moved aside is put back.
    // Only when no install of the pack runs; never throws, as a leftover
    // costs only disk space. Cheap when there is nothing to remove.
    static void removeLeftovers(const ModelPack& pack) noexcept;

    // Removes the archives that installs killed before they could remove
    // them left in the temporary folder: this user's, that no install
    // holds. Every install does so first; a start should too. Returns what
    // could not be removed, one text each.
    static std::vector<std::string> removeLeftoverArchives();

    // Safe from any thread: ends the running install() (its transfer, also a
    // stalled one, or its wait for another install) and every later one with
    // a download error (code 1). What was fetched stays for the next install.
    void cancel() noexcept;

    // The message of an install that failed with `error`: what went wrong
    // and, where the network is to blame, the way to install without it.
    // None for errors passed on unchanged (an AppError already, or a file
    // system's error other than a full disk). `endpoint` names the server
    // asked; `repo`, the checkpoint's repository when it was the hub (empty
    // for the pack server). `neededIsMost`: `neededBytes` is the most the
    // install may take, as what the archive unpacks to was not known.
    static std::optional<platform::AppError> describeFailure(
        std::exception_ptr error, const std::string& endpoint, const std::filesystem::path& folder,
        int64_t neededBytes, const std::string& repo = {}, bool neededIsMost = false);
    // A write that failed for want of room (the converter's and the
    // writers' messages carry the system's reason).
    static bool isDiskFull(const std::exception& error);
    // How to make the pack without the network, in one sentence.
    static constexpr const char* kOfflineStep =
        "To install it without the network, convert a checkpoint folder with verbolin-models "
        "convert (see the README).";
    // The same, for the hub: a mirror may be reachable where the hub is not.
    static constexpr const char* kHubOfflineStep =
        "To install it without the network, convert a checkpoint folder with verbolin-models "
        "convert (see the README), or set HF_ENDPOINT to a mirror.";

  private:
    // Beside the installed packs: what an install of `pack` works with.
    struct Files {
        // The hub client's cache of the checkpoint, or the archive's partial
        // file (below "archive").
        std::filesystem::path download;
        std::filesystem::path staging;  // the pack as it is converted or unpacked
        std::filesystem::path lock;     // held by the install that uses the two
        // The pack that was in place, while its replacement moves in.
        std::filesystem::path aside;
    };
    static Files filesOf(const ModelPack& pack);

    void waitForOtherInstall(const ModelPack& pack, platform::FileLock& lock,
                             const std::filesystem::path& download) const;
    void installLocked(const ModelPack& pack, const Files& files);
    std::filesystem::path fetch(const ModelPack& pack, const Files& files);
    void installArchive(const ModelPack& pack, const Files& files);
    void unpack(const ModelPack& pack, const std::filesystem::path& archive,
                const std::filesystem::path& staging);
    // Refuses (with a full disk's error) when `folder` has less than
    // `neededBytes` free, which it remembers for the failure's message
    // (`most`: the most the install may take, what it does take unknown).
    void checkRoom(const std::filesystem::path& folder, int64_t neededBytes, bool most = false);
    // Before an archive's transfer: the room for its `remaining` bytes and
    // what its directory, read ahead, says it unpacks to.
    void checkRoomAhead(const ModelPack& pack, const std::filesystem::path& models,
                        int64_t remaining, int64_t total,
                        const ArchiveDownload::DirectoryFn& directory);
    void convert(const ModelPack& pack, const Files& files,
                 const std::filesystem::path& checkpoint);
    void reportDownload(const ModelPack& pack, int64_t received, int64_t total) const;

    Options options_;
    ProgressFn onProgress_;
    std::stop_source stop_;
    int64_t neededBytes_ = 0;  // free room the install needs, once known
    bool neededIsMost_ = false;
};

}  // namespace verbolin
