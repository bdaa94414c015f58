#include "verbolin/listening/ArchiveDownload.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/system/AppError.hpp"
#include "platform/system/CancellationError.hpp"
#include "platform/system/HttpClient.hpp"
#include "platform/system/OpenFd.hpp"
#include "platform/system/Paths.hpp"
#include "platform/system/Uuid.hpp"
#include "vortilcore/hub/Downloader.hpp"
#include "vortilcore/hub/Etag.hpp"

namespace verbolin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kErrorDomain = "ModelDownloader";
constexpr double kTimeoutSeconds = 60;
constexpr int kRetries = 5;
// How often the bytes on disk are reported while the engine, which reports
// only when the size is known, is quiet.
constexpr std::chrono::milliseconds kProgressPoll{250};
constexpr size_t kMaxEtagName = 96;
constexpr std::string_view kArchivePrefix = "verbolin-model-";
constexpr std::string_view kArchiveSuffix = ".zip";
// Beside the partial file, whose name ends in ".incomplete" whatever the etag.
constexpr const char* kLanded = "whole.zip";

// "verbolin-model-<uuid>.zip" in the temporary folder.
fs::path freshArchive() {
    return platform::temporaryDirectory() /
           (std::string(kArchivePrefix) + platform::Uuid::random().string() +
            std::string(kArchiveSuffix));
}

bool isArchiveName(std::string_view name) {
    if (!name.starts_with(kArchivePrefix) || !name.ends_with(kArchiveSuffix)) return false;
    name.remove_prefix(kArchivePrefix.size());
    name.remove_suffix(kArchiveSuffix.size());
    return platform::Uuid::parse(name).has_value();
}

// The etag as a file name: letters, digits, '-', '_' and '.' kept, anything
// else (slashes among them) turned into '_'.
std::string etagName(const std::string& etag) {
    std::string name;
    for (const char c : etag.substr(0, kMaxEtagName)) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                           (c == '.' && !name.empty());
        name.push_back(plain ? c : '_');
    }
    return name;
}

// The partial file's name for content the server names by the time of its
// last change: the time in seconds, so that two spellings of one time share
// it, behind a '@' that no etag's name holds.
std::string modifiedName(const std::string& lastModified) {
    const auto time = platform::parseHttpDate(lastModified);
    return "modified@" + std::to_string(time ? time->time_since_epoch().count() : 0);
}

int64_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

}  // namespace

ArchiveDownload::ArchiveDownload(std::string url, fs::path partialFolder)
    : url_(std::move(url)), partialFolder_(std::move(partialFolder)) {}

std::vector<std::string> ArchiveDownload::removeLeftovers() {
    return platform::removeUnheldTemporaries({isArchiveName, platform::HeldTemporary::Kind::file,
                                              "a speech model archive", "speech model archives"});
}

std::string ArchiveDownload::statusMessage(long status) {
    return "The speech model could not be downloaded (HTTP " + std::to_string(status) +
           "). Check your connection and try again.";
}

ArchiveDownload::Head ArchiveDownload::ask(std::stop_token stop) const {
    platform::HttpClient client;
    std::stop_callback cancelOnStop(stop, [&client] { client.cancel(); });
    platform::HttpRequest head(url_, "HEAD");
    head.timeout = std::chrono::milliseconds(static_cast<int64_t>(kTimeoutSeconds * 1000));
    const auto answer = client.send(head);
    if (stop.stop_requested()) throw platform::CancellationError();
    // A server that does not answer HEAD leaves the GET to tell.
    if (answer.status == 405 || answer.status == 501) return {};
    if (answer.status != 200)
        throw platform::AppError(kErrorDomain, answer.status, statusMessage(answer.status));
    Head result;
    result.size = platform::contentLength(answer.headers);
    result.etag = vortil::normalizeEtag(answer.headers.value("ETag"));
    if (!result.etag) result.lastModified = vortil::strongLastModified(answer.headers);
    return result;
}

fs::path ArchiveDownload::partialFile(const Head& head) const {
    const std::string name = (head.etag           ? etagName(*head.etag)
                              : head.lastModified ? modifiedName(*head.lastModified)
                                                  : std::string("unnamed")) +
                             ".incomplete";
    fs::create_directories(partialFolder_);
    std::error_code ec;
    for (fs::directory_iterator it(partialFolder_, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (it->path().filename() != name) fs::remove_all(it->path(), ignored);
    }
    const fs::path partial = partialFolder_ / name;
    // Bytes nothing names cannot be told from another archive's: start over.
    const int keep = head.etag || head.lastModified ? 0 : O_TRUNC;
    const platform::OpenFd create(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | keep, 0600));
    if (!create)
        throw fs::filesystem_error("cannot create the partial download", partial,
                                   std::error_code(errno, std::generic_category()));
    return partial;
}

