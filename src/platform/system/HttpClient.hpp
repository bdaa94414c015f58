#pragma once
// HTTP(S) requests on libcurl: GET and HEAD, with headers, per-request
// timeouts, redirects followed or not, and the body either buffered, streamed
// to a callback or written straight into a file. The final status is
// reported rather than judged (callers decide what a 404 means), and a
// transfer that ends without a complete response throws HttpError with
// libcurl's own wording of what went wrong and a URL error code callers can
// branch on.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// The URL loading system's error codes, for the transport failures that
// libcurl reports.
enum class UrlErrorCode : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    httpTooManyRedirects = -1007,
    resourceUnavailable = -1008,
    notConnectedToInternet = -1009,
    badServerResponse = -1011,
};

// A transport failure: the URL error of this platform.
class HttpError : public std::runtime_error {
  public:
    // `systemError`: the errno of a socket this process could not open (out
    // of descriptors, say), which libcurl reports as a refused connection;
    // the code is then unknown, as no host was asked.
    HttpError(int curlCode, bool cancelled, const std::string& description, int systemError = 0);
    // An error with a given code and no libcurl origin (callers that must
    // report a URL error of their own, and tests).
    HttpError(UrlErrorCode code, const std::string& description);

    int curlCode() const noexcept { return curlCode_; }
    bool cancelled() const noexcept { return code_ == UrlErrorCode::cancelled; }
    UrlErrorCode code() const noexcept { return code_; }
    // The errno of the socket that could not be opened; 0 for a failure of
    // the network or the server.
    int systemError() const noexcept { return systemError_; }

  private:
    int curlCode_;
    UrlErrorCode code_;
    int systemError_ = 0;
};

// Header fields, looked up without regard to letter case. A field that
// arrives twice keeps its last value.
class HttpHeaders {
  public:
    void set(std::string name, std::string value);
    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return value(name).has_value(); }
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }

  private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

struct HttpRequest {
    HttpRequest() = default;
    explicit HttpRequest(std::string url, std::string method = "GET",
                         std::vector<std::pair<std::string, std::string>> headers = {})
        : url(std::move(url)), method(std::move(method)), headers(std::move(headers)) {}

    std::string url;
    std::string method = "GET";  // "GET" or "HEAD"
    // Sent exactly as given, in order. A name or value holding CR, LF or NUL
    // is refused with std::invalid_argument before anything is sent.
    std::vector<std::pair<std::string, std::string>> headers;
    // Gives up when connecting, or waiting for the next byte, takes longer.
    // Unset: the client's own connect and idle timeouts.
    std::optional<std::chrono::milliseconds> timeout;
    bool followRedirects = true;

    // Replaces a header of the same name (any letter case) or adds it.
    void setHeader(const std::string& name, const std::string& value);
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
    long status = 0;           // of the last response, after redirects; 0 when it was not HTTP
    int64_t bytesWritten = 0;  // body bytes received
    std::string effectiveURL;  // the URL that gave the last response
    HttpHeaders headers;       // of the last response
};

// The announced Content-Length, when it is a plain non-negative number.
std::optional<int64_t> contentLength(const HttpHeaders& headers);

// Resuming a transfer: the "Range" value that asks for everything from
// `offset` on, and the "Content-Range" of a 206 answer, read strictly
// ("bytes <first>-<last>/<total>" or ".../*"; anything else, including
// first > last or last >= total, is nullopt), so that a caller appends only
// bytes whose place in the file it knows.
std::string rangeFrom(int64_t offset);
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    std::optional<int64_t> total;  // unset for "*"
};
std::optional<ContentRange> parseContentRange(std::string_view value);
// The length a 416 answer gives in its "Content-Range" ("bytes */<length>"),
// read as strictly; nullopt for anything else.
std::optional<int64_t> parseUnsatisfiedRange(std::string_view value);

// The time an HTTP-date names ("Sun, 06 Nov 1994 08:49:37 GMT", and the two
// older forms servers may still send), or nullopt for text that is no date.
std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view value);

class HttpClient {
  public:
    struct Options {
        std::chrono::seconds connectTimeout{30};
        std::chrono::seconds idleTimeout{60};  // give up when no byte arrives for this long
        std::chrono::seconds totalTimeout{0};  // 0 = no limit on the whole transfer
        long maxRedirects = 16;
        // How much libcurl reads from the socket per body callback. Its own
        // default (16 KiB) costs a large download a fifth of its speed on a
        // fast link in per-callback work; the curl tool reads more at once too.
        long receiveBufferBytes = 512 * 1024;
    };

    // Called after every chunk written to the file, on the transferring thread.
    // expectedTotal is -1 when the server did not announce a length.
    using ProgressFn = std::function<void(int64_t bytesWritten, int64_t expectedTotal)>;
    // Called once with the status and header fields of the final response
    // (bytesWritten 0): before its first body byte, or at the end when it has
    // no body.
    using ResponseFn = std::function<void(const HttpResponse& head)>;
    // Called with each piece of the body as it arrives.
    using BodyFn = std::function<void(std::string_view chunk)>;

    struct BufferedResponse {
        HttpResponse response;
        std::string body;
    };

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

    // Blocking. Streams the body to `onBody`. Throws HttpError for transport
    // failures and cancellation, and passes on what the callbacks throw (the
    // transfer stops there).
    HttpResponse send(const HttpRequest& request, const BodyFn& onBody = {},
                      const ResponseFn& onResponse = {});

    // Blocking; the whole body in memory. Errors as send().
    BufferedResponse fetch(const HttpRequest& request);

    // Safe from any thread. The running transfer, and every later one, ends
    // with a cancelled HttpError: a cancelled client stays cancelled.
    void cancel() noexcept { cancelled_.store(true); }
    bool isCancelled() const noexcept { return cancelled_.load(); }

  private:
    Options options_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace platform
