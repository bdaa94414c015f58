#include "verbolin/listening/ModelDownloader.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system/AppError.hpp"
#include "platform/system/FileLock.hpp"
#include "platform/system/FileMove.hpp"
#include "platform/system/ZipExtractor.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kBytesPerMB = 1000000;

// How often a waiting install looks whether the one it waits for has ended.
constexpr std::chrono::milliseconds kOtherInstallPoll{100};
constexpr int kPollsPerWaitReport = 10;

const char* const kDamaged = "The download was damaged. Please try again.";
const char* const kIncomplete = "The download was incomplete. Please try again.";
const char* const kCancelled = "The transfer was cancelled.";

[[noreturn]] void throwDownloadFailure(const std::string& description) {
    throw platform::AppError(ModelDownloader::errorDomain, 1,
                             "The speech model could not be downloaded: " + description);
}

// Removes the staging folder with everything in it, however install() ends.
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

// A pack unpacks to about its announced size; a quarter more and 64 MB of
// slack cover compression and rounding, and nothing unpacks past 16 GiB.
platform::ZipExtractor::Limits unpackLimits(const ModelPack& pack) {
    platform::ZipExtractor::Limits limits;
    if (pack.approxMB > 0) {
        const std::uint64_t expected = std::uint64_t(pack.approxMB) * kBytesPerMB;
        limits.maxBytes =
            std::min(limits.maxBytes, expected + expected / 4 + (std::uint64_t{64} << 20));
    }
    return limits;
}

// The staging folder itself, then its sub-folders in listing order; the first
// that holds the text decoder is the model folder.
std::optional<fs::path> findModelFolder(const fs::path& staging) {
    std::vector<fs::path> candidates{staging};
    std::error_code ec;
    fs::directory_iterator it(staging, ec);
    if (!ec) {
        for (const auto& entry : it) {
            std::error_code typeError;
            // Links are not followed: a folder is a real folder.
            const auto status = entry.symlink_status(typeError);
            if (typeError) continue;
            if (fs::is_directory(status)) candidates.push_back(entry.path());
        }
    }
    for (const auto& candidate : candidates) {
        std::error_code existsError;
        if (fs::exists(candidate / "TextDecoder.mlmodelc", existsError)) return candidate;
    }
    return std::nullopt;
}

}  // namespace

ModelDownloader::ModelDownloader() : ModelDownloader(Options{}) {}

ModelDownloader::ModelDownloader(Options options)
    : options_(std::move(options)), http_(options_.http) {}

void ModelDownloader::cancel() noexcept { http_.cancel(); }

void ModelDownloader::reportDownload(const ModelPack& pack, int64_t written,
                                     int64_t expected) const {
    if (!onProgress_) return;
    Downloading d;
    d.receivedMB = written / kBytesPerMB;
    if (expected > 0) {
        d.fraction = std::min(1.0, static_cast<double>(written) / static_cast<double>(expected));
        d.totalMB = expected / kBytesPerMB;
    } else {
        // No announced length: a fraction cannot be known, and "of 0 MB"
        // would be wrong, so the pack's approximate size stands in.
        d.fraction = 0;
        d.totalMB = pack.approxMB;
    }
    onProgress_(d);
}

