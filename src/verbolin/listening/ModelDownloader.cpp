#include "verbolin/listening/ModelDownloader.hpp"

#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system/AppError.hpp"
#include "platform/system/CancellationError.hpp"
#include "platform/system/FileLock.hpp"
#include "platform/system/FileMove.hpp"
#include "platform/system/HeldTemporary.hpp"
#include "platform/system/Log.hpp"
#include "platform/system/ZipExtractor.hpp"
#include "verbolin/listening/ArchiveDownload.hpp"
#include "verbolin/listening/CheckpointDownload.hpp"
#include "verbolin/listening/PackConversion.hpp"
#include "vortilcore/hub/EnvironmentError.hpp"
#include "vortilcore/hub/HubApi.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kBytesPerMB = 1000000;

// How often a waiting install looks whether the one it waits for has ended.
constexpr std::chrono::milliseconds kOtherInstallPoll{100};
constexpr int kPollsPerWaitReport = 10;
// Room kept free beyond the pack and the checkpoint, for the folders' small
// files and what the converter writes beside the pack.
constexpr int64_t kConversionSpareBytes = 16 * kBytesPerMB;
// Room kept free beyond what an archive unpacks to, for the folders' small
// files and the file system's own blocks.
constexpr int64_t kUnpackSpareBytes = 1 * kBytesPerMB;
// Where a file system does not say its block size.
constexpr int64_t kUsualBlockBytes = 4096;
// Besides its data, what an archive's download takes of the disk before
// it is unpacked: see checkRoomAhead.
constexpr int64_t kBlocksBeforeUnpacking = 5;

const char* const kDamaged = "The download was damaged. Please try again.";
const char* const kIncomplete = "The download was incomplete. Please try again.";

// Removes a file, or a folder with everything in it, however the scope ends.
class RemoveOnExit {
  public:
    explicit RemoveOnExit(fs::path path) : path_(std::move(path)) {}
    ~RemoveOnExit() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

  private:
    fs::path path_;
};

// Lets the install lock go, and its file with it, however the install ends.
class ReleaseOnExit {
  public:
    explicit ReleaseOnExit(platform::FileLock& lock) : lock_(lock) {}
    ~ReleaseOnExit() { lock_.unlockAndRemove(); }
    ReleaseOnExit(const ReleaseOnExit&) = delete;
    ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;

  private:
    platform::FileLock& lock_;
};

int64_t bytesBelow(const fs::path& folder) {
    int64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const auto size = it->file_size(sizeError);
            if (!sizeError) total += static_cast<int64_t>(size);
        }
    }
    return total;
}

struct Disk {
    int64_t freeBytes = 0;
    int64_t blockBytes = kUsualBlockBytes;
};

std::optional<Disk> diskOf(const fs::path& folder) {
    struct statvfs fsInfo {};
    if (::statvfs(folder.c_str(), &fsInfo) != 0) return std::nullopt;
    const auto block = static_cast<int64_t>(fsInfo.f_frsize);
    return Disk{static_cast<int64_t>(fsInfo.f_bavail) * block,
                block > 0 ? block : kUsualBlockBytes};
}

int64_t blockOf(const fs::path& folder) {
    const auto disk = diskOf(folder);
    return disk ? disk->blockBytes : kUsualBlockBytes;
}

// What unpacking `declared` into `folder` takes of its disk: the bytes, a
// block for each entry (a file's last one part-filled, a folder's own), and
// the spare.
int64_t roomToUnpack(const fs::path& folder, const platform::ZipExtractor::Contents& declared) {
    return static_cast<int64_t>(declared.bytes) +
           static_cast<int64_t>(declared.entries) * blockOf(folder) + kUnpackSpareBytes;
}

