#include "vortilcore/hub/Downloader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/system/CancellationError.hpp"
#include "platform/system/FileMove.hpp"
#include "vortilcore/hub/Etag.hpp"

namespace vortil {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(errno, std::generic_category()));
}

const char* describe(Downloader::DownloadError::Code code) {
    switch (code) {
        case Downloader::DownloadError::Code::invalidDownloadLocation:
            return "The download location is not valid.";
        case Downloader::DownloadError::Code::unexpectedError:
            return "The download failed unexpectedly.";
        case Downloader::DownloadError::Code::tempFileNotFound:
            return "The temporary download file was not found.";
        case Downloader::DownloadError::Code::contentChanged:
            return "The file changed on the server during the download.";
    }
    return "The download failed.";
}

// The etag an answer gives its content, in the form the metadata reader uses.
std::optional<std::string> answerEtag(const platform::HttpResponse& head) {
    auto etag = head.headers.value("X-Linked-Etag");
    if (!etag) etag = head.headers.value("ETag");
    return normalizeEtag(etag);
}

// "scheme://host:port" of a URL, for telling whether an answer came from the
// server that was asked or from one it redirected to.
std::string_view originOf(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return url;
    const size_t end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end);
}

}  // namespace

Downloader::DownloadError::DownloadError(Code code, std::optional<long> httpStatus)
    : std::runtime_error(describe(code)), code_(code), httpStatus_(httpStatus) {}

// The partial file, open for appending, and the size it holds.
class Downloader::PartialFile {
  public:
    explicit PartialFile(const std::filesystem::path& path) : path_(path) {
        // No O_CREAT: the caller readies the partial file, and a missing one is
        // an error rather than a silent fresh start.
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) throwErrno("cannot open the partial download file", path);
    }
    ~PartialFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    int64_t seekToEnd() {
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) throwErrno("cannot seek in the partial download file", path_);
        return static_cast<int64_t>(end);
    }

    // Empties the file, for a transfer that must start over.
    void truncate() {
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0)
            throwErrno("cannot truncate the partial download file", path_);
    }

    void write(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                throwErrno("cannot write the partial download file", path_);
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    void close() {
        const int fd = std::exchange(fd_, -1);
        if (fd >= 0 && ::close(fd) != 0)
            throwErrno("cannot close the partial download file", path_);
    }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

Downloader::Downloader(std::filesystem::path destination,
                       std::filesystem::path incompleteDestination, bool inBackground,
                       int64_t chunkSize)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      inBackground_(inBackground),
      chunkSize_(chunkSize),
      broadcaster_([] { return std::optional<DownloadState>(DownloadState::notStarted()); }) {}

Downloader::~Downloader() {
    std::lock_guard lock(taskMutex_);
    if (auto session = currentSession()) session->cancel();
    task_.request_stop();
    if (task_.joinable()) task_.join();
}

std::shared_ptr<platform::HttpClient> Downloader::newSession() {
    auto session = std::make_shared<platform::HttpClient>();
    std::lock_guard lock(sessionMutex_);
    session_ = session;  // the one before is only let go, not cancelled
    return session;
}

std::shared_ptr<platform::HttpClient> Downloader::currentSession() {
    std::lock_guard lock(sessionMutex_);
    return session_;
}

std::shared_ptr<Downloader::StateStream> Downloader::download(
    const std::string& url, const std::optional<std::string>& token,
    const std::optional<Headers>& headers, std::optional<int64_t> expectedSize, double timeout,
    int numRetries, const std::optional<std::string>& etag,
    const std::optional<std::string>& lastModified) {
    std::lock_guard lock(taskMutex_);
    if (task_.joinable()) {
        // Cancellation is cooperative: wait until the earlier transfer has
        // stopped writing before this one reads the partial file's size.
        task_.request_stop();
        if (auto session = currentSession()) session->cancel();
        task_.join();
    }
    {
        std::lock_guard sizes(sizesMutex_);
        expectedSize_ = expectedSize;
    }
    newSession();
    int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    if (expectedSize && *expectedSize >= 0 && resumeSize > *expectedSize) {
        // More bytes than the file has cannot be a prefix of it: start over.
        std::error_code ec;
        std::filesystem::resize_file(incompleteDestination_, 0, ec);
        if (!ec) resumeSize = 0;
    }

    Request request;
    request.url = url;
    if (headers) request.headers = *headers;
    if (token && !token->empty()) request.headers["Authorization"] = "Bearer " + *token;
    const double seconds = std::isfinite(timeout) && timeout > 0 ? timeout : 60.0;
    request.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
    request.etag = etag;
    request.lastModified = lastModified;

    // The first state goes out before the subscription is made, so a new
    // subscriber starts from this transfer, not from the end of an earlier one.
    double fraction = 0;
    if (resumeSize > 0 && expectedSize && *expectedSize > 0)
        fraction = static_cast<double>(resumeSize) / static_cast<double>(*expectedSize);
    broadcaster_.broadcast(DownloadState::downloading(fraction, std::nullopt));

    // Subscribed before the transfer starts: a transfer quicker than this
    // thread would otherwise leave the caller only its final state.
    auto stream = broadcaster_.subscribe();
    task_ = std::jthread(
        [this, request = std::move(request), resumeSize, numRetries](std::stop_token stop) {
            transfer(stop, request, resumeSize, numRetries);
        });
    return stream;
}

void Downloader::cancel() {
    {
        std::lock_guard lock(taskMutex_);
        if (auto session = currentSession()) session->cancel();
        task_.request_stop();
    }
    broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(
        platform::HttpError(platform::UrlErrorCode::cancelled, "cancelled"))));
}