void ModelDownloader::download(const ModelPack& pack, const std::string& url,
                               PartialDownload& partial) const {
    // Set when a resumed request's answer cannot be appended: ask again for
    // the whole file rather than put bytes at a place they do not belong.
    struct StartOver {};

    auto resume = partial.resumable(url);
    // The whole archive is already here: an earlier install got it and then
    // could not unpack it. A damaged one is removed when unpacking fails.
    if (resume && resume->complete) {
        reportDownload(pack, resume->size, resume->size);
        return;
    }
    std::optional<std::string> validator = resume ? std::optional(resume->validator) : std::nullopt;
    for (;;) {
        platform::HttpRequest request(url);
        if (resume) {
            request.setHeader("Range", platform::rangeFrom(resume->size));
            // A file that changed since comes back whole (200), not cut.
            request.setHeader("If-Range", resume->validator);
        }
        bool writing = false;
        bool alreadyWhole = false;
        int64_t offset = 0;
        int64_t expected = -1;
        int64_t written = 0;
        const auto onResponse = [&](const platform::HttpResponse& head) {
            if (resume && head.status == 206) {
                const auto range =
                    platform::parseContentRange(head.headers.value("Content-Range").value_or(""));
                if (!range || range->first != resume->size) throw StartOver{};
                // A server that does not know If-Range sends a piece of
                // whatever it has now; one that names other content than the
                // bytes kept must not be appended to them.
                const auto answered = PartialDownload::validatorOf(head.headers);
                if (answered && *answered != resume->validator) throw StartOver{};
                partial.beginAppend();
                offset = resume->size;
                if (range->total) {
                    expected = *range->total;
                } else if (const auto length = platform::contentLength(head.headers)) {
                    expected = offset + *length;
                }
                writing = true;
            } else if (head.status == 200) {
                validator = PartialDownload::validatorOf(head.headers);
                partial.beginFresh(url, validator);
                expected = platform::contentLength(head.headers).value_or(-1);
                writing = true;
            } else if (resume && head.status == 416 &&
                       PartialDownload::validatorOf(head.headers) == resume->validator &&
                       platform::parseUnsatisfiedRange(
                           head.headers.value("Content-Range").value_or("")) == resume->size) {
                // Nothing lies past the bytes kept, under the validator they
                // were fetched with: the whole file arrived and only its record
                // as complete is missing (a stop right after the last byte).
                alreadyWhole = true;
            } else if (resume && (head.status == 416 || (head.status > 200 && head.status < 300))) {
                throw StartOver{};
            }
            // Anything else is an error answer: its body is not the pack, and
            // the bytes kept from an earlier attempt stay as they were.
        };
        const auto onBody = [&](std::string_view chunk) {
            if (!writing) return;
            partial.append(chunk);
            written += static_cast<int64_t>(chunk.size());
            reportDownload(pack, offset + written, expected);
        };
        try {
            const auto response = http_.send(request, onBody, onResponse);
            if (alreadyWhole) {
                partial.markComplete(url, resume->validator);
                reportDownload(pack, resume->size, resume->size);
                return;
            }
            if (!writing) {
                throw platform::AppError(errorDomain, response.status,
                                         "The speech model could not be downloaded (HTTP " +
                                             std::to_string(response.status) +
                                             "). Check your connection and try again.");
            }
            partial.finish();
            const int64_t received = offset + written;
            if (expected >= 0 && received > expected) {
                // More than the server said the file holds: nothing to continue.
                partial.discard();
                throwDownloadFailure("the server sent more than the file's " +
                                     std::to_string(expected) + " bytes");
            }
            if (expected >= 0 && received < expected) {
                // The connection closed where no length was announced, or the
                // server sent less than the rest: what arrived is sound and
                // stays, with its validator, for the next attempt to continue.
                throwDownloadFailure("transfer closed with " + std::to_string(expected - received) +
                                     " bytes remaining to read");
            }
            if (validator) partial.markComplete(url, *validator);
            return;
        } catch (const StartOver&) {
            resume.reset();
            validator.reset();
        } catch (const platform::HttpError& e) {
            throwDownloadFailure(e.what());
        }
    }
}

ModelDownloader::Files ModelDownloader::filesOf(const ModelPack& pack) {
    const fs::path models = pack.localFolder().parent_path();
    return Files{models / (".download-" + pack.id + ".zip.partial"),
                 models / (".staging-" + pack.id), models / (".install-" + pack.id + ".lock")};
}