// A pack unpacks to about the size of its archive (its weights barely
// compress); twice the larger of that and the catalogue's size, and 64 MB of
// slack, cover any pack, and nothing unpacks past 16 GiB. A pack holds a few
// dozen files: 10,000 entries are far past any, and keep the room an archive
// may take at its most (when its directory cannot be read ahead) within
// reason. More is a bomb.
platform::ZipExtractor::Limits unpackLimits(const ModelPack& pack, int64_t archiveBytes) {
    platform::ZipExtractor::Limits limits;
    const std::uint64_t expected =
        std::uint64_t(std::max<int64_t>({archiveBytes, int64_t(pack.approxMB) * kBytesPerMB, 0}));
    limits.maxBytes = std::min(limits.maxBytes, 2 * expected + (std::uint64_t{64} << 20));
    limits.maxEntries = std::min<std::uint64_t>(limits.maxEntries, 10000);
    return limits;
}

// The staging folder itself, then its sub-folders in listing order; the first
// that holds the text decoder is the model folder.
std::optional<fs::path> findModelFolder(const fs::path& staging) {
    std::vector<fs::path> candidates{staging};
    std::error_code ec;
    for (fs::directory_iterator it(staging, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        // Links are not followed: a folder is a real folder.
        const auto status = it->symlink_status(typeError);
        if (!typeError && fs::is_directory(status)) candidates.push_back(it->path());
    }
    for (const auto& candidate : candidates) {
        std::error_code existsError;
        if (fs::exists(candidate / "TextDecoder.mlmodelc", existsError)) return candidate;
    }
    return std::nullopt;
}

// Puts the pack made in `made` at `local`. A pack already there is moved
// aside first and removed only once the new one is in place, so that a stop
// in between leaves it aside (see restoreSetAside) rather than no pack at all.
void putInPlace(const fs::path& made, const fs::path& local, const fs::path& aside) {
    std::error_code ignored;
    fs::remove_all(aside, ignored);
    std::error_code ec;
    const bool replacing = fs::exists(fs::symlink_status(local, ec));
    if (replacing) platform::moveItem(local, aside);
    try {
        platform::moveItem(made, local);
    } catch (...) {
        if (replacing) fs::rename(aside, local, ignored);
        throw;
    }
    fs::remove_all(aside, ignored);
}

// Under the install lock: what a killed install left aside. Killed between
// moving the old pack aside and moving the new one in, the old one goes back
// (and is replaced, or kept, as it would have been); killed after the new one
// moved in, the old one is of no use any more.
void restoreSetAside(const fs::path& local, const fs::path& aside) {
    std::error_code ec;
    if (!fs::exists(aside, ec)) return;
    if (!fs::exists(fs::symlink_status(local, ec))) {
        fs::rename(aside, local, ec);  // failing, it stays for the next install
        return;
    }
    fs::remove_all(aside, ec);
}

// What the install could not unpack, for the next start to take whole.
void keepArchive(ArchiveDownload::Fetched& fetched) noexcept {
    try {
        fetched.keep();
    } catch (const std::exception& e) {
        // The full disk is the error to tell; this one only costs the next
        // start the transfer.
        platform::writeLog("Verbolin", "listening", platform::LogType::error,
                           std::string("cannot keep the speech model archive for the next "
                                       "start: ") +
                               e.what());
    }
}

}  // namespace

ModelDownloader::Options ModelDownloader::Options::fromEnvironment() {
    Options options;
    if (const char* root = std::getenv(kPackServerVariable)) options.serverRoot = root;
    return options;
}

int ModelDownloader::approxMB(const ModelPack& pack, const Options& options) {
    return options.serverRoot.empty() ? pack.checkpointApproxMB() : pack.approxMB;
}

ModelDownloader::ModelDownloader() : ModelDownloader(Options{}) {}

ModelDownloader::ModelDownloader(Options options) : options_(std::move(options)) {}

void ModelDownloader::cancel() noexcept { stop_.request_stop(); }

void ModelDownloader::reportDownload(const ModelPack& pack, int64_t received, int64_t total) const {
    if (!onProgress_) return;
    Downloading d;
    d.receivedMB = received / kBytesPerMB;
    if (total > 0) {
        d.fraction = std::min(1.0, static_cast<double>(received) / static_cast<double>(total));
        d.totalMB = total / kBytesPerMB;
    } else {
        // No size known yet: "of 0 MB" would be wrong, so the source's
        // approximate size stands in.
        d.totalMB = approxMB(pack, options_);
    }
    onProgress_(d);
}