void ArchiveDownload::transfer(const Head& head, const fs::path& partial,
                               const fs::path& destination, const ProgressFn& progress,
                               std::stop_token stop) const {
    using Kind = vortil::Downloader::DownloadState::Kind;
    const int64_t total = head.size.value_or(-1);
    // The partial file is gone once moved into place: what was shown stays.
    int64_t shown = 0;
    vortil::Downloader engine(destination, partial);
    engine.setProgressInterval(vortil::Downloader::kWatchedProgressInterval);
    // A 204, or a piece nobody asked for, is no archive: said as its status.
    engine.setOnlyAnswersAsked(true);
    std::stop_callback cancelOnStop(stop, [&engine] { engine.cancel(); });
    const auto states = engine.download(url_, std::nullopt, std::nullopt, head.size,
                                        kTimeoutSeconds, kRetries, head.etag, head.lastModified);
    for (;;) {
        const auto state = states->next(kProgressPoll);
        if (stop.stop_requested()) throw platform::CancellationError();
        if (state && state->kind() == Kind::failed) {
            if (state->error()) std::rethrow_exception(state->error());
            throw vortil::Downloader::DownloadError(
                vortil::Downloader::DownloadError::Code::unexpectedError);
        }
        if (state && state->kind() == Kind::completed) {
            const int64_t size = sizeOf(destination);
            if (progress) progress(size, size);
            return;
        }
        if (!state && states->isFinished())
            throw vortil::Downloader::DownloadError(
                vortil::Downloader::DownloadError::Code::unexpectedError);
        shown = std::max(shown, sizeOf(partial));
        // The engine's count runs up to a write block ahead of the file.
        if (state && state->kind() == Kind::downloading && total > 0)
            shown = std::max(
                shown, std::min(total, static_cast<int64_t>(state->fraction() * double(total))));
        if (progress) progress(shown, total);
    }
}

platform::HeldTemporary ArchiveDownload::publish(const fs::path& landed) {
    using platform::HeldTemporary;
    auto held = HeldTemporary::open(landed, HeldTemporary::Kind::file);
    if (!held)
        throw fs::filesystem_error("cannot hold the downloaded archive", landed,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    // Only a rename: a copy to another file system would need room there
    // for the whole archive, which the install does not otherwise need, and
    // a temporary folder in memory may not have. Where the rename cannot be
    // made the archive is as safe where it landed, held there under the
    // install's lock.
    std::error_code ec;
    fs::create_directories(platform::temporaryDirectory(), ec);
    if (!ec) {
        try {
            held->moveTo(freshArchive());
        } catch (const fs::filesystem_error&) {
            // Another file system, or a folder this user may not write in:
            // unpacked from where it landed.
        }
    }
    return std::move(*held);
}

void ArchiveDownload::Fetched::keep() {
    if (partial.empty()) return;
    archive.keepAt(partial);
}

ArchiveDownload::Fetched ArchiveDownload::fetch(const ProgressFn& progress,
                                                const BeforeTransferFn& beforeTransfer,
                                                std::stop_token stop) const {
    // The transfer lands the archive beside the partial file, where only the
    // install holding the pack's lock looks: it is held there before it
    // takes its name in the temporary folder, where another run may look
    // for leftovers at any moment.
    const fs::path landed = partialFolder_ / kLanded;
    // Other content on the server than the partial file holds is found out
    // only once the transfer starts (the partial file is then emptied): one
    // more attempt fetches the new content from its start.
    for (int attempt = 1;; ++attempt) {
        const Head head = ask(stop);
        const fs::path partial = partialFile(head);
        if (beforeTransfer) {
            const int64_t present = sizeOf(partial);
            const RemoteArchive remote{url_, head.size.value_or(-1), head.etag, head.lastModified};
            beforeTransfer(head.size ? std::max<int64_t>(*head.size - present, 0) : -1,
                           head.size.value_or(-1),
                           [&](const platform::ZipExtractor::Limits& limits) {
                               return requestArchiveDirectory(remote, limits, stop);
                           });
        }
        try {
            transfer(head, partial, landed, progress, stop);
            // Taken whole without a request only where the server names the
            // archive and its size; any other is fetched anew.
            const bool keepable = head.size && (head.etag || head.lastModified);
            return Fetched{publish(landed), keepable ? partial : fs::path()};
        } catch (const vortil::Downloader::DownloadError& e) {
            // The GET's answer is the server's as much as the HEAD's: said as
            // its status, not as a download that failed for no known reason.
            if (const auto status = e.httpStatus())
                throw platform::AppError(kErrorDomain, *status, statusMessage(*status));
            if (e.code() != vortil::Downloader::DownloadError::Code::contentChanged || attempt >= 2)
                throw;
        }
    }
}

}  // namespace verbolin