void Downloader::transfer(std::stop_token stop, Request request, int64_t resumeSize,
                          int numRetries) {
    std::optional<PartialFile> file;
    try {
        std::optional<int64_t> expected;
        {
            std::lock_guard sizes(sizesMutex_);
            expected = expectedSize_;
        }
        file.emplace(incompleteDestination_);
        {
            std::lock_guard sizes(sizesMutex_);
            downloadedSize_ = resumeSize;
        }
        if (resumeSize > 0) file->seekToEnd();

        // A partial file that already holds every byte needs no request; the
        // server would only answer 416 to a Range past the end.
        if (!(expected && *expected > 0 && resumeSize == *expected))
            httpGet(stop, request, *file, numRetries);

        if (stop.stop_requested()) throw platform::CancellationError();
        file->close();
        moveDownloadedFile(incompleteDestination_, destination_);
        file.reset();
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (...) {
        file.reset();
        broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
    }
}

void Downloader::waitBeforeRetry(std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    if (cv.wait_for(lock, stop, retryDelay_, [] { return false; }) || stop.stop_requested())
        throw platform::CancellationError();
}

// One transfer's bytes on their way to the partial file: the request made
// for each attempt, the checks on each answer, the writes in blocks, the
// progress reports and the retries.
class Downloader::Transfer {
  public:
    Transfer(Downloader& owner, std::stop_token stop, const Request& request, PartialFile& file,
             int numRetries)
        : owner_(owner),
          stop_(std::move(stop)),
          request_(request),
          file_(file),
          retriesLeft_(numRetries),
          validator_(request.etag),
          modified_(request.lastModified) {
        std::lock_guard sizes(owner_.sizesMutex_);
        downloaded_ = owner_.downloadedSize_;
        // Progress counts every byte written, across retries: bytes kept
        // from a dropped connection are progress like any other.
        nextReport_ = downloaded_ + kWriteChunkSize;
        lastReported_ = downloaded_;
    }

    // Requests until the whole file is written, retrying a dropped
    // connection while retries last.
    void run() {
        for (;;) {
            auto session = owner_.currentSession();
            if (!session) throw DownloadError(DownloadError::Code::unexpectedError);
            responseSeen_ = false;
            ranged_ = downloaded_ > 0;
            try {
                const auto response = session->send(
                    nextRequest(), [this](std::string_view piece) { gather(piece); },
                    [this](const platform::HttpResponse& head) { checkAnswer(head); });
                if (!responseSeen_) checkAnswer(response);
                flush();
            } catch (const platform::HttpError& error) {
                if (!retryAfter(error)) throw;
                continue;
            }
            checkWholeFile();
            return;
        }
    }

  private:
    platform::HttpRequest nextRequest() const {
        platform::HttpRequest get;
        get.url = request_.url;
        get.timeout = request_.timeout;
        for (const auto& [name, value] : request_.headers) get.headers.emplace_back(name, value);
        if (ranged_) {
            get.headers.emplace_back("Range", platform::rangeFrom(downloaded_));
            // A server that has other content now answers with all of it
            // (200) instead of a piece of it.
            if (validator_) {
                get.headers.emplace_back("If-Range", "\"" + *validator_ + "\"");
            } else if (modified_) {
                // A date goes as the server wrote it: some compare the text.
                get.headers.emplace_back("If-Range", *modified_);
            }
        }
        return get;
    }

    // Whether the failed attempt is tried again (after the pause). What
    // arrived before the failure is sound: it is kept, so that the next
    // request (or the next run) continues after it, where the content has a
    // name to continue it by.
    bool retryAfter(const platform::HttpError& error) {
        flush();
        if (stop_.stop_requested()) throw platform::CancellationError();
        // A request that got no response at all is not retried; neither is a
        // cancelled one, nor one out of retries.
        if (!responseSeen_ || error.cancelled() || retriesLeft_ <= 0) return false;
        owner_.waitBeforeRetry(stop_);
        owner_.newSession();
        --retriesLeft_;
        // Without an etag or a strong time to send as If-Range, the server
        // cannot tell a piece of the file these bytes began from a piece of
        // one it has since: continuing them could splice two files into one.
        if (!validator_ && !modified_ && downloaded_ > 0) {
            restartFromZero();
            startedOver_ = true;
        }
        return true;
    }

    void checkAnswer(const platform::HttpResponse& head) {
        // Any status the response was not meant to have ends the transfer
        // without a retry: 404, 416 and their like will not go away. The
        // status goes with the error, for callers that tell the user of it.
        const bool asked = head.status == 200 || (head.status == 206 && ranged_);
        if (head.status < 200 || head.status > 299 || (owner_.onlyAnswersAsked_ && !asked))
            throw DownloadError(DownloadError::Code::unexpectedError, head.status);
        responseSeen_ = true;
        checkSizeAfterStartingOver(head);
        const auto etag = answerEtag(head);
        // A file store that the hub redirects to may name the same bytes
        // differently from the hub's own etag, so an etag from the caller is
        // only compared with answers of the server it came from; one learnt
        // from an earlier answer is always comparable.
        const bool comparable = validatorFromAnswer_ ||
                                originOf(head.effectiveURL) == originOf(request_.url) ||
                                head.headers.value("X-Linked-Etag").has_value();
        if (validator_ && etag && comparable && *etag != *validator_) {
            // Other content: what is on disk cannot be continued with it.
            restartFromZero();
            throw DownloadError(DownloadError::Code::contentChanged);
        }
        checkModified(head, originOf(head.effectiveURL) == originOf(request_.url));
        if (etag && (!validator_ || !ranged_ || head.status == 200)) {
            validator_ = etag;
            validatorFromAnswer_ = true;
        }
        // The server ignored the Range and sends the whole file: start over,
        // or the old prefix would stay in front of it.
        if (ranged_ && head.status == 200) restartFromZero();
        // A piece that does not start where the file on disk ends (or does
        // not say where it starts) would land at the wrong place.
        if (head.status == 206) {
            const auto range =
                platform::parseContentRange(head.headers.value("Content-Range").value_or(""));
            if (!range || range->first != downloaded_) {
                restartFromZero();
                throw DownloadError(DownloadError::Code::contentChanged);
            }
        }
    }

    // A file started over for want of a validator may have changed since its
    // size was learnt: a whole answer of another size is other content, which
    // the caller asks about afresh, rather than a transfer that fails once
    // every byte is in.
    void checkSizeAfterStartingOver(const platform::HttpResponse& head) {
        if (!startedOver_ || head.status != 200) return;
        const auto length = platform::contentLength(head.headers);
        std::optional<int64_t> expected;
        {
            std::lock_guard sizes(owner_.sizesMutex_);
            expected = owner_.expectedSize_;
        }
        if (length && expected && *length != *expected)
            throw DownloadError(DownloadError::Code::contentChanged);
    }

    // Without an etag, the time of the last change names the content: an
    // answer with another time is other content, as one with another etag
    // is, and compared as sparingly: mirrors a server redirects to may have
    // written one file at different times.
    void checkModified(const platform::HttpResponse& head, bool askedServer) {
        if (validator_) return;
        const auto modified = head.headers.value("Last-Modified");
        if (modified_ && modified && (modifiedFromAnswer_ || askedServer) &&
            !sameLastModified(*modified_, *modified)) {
            restartFromZero();
            throw DownloadError(DownloadError::Code::contentChanged);
        }
        if (!modified_) {
            modified_ = strongLastModified(head.headers);
            modifiedFromAnswer_ = modified_.has_value();
        }
    }

    // The client hands over 16 KiB at a time; gathering them into blocks
    // costs a copy but saves 63 writes in 64.
    void gather(std::string_view piece) {
        const char* data = piece.data();
        size_t size = piece.size();
        while (size > 0) {
            if (pending_.capacity() == 0) pending_.reserve(kWriteBlockSize);
            const size_t take = std::min(size, kWriteBlockSize - pending_.size());
            pending_.insert(pending_.end(), data, data + take);
            data += take;
            size -= take;
            if (pending_.size() == kWriteBlockSize) flush();
        }
        if (owner_.progressInterval_.count() > 0) reportIfDue();
    }

    // Between chunks, on a slow link: the bytes received so far, written
    // or about to be (the writes keep their block size).
    void reportIfDue() {
        const auto now = Clock::now();
        if (now - lastReport_ < owner_.progressInterval_) return;
        std::optional<int64_t> expected;
        {
            std::lock_guard sizes(owner_.sizesMutex_);
            expected = owner_.expectedSize_;
        }
        // No size, no fraction: as for a chunk, nothing is reported.
        if (expected) report(*expected, downloaded_ + static_cast<int64_t>(pending_.size()));
        lastReport_ = now;
    }

    void flush() {
        if (pending_.empty()) return;
        writeOut(pending_.data(), pending_.size());
        pending_.clear();
    }

    // Writes in blocks of at most kWriteBlockSize, split where a report is
    // due so that reports fall on exact multiples of kWriteChunkSize.
    void writeOut(const char* data, size_t size) {
        while (size > 0) {
            const size_t take =
                std::min({size, kWriteBlockSize, static_cast<size_t>(nextReport_ - downloaded_)});
            file_.write(data, take);
            data += take;
            size -= take;
            downloaded_ += static_cast<int64_t>(take);
            std::optional<int64_t> expected;
            {
                std::lock_guard sizes(owner_.sizesMutex_);
                owner_.downloadedSize_ += static_cast<int64_t>(take);
                expected = owner_.expectedSize_;
            }
            if (downloaded_ < nextReport_) continue;
            nextReport_ += kWriteChunkSize;
            // Bytes written again after starting over are no progress: a link
            // that always drops at the same point must run out of retries.
            if (downloaded_ > farthest_) retriesLeft_ = kRetriesAfterProgress;
            if (expected) report(*expected);
        }
    }

    void report(int64_t expected) { report(expected, downloaded_); }
    void report(int64_t expected, int64_t received) {
        const double fraction =
            expected == 0 ? 0.0 : static_cast<double>(received) / static_cast<double>(expected);
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - lastReport_).count();
        std::optional<double> speed;
        if (elapsed > 0) speed = static_cast<double>(received - lastReported_) / elapsed;
        owner_.broadcaster_.broadcast(DownloadState::downloading(fraction, speed));
        lastReport_ = now;
        lastReported_ = received;
    }

    void restartFromZero() {
        farthest_ = std::max(farthest_, downloaded_);
        file_.truncate();
        downloaded_ = 0;
        nextReport_ = kWriteChunkSize;
        lastReported_ = 0;
        std::lock_guard sizes(owner_.sizesMutex_);
        owner_.downloadedSize_ = 0;
    }

    void checkWholeFile() {
        const int64_t fileSize = file_.seekToEnd();
        std::optional<int64_t> expected;
        {
            std::lock_guard sizes(owner_.sizesMutex_);
            expected = owner_.expectedSize_;
        }
        if (expected && *expected != fileSize) {
            // Too long can only mean bytes that are not the file's: keep none
            // of them, so the next attempt starts clean instead of failing for ever.
            if (fileSize > *expected) file_.truncate();
            throw DownloadError(DownloadError::Code::unexpectedError);
        }
    }

    Downloader& owner_;
    std::stop_token stop_;
    const Request& request_;
    PartialFile& file_;
    int retriesLeft_;
    // What the bytes on disk are a prefix of; learnt from the first answer
    // when the caller could not say.
    std::optional<std::string> validator_;
    bool validatorFromAnswer_ = false;
    // What names the bytes on disk where no etag does: a strong
    // Last-Modified, given or learnt like the etag.
    std::optional<std::string> modified_;
    bool modifiedFromAnswer_ = false;
    int64_t downloaded_ = 0;
    int64_t nextReport_ = 0;
    Clock::time_point lastReport_ = Clock::now();
    int64_t lastReported_ = 0;
    bool responseSeen_ = false;
    bool ranged_ = false;
    // The most bytes the file held before a start over.
    int64_t farthest_ = 0;
    // Whether a dropped connection made the transfer start over, its bytes
    // named by nothing.
    bool startedOver_ = false;
    std::vector<char> pending_;  // received bytes not yet written; at most one block
};

void Downloader::httpGet(std::stop_token stop, const Request& request, PartialFile& file,
                         int numRetries) {
    Transfer(*this, std::move(stop), request, file, numRetries).run();
}

int64_t Downloader::incompleteFileSize(const std::filesystem::path& url) {
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

void Downloader::moveDownloadedFile(const std::filesystem::path& source,
                                    const std::filesystem::path& destination) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(destination, ec)))
        std::filesystem::remove(destination);
    if (destination.has_parent_path())
        std::filesystem::create_directories(destination.parent_path());
    try {
        platform::moveItem(source, destination);
    } catch (const std::filesystem::filesystem_error& e) {
        if (e.code() != std::errc::cross_device_link) throw;
        std::filesystem::copy_file(source, destination,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(source);
    }
}

}  // namespace vortil