ModelDownloader::Files ModelDownloader::filesOf(const ModelPack& pack) {
    const fs::path models = pack.localFolder().parent_path();
    return Files{models / (".download-" + pack.id), models / (".staging-" + pack.id),
                 models / (".install-" + pack.id + ".lock"), models / (".replaced-" + pack.id)};
}

void ModelDownloader::waitForOtherInstall(const ModelPack& pack, platform::FileLock& lock,
                                          const fs::path& download) const {
    int64_t shownMB = -1;
    for (int poll = 0; !lock.tryLock(); ++poll) {
        // The other install's bytes as they arrive: the wait shows movement,
        // and a caller's throwing progress callable can end it. Reported once
        // a second even when nothing moves, so that the caller (an app that
        // quits) can end the wait while the other install is stalled.
        const int64_t bytes = bytesBelow(download);
        if (bytes / kBytesPerMB != shownMB || poll % kPollsPerWaitReport == 0) {
            shownMB = bytes / kBytesPerMB;
            reportDownload(pack, bytes, -1);
        }
        if (stop_.stop_requested())
            throw platform::AppError(errorDomain, 1,
                                     "The speech model could not be downloaded: the transfer was "
                                     "cancelled.");
        std::this_thread::sleep_for(kOtherInstallPoll);
    }
}

void ModelDownloader::removeLeftovers(const ModelPack& pack) noexcept {
    const Files files = filesOf(pack);
    std::error_code ec;
    if (!fs::exists(files.download, ec) && !fs::exists(files.staging, ec) &&
        !fs::exists(files.aside, ec))
        return;
    try {
        // An install that holds the lock may be using them (a moment from
        // tidying up itself); it removes them, or the next start does.
        platform::FileLock lock(files.lock);
        if (!lock.tryLock()) return;
        ReleaseOnExit release(lock);
        restoreSetAside(pack.localFolder(), files.aside);
        if (!pack.isInstalled()) return;
        fs::remove_all(files.download, ec);
        fs::remove_all(files.staging, ec);
    } catch (const std::exception&) {
        // Cannot lock (a read-only or odd file system): leave them.
    }
}

std::vector<std::string> ModelDownloader::removeLeftoverArchives() {
    return ArchiveDownload::removeLeftovers();
}

void ModelDownloader::checkRoom(const fs::path& folder, int64_t neededBytes, bool most) {
    neededBytes_ = neededBytes;
    neededIsMost_ = most;
    const auto disk = diskOf(folder);
    if (disk && disk->freeBytes < neededBytes_)
        throw std::filesystem::filesystem_error(
            "not enough room", folder, std::make_error_code(std::errc::no_space_on_device));
}

fs::path ModelDownloader::fetch(const ModelPack& pack, const Files& files) {
    vortil::HubApi hub(files.download, std::nullopt, options_.endpoint);
    hub.useOfflineMode = options_.offline;
    const CheckpointDownload source(hub, pack.checkpointRepo());
    const fs::path models = files.download.parent_path();
    const auto progress = [&](int64_t received, int64_t total) {
        reportDownload(pack, received, total);
    };
    const auto beforeTransfer = [&](int64_t remaining, int64_t total) {
        // The checkpoint's rest, and the pack (no larger than the checkpoint)
        // converted while the checkpoint is still there.
        checkRoom(models, remaining + total + kConversionSpareBytes);
    };
    // Weights that do not match their digest have been removed: one more
    // transfer, in case the damage happened on the way or on this disk.
    for (int attempt = 1;; ++attempt) {
        try {
            return source.fetch(progress, beforeTransfer, stop_.get_token());
        } catch (const vortil::EnvironmentError& e) {
            if (e.errorCase() != vortil::EnvironmentError::Case::fileIntegrityError ||
                attempt >= 2 || hub.shouldUseOfflineMode())
                throw;
        }
    }
}

