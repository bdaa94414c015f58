#pragma once
// HTTP(S) GET straight into a file, on libcurl. Redirects are followed, the
// final status is reported rather than judged (callers decide what a 404
// means), and a transfer that ends without a complete response throws
// HttpError with libcurl's own wording of what went wrong.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace platform {

class HttpError : public std::runtime_error {
public:
    HttpError(int curlCode, bool cancelled, const std::string& description)
        : std::runtime_error(description), curlCode_(curlCode), cancelled_(cancelled) {}

    int curlCode() const noexcept { return curlCode_; }
    bool cancelled() const noexcept { return cancelled_; }

private:
    int curlCode_;
    bool cancelled_;
};

struct HttpResponse {
    long status = 0;          // of the last response, after redirects
    int64_t bytesWritten = 0; // body bytes stored in the destination file
    std::string effectiveURL;
};

class HttpClient {
public:
    struct Options {
        std::chrono::seconds connectTimeout{30};
        std::chrono::seconds idleTimeout{60};  // give up when no byte arrives for this long
        std::chrono::seconds totalTimeout{0};  // 0 = no limit on the whole transfer
        long maxRedirects = 16;
    };

    // Called after every chunk written to the file, on the transferring thread.
    // expectedTotal is -1 when the server did not announce a length.
    using ProgressFn = std::function<void(int64_t bytesWritten, int64_t expectedTotal)>;

    HttpClient();
    explicit HttpClient(Options options);
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Blocking. Creates or truncates `destination` and writes the body of the
    // final response into it, whatever its status. Throws HttpError for
    // transport failures and cancellation, std::filesystem::filesystem_error
    // when the file cannot be written, and passes on whatever `progress` throws.
    // The file is left in place in every case; removing it is the caller's call.
    HttpResponse getToFile(const std::string& url, const std::filesystem::path& destination,
                           const ProgressFn& progress = {});

    // Safe from any thread. The running transfer, and every later one, ends
    // with a cancelled HttpError: a cancelled client stays cancelled.
    void cancel() noexcept { cancelled_.store(true); }
    bool isCancelled() const noexcept { return cancelled_.load(); }

private:
    Options options_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace platform