void ModelDownloader::waitForOtherInstall(const ModelPack& pack, platform::FileLock& lock,
                                          const fs::path& partialFile) const {
    int64_t shownMB = -1;
    for (int poll = 0; !lock.tryLock(); ++poll) {
        // The other install's bytes as they arrive: the wait shows movement,
        // and a caller's throwing progress callable can end it. Reported once
        // a second even when nothing moves, so that the caller (an app that
        // quits) can end the wait while the other install is stalled.
        std::error_code ec;
        const auto size = fs::file_size(partialFile, ec);
        const int64_t bytes = ec ? 0 : static_cast<int64_t>(size);
        if (bytes / kBytesPerMB != shownMB || poll % kPollsPerWaitReport == 0) {
            shownMB = bytes / kBytesPerMB;
            reportDownload(pack, bytes, -1);
        }
        if (http_.isCancelled()) throwDownloadFailure(kCancelled);
        std::this_thread::sleep_for(kOtherInstallPoll);
    }
}

void ModelDownloader::removeLeftovers(const ModelPack& pack) noexcept {
    const Files files = filesOf(pack);
    std::error_code ec;
    const bool partial =
        fs::exists(files.partial, ec) || fs::exists(PartialDownload(files.partial).sidecar(), ec);
    if (!partial && !fs::exists(files.staging, ec)) return;
    try {
        // An install that holds the lock may be using them (a moment from
        // tidying up itself); it removes them, or the next start does.
        platform::FileLock lock(files.lock);
        if (!lock.tryLock() || !pack.isInstalled()) return;
        PartialDownload(files.partial).discard();
        fs::remove_all(files.staging, ec);
    } catch (const std::exception&) {
        // Cannot lock (a read-only or odd file system): leave them.
    }
}

void ModelDownloader::install(const ModelPack& pack, ProgressFn progress) {
    if (pack.isInstalled()) {
        removeLeftovers(pack);
        return;
    }
    onProgress_ = std::move(progress);

    const fs::path local = pack.localFolder();
    const fs::path models = local.parent_path();
    const Files files = filesOf(pack);
    fs::create_directories(models);

    // Every install of this pack (another thread, another app instance, a
    // command) works in the same partial file, record and staging folder, so
    // the lock is held from here until install() returns. A second install
    // waits rather than fail: once the first ends, the pack is in place, or
    // what the first fetched is continued here.
    platform::FileLock lock(files.lock);
    waitForOtherInstall(pack, lock, files.partial);
    if (pack.isInstalled()) return;

    // Kept across attempts (a dropped connection, a quit) so that the next
    // one continues it; removed once it has been unpacked, or found damaged,
    // so that a bad file is not resumed for ever.
    PartialDownload partial(files.partial);
    download(pack, pack.remoteURL(options_.serverRoot), partial);

    if (onProgress_) onProgress_(Installing{});

    const fs::path& staging = files.staging;
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::create_directories(staging);
    RemoveOnExit removeStaging(staging);

    try {
        // A quit while unpacking (seconds for a large pack) ends it too; the
        // whole archive stays, recorded as whole, for the next start to unpack.
        platform::ZipExtractor::extract(partial.file(), staging, unpackLimits(pack),
                                        [this] { return http_.isCancelled(); });
    } catch (const platform::ExtractionStopped&) {
        throwDownloadFailure(kCancelled);
    } catch (const platform::ArchiveError&) {
        partial.discard();
        throw platform::AppError(errorDomain, 2, kDamaged);
    }

    const auto modelFolder = findModelFolder(staging);
    if (!modelFolder) {
        // A whole archive without a model: downloading it again gives the same.
        partial.discard();
        throw platform::AppError(errorDomain, 4, kIncomplete);
    }

    fs::remove_all(local, ignored);
    platform::moveItem(*modelFolder, local);
    partial.discard();

    if (!pack.isInstalled()) throw platform::AppError(errorDomain, 3, kIncomplete);
}

}  // namespace verbolin