void ModelDownloader::convert(const ModelPack& pack, const Files& files,
                              const fs::path& checkpoint) {
    const auto discardCheckpoint = [&] {
        std::error_code ignored;
        fs::remove_all(files.download, ignored);
    };
    for (const std::string& name : CheckpointDownload::files()) {
        std::error_code ec;
        if (!fs::exists(checkpoint / name, ec)) {
            discardCheckpoint();
            throw platform::AppError(errorDomain, 4, kIncomplete);
        }
    }
    std::error_code ignored;
    fs::remove_all(files.staging, ignored);
    RemoveOnExit removeStaging(files.staging);
    try {
        convertCheckpoint(checkpoint, files.staging);
    } catch (const std::exception& e) {
        // A full disk is no fault of the checkpoint: it stays for the next try.
        if (isDiskFull(e)) throw;
        // A checkpoint that does not convert is fetched anew next time.
        discardCheckpoint();
        throw platform::AppError(errorDomain, 2, kDamaged);
    }
    if (!fs::exists(files.staging / "TextDecoder.mlmodelc", ignored)) {
        discardCheckpoint();
        throw platform::AppError(errorDomain, 4, kIncomplete);
    }
    // One rename: the pack is there whole or not at all.
    putInPlace(files.staging, pack.localFolder(), files.aside);
    discardCheckpoint();
    if (!pack.isInstalled()) throw platform::AppError(errorDomain, 3, kIncomplete);
}

void ModelDownloader::unpack(const ModelPack& pack, const fs::path& archive,
                             const fs::path& staging) {
    std::error_code ec;
    const auto size = fs::file_size(archive, ec);
    const int64_t archiveBytes = ec ? 0 : static_cast<int64_t>(size);
    const auto limits = unpackLimits(pack, archiveBytes);
    try {
        // The room the archive's own directory says it takes, before a byte
        // is written; the archive's own room is already taken. An archive
        // that does not say is taken to unpack to about its size, and only a
        // full disk refuses it.
        const fs::path models = staging.parent_path();
        if (const auto declared = platform::ZipExtractor::declaredContents(archive, limits)) {
            checkRoom(models, roomToUnpack(models, *declared));
        } else {
            neededBytes_ = archiveBytes + kUnpackSpareBytes;
            neededIsMost_ = false;
        }
        // A quit while unpacking (seconds for a large pack) ends it too.
        platform::ZipExtractor::extract(archive, staging, limits,
                                        [this] { return stop_.stop_requested(); });
    } catch (const platform::ExtractionStopped&) {
        throw platform::CancellationError();
    } catch (const platform::ArchiveError&) {
        // Damaged, unsafe (paths or links out of the staging folder), or
        // unpacking past anything a pack could be: refused whole.
        throw platform::AppError(errorDomain, 2, kDamaged);
    }
}

void ModelDownloader::checkRoomAhead(const ModelPack& pack, const fs::path& models,
                                     int64_t remaining, int64_t total,
                                     const ArchiveDownload::DirectoryFn& directory) {
    const auto limits = unpackLimits(pack, total);
    ArchiveDirectoryAnswer answer;
    try {
        answer = directory(limits);
    } catch (const platform::ArchiveError& e) {
        // Damaged or past what a pack may be, as far as its end tells: the
        // archive itself, once here, is the one to judge (its entries may
        // still unpack), as it always was.
        answer.unavailable = e.what();
    }
    // The archive's rest (its last block part-filled, and one for the map
    // of where its blocks lie), the folders the install makes before it
    // unpacks (the download's two where no earlier attempt left them, the
    // staging folder: a block each on ext4, none on tmpfs, and taken by the
    // time the check before unpacking measures the disk again), and
    // the pack unpacked while the whole archive is still on the same disk
    // (it leaves it only by a rename, or not at all); what an earlier
    // attempt left of it is taken already.
    const int64_t archiveRoom = remaining + kBlocksBeforeUnpacking * blockOf(models);
    if (answer.contents) {
        checkRoom(models, archiveRoom + roomToUnpack(models, *answer.contents));
        return;
    }
    // Without the directory, the most that unpacking would let this archive
    // write: as much may be needed, and no more.
    platform::writeLog("Verbolin", "listening", platform::LogType::info,
                       "the speech model archive's directory cannot be read ahead (" +
                           answer.unavailable + "): the most it may unpack to is counted");
    checkRoom(models,
              archiveRoom + roomToUnpack(models, platform::ZipExtractor::mostContents(
                                                     std::uint64_t(total), limits)),
              true);
}

