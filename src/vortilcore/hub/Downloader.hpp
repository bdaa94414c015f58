#pragma once
// Fetches one remote file over HTTP(S) into a partial file, resuming from the
// bytes already there with a Range request, retrying network failures during
// the transfer, and moving the finished file into place. Progress and outcome
// are published as DownloadState values through a Broadcaster, so any number
// of listeners can follow one transfer.
//
// Every byte received reaches the partial file, also when the connection
// drops part-way, so a link that fails often still makes progress. A resumed
// request names the content it continues with If-Range and the etag, or,
// from a server that sends none, the time of its last change when that time
// is strong (see strongLastModified); an answer carrying another etag or
// another time is other content: the partial file is emptied and the
// transfer fails with contentChanged rather than splicing two versions into
// one file. With neither, a resumed request cannot name its content: a
// connection dropped part-way starts the file over (and a whole answer of
// another size than expected is then contentChanged), and a caller that
// keeps bytes across runs should not continue them.
//
// Transfers run in-process on a thread of their own. The background flag is
// accepted and kept, but Linux has no system service that carries transfers
// across process launches: a new process resumes from the partial file.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/system/AsyncStream.hpp"
#include "platform/system/HttpClient.hpp"
#include "vortilcore/hub/Broadcaster.hpp"

namespace vortil {

class Downloader {
  public:
    class DownloadState {
      public:
        enum class Kind { downloading, completed, failed, notStarted };

        static DownloadState downloading(double fraction, std::optional<double> speed) {
            DownloadState s(Kind::downloading);
            s.fraction_ = fraction;
            s.speed_ = speed;
            return s;
        }
        static DownloadState completed(std::filesystem::path url) {
            DownloadState s(Kind::completed);
            s.url_ = std::move(url);
            return s;
        }
        static DownloadState failed(std::exception_ptr error) {
            DownloadState s(Kind::failed);
            s.error_ = std::move(error);
            return s;
        }
        static DownloadState notStarted() { return DownloadState(Kind::notStarted); }

        Kind kind() const { return kind_; }
        double fraction() const { return fraction_; }
        const std::optional<double>& speed() const { return speed_; }
        const std::filesystem::path& url() const { return url_; }
        const std::exception_ptr& error() const { return error_; }
        bool isFinal() const { return kind_ == Kind::completed || kind_ == Kind::failed; }

      private:
        explicit DownloadState(Kind kind) : kind_(kind) {}
        Kind kind_;
        double fraction_ = 0;
        std::optional<double> speed_;
        std::filesystem::path url_;
        std::exception_ptr error_;
    };

    class DownloadError : public std::runtime_error {
      public:
        enum class Code {
            invalidDownloadLocation,
            unexpectedError,
            tempFileNotFound,
            // The server answered with another etag than the bytes on disk have.
            contentChanged,
        };
        // `httpStatus`: the server's answer, when an answer it should not
        // have given ended the transfer.
        explicit DownloadError(Code code, std::optional<long> httpStatus = std::nullopt);
        Code code() const noexcept { return code_; }
        const std::optional<long>& httpStatus() const noexcept { return httpStatus_; }

      private:
        Code code_;
        std::optional<long> httpStatus_;
    };

    using StateStream = platform::AsyncStream<DownloadState>;
    using Headers = std::map<std::string, std::string>;

    // Progress is reported, and the retries restored, once per this many
    // bytes written.
    static constexpr int64_t kWriteChunkSize = 10'485'760;
    // The largest single write to the partial file. Disks take large writes
    // far more slowly than moderate ones, so progress reporting does not
    // set the write size.
    static constexpr size_t kWriteBlockSize = 1'048'576;
    // How many retries a written chunk restores, whatever the caller asked for.
    static constexpr int kRetriesAfterProgress = 5;

    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
               bool inBackground = false, int64_t chunkSize = kWriteChunkSize);
    // Stops a running transfer and waits for it.
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts a transfer of `url` and returns a new subscription to its states;
    // every failure arrives as `failed` in the stream. A transfer already
    // running on this downloader is cancelled and waited for first, so two
    // transfers never write the partial file at once. `etag` (normalized, as
    // normalizeEtag gives it) names the content the partial file
    // holds or is to hold; without one, the first answer's etag is taken.
    // `lastModified`, a strong Last-Modified text, names it where no etag
    // does; without either, the first answer's strong Last-Modified is taken.
    std::shared_ptr<StateStream> download(
        const std::string& url, const std::optional<std::string>& token,
        const std::optional<Headers>& headers, std::optional<int64_t> expectedSize, double timeout,
        int numRetries, const std::optional<std::string>& etag = std::nullopt,
        const std::optional<std::string>& lastModified = std::nullopt);

    // Stops the transfer and publishes `failed` with a cancelled URL error.
    // Does not wait for the transfer's thread.
    void cancel();

    // The size of the file at `url`, or 0 when there is none or it cannot be read.
    static int64_t incompleteFileSize(const std::filesystem::path& url);

    // Replaces whatever is at `destination` with `source`, creating the folder.
    static void moveDownloadedFile(const std::filesystem::path& source,
                                   const std::filesystem::path& destination);

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }
    bool inBackground() const { return inBackground_; }
    int64_t chunkSize() const { return chunkSize_; }

    // The pause before a retry; one second unless a test shortens it.
    void setRetryDelay(std::chrono::milliseconds delay) { retryDelay_ = delay; }

    // Also reports (without restoring retries) once this long has passed
    // since the last report while bytes arrive, counting the bytes received
    // (at most one write block ahead of the file), so that a slow link still
    // shows movement between chunks. Zero (the default): once per chunk only.
    // Set before download(), as is the next.
    void setProgressInterval(std::chrono::milliseconds interval) { progressInterval_ = interval; }
    // The interval for progress a person watches: it moves at least once a
    // second while bytes arrive.
    static constexpr std::chrono::milliseconds kWatchedProgressInterval{500};

    // Fails any answer other than 200, or 206 to a request that asked for a
    // range, with its status: for a caller whose server is to send the file
    // whole and as asked, where the default takes any 2xx.
    void setOnlyAnswersAsked(bool only) { onlyAnswersAsked_ = only; }

  private:
    struct Request {
        std::string url;
        Headers headers;
        std::chrono::milliseconds timeout{0};
        std::optional<std::string> etag;
        std::optional<std::string> lastModified;
    };
    class PartialFile;
    class Transfer;

    void transfer(std::stop_token stop, Request request, int64_t resumeSize, int numRetries);
    void httpGet(std::stop_token stop, const Request& request, PartialFile& file, int numRetries);
    std::shared_ptr<platform::HttpClient> newSession();
    std::shared_ptr<platform::HttpClient> currentSession();
    void waitBeforeRetry(std::stop_token stop);

    const std::filesystem::path destination_;
    const std::filesystem::path incompleteDestination_;
    const bool inBackground_;
    const int64_t chunkSize_;
    std::chrono::milliseconds retryDelay_{1000};
    std::chrono::milliseconds progressInterval_{0};
    bool onlyAnswersAsked_ = false;
    Broadcaster<DownloadState> broadcaster_;

    // Resume state: the size the finished file must have, and the bytes
    // already in the partial file.
    std::mutex sizesMutex_;
    std::optional<int64_t> expectedSize_;
    int64_t downloadedSize_ = 0;

    std::mutex sessionMutex_;
    std::shared_ptr<platform::HttpClient> session_;

    std::mutex taskMutex_;  // held by download(), cancel() and the destructor
    std::jthread task_;
};

}  // namespace vortil