void ModelDownloader::installArchive(const ModelPack& pack, const Files& files) {
    const fs::path models = files.download.parent_path();
    const ArchiveDownload source(pack.remoteURL(options_.serverRoot), files.download / "archive");
    // Removed however the install ends (but on a full disk): a damaged one
    // must not be unpacked again, and a sound one is not needed once
    // unpacked. Held until then, so that another run's start tells it from
    // one a killed install left.
    ArchiveDownload::Fetched fetched = source.fetch(
        [&](int64_t received, int64_t total) { reportDownload(pack, received, total); },
        [&](int64_t remaining, int64_t total, const ArchiveDownload::DirectoryFn& directory) {
            // An archive already whole here is measured by its own directory
            // (see unpack); one of no known size, only once it is whole.
            if (total >= 0 && remaining > 0)
                checkRoomAhead(pack, models, remaining, total, directory);
        },
        stop_.get_token());
    if (onProgress_) onProgress_(Installing{});

    std::error_code ignored;
    fs::remove_all(files.staging, ignored);
    RemoveOnExit removeStaging(files.staging);
    try {
        fs::create_directories(files.staging);
        unpack(pack, fetched.archive.path(), files.staging);
    } catch (const std::exception& e) {
        // The archive is sound, the disk too full to unpack it: kept, so
        // that the next start, with room made, unpacks it without fetching
        // it again.
        if (isDiskFull(e)) keepArchive(fetched);
        throw;
    }
    const auto modelFolder = findModelFolder(files.staging);
    if (!modelFolder) throw platform::AppError(errorDomain, 4, kIncomplete);

    putInPlace(*modelFolder, pack.localFolder(), files.aside);
    // The partial file's folder, and a checkpoint an earlier attempt from the
    // hub left: nothing to continue any more.
    fs::remove_all(files.download, ignored);
    if (!pack.isInstalled()) throw platform::AppError(errorDomain, 3, kIncomplete);
}

void ModelDownloader::installLocked(const ModelPack& pack, const Files& files) {
    if (!options_.serverRoot.empty()) {
        installArchive(pack, files);
        return;
    }
    const fs::path checkpoint = fetch(pack, files);
    if (onProgress_) onProgress_(Installing{});
    convert(pack, files, checkpoint);
}

void ModelDownloader::install(const ModelPack& pack, ProgressFn progress, Existing existing) {
    const bool keep = existing == Existing::keep;
    if (keep && pack.isInstalled()) {
        removeLeftovers(pack);
        return;
    }
    onProgress_ = std::move(progress);
    const Files files = filesOf(pack);
    fs::create_directories(files.download.parent_path());

    // Every install of this pack (another thread, another app instance, a
    // command) works in the same download and staging folders, so the lock
    // is held from here until install() returns. A second install waits
    // rather than fail: once the first ends, the pack is in place, or what
    // the first fetched is continued here.
    platform::FileLock lock(files.lock);
    waitForOtherInstall(pack, lock, files.download);
    ReleaseOnExit release(lock);
    restoreSetAside(pack.localFolder(), files.aside);
    if (keep && pack.isInstalled()) return;
    for (const std::string& problem : removeLeftoverArchives())
        platform::writeLog("Verbolin", "listening", platform::LogType::error, problem);

    try {
        installLocked(pack, files);
    } catch (...) {
        const bool hub = options_.serverRoot.empty();
        const std::string endpoint =
            hub ? options_.endpoint.value_or(vortil::HubApi::hfEndpointFromEnv())
                : options_.serverRoot;
        if (auto described = describeFailure(
                std::current_exception(), endpoint, files.download.parent_path(), neededBytes_,
                hub ? pack.checkpointRepo() : std::string(), neededIsMost_))
            throw *described;
        throw;
    }
}

}  // namespace verbolin
