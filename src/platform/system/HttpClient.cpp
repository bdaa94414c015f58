#include "platform/system/HttpClient.hpp"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>

namespace platform {
namespace {

void globalInit() {
    // curl_global_init is not thread-safe in the libcurl Debian 12 ships.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

UrlErrorCode urlErrorCode(int curlCode) {
    switch (curlCode) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return UrlErrorCode::cannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return UrlErrorCode::cannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return UrlErrorCode::timedOut;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return UrlErrorCode::networkConnectionLost;
        case CURLE_URL_MALFORMAT:
            return UrlErrorCode::badURL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return UrlErrorCode::unsupportedURL;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_TOO_MANY_REDIRECTS:
            return UrlErrorCode::badServerResponse;
        case CURLE_ABORTED_BY_CALLBACK:
            return UrlErrorCode::cancelled;
        default:
            return UrlErrorCode::unknown;
    }
}

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool safeHeaderText(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct Transfer {
    CURL* curl = nullptr;
    const HttpClient::BodyFn* onBody = nullptr;
    const HttpClient::ResponseFn* onResponse = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    HttpResponse head;
    bool headDelivered = false;
    int socketError = 0;  // errno of the last socket that could not be opened
    std::exception_ptr callbackError;

    void deliverHead() {
        if (headDelivered) return;
        headDelivered = true;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &head.status);
        const char* effective = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
            head.effectiveURL = effective;
        }
        if (*onResponse) (*onResponse)(head);
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    std::string_view line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // Every response of a redirect chain (and every 1xx) starts with its
    // status line; only the last response's fields are kept.
    if (line.starts_with("HTTP/")) {
        t->head.headers = HttpHeaders();
        return bytes;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return bytes;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    t->head.headers.set(std::string(line.substr(0, colon)), std::string(value));
    return bytes;
}

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (t->cancelled->load()) return 0;
    try {
        t->deliverHead();
        t->head.bytesWritten += static_cast<int64_t>(bytes);
        if (*t->onBody && bytes > 0) (*t->onBody)(std::string_view(data, bytes));
    } catch (...) {
        // Never let an exception unwind through libcurl; stop and rethrow later.
        t->callbackError = std::current_exception();
        return 0;
    }
    return bytes;
}

int onTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Polled even while no data flows, so a cancel during a stalled
    // connection still takes effect promptly.
    return static_cast<Transfer*>(user)->cancelled->load() ? 1 : 0;
}

// libcurl's own socket(), with the errno it drops: a process out of
// descriptors would otherwise be told that the host refused it.
curl_socket_t openSocket(void* user, curlsocktype, curl_sockaddr* address) {
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd == CURL_SOCKET_BAD) static_cast<Transfer*>(user)->socketError = errno;
    return fd;
}

long wholeSeconds(std::chrono::milliseconds ms) {
    return static_cast<long>(std::max<int64_t>(1, (ms.count() + 999) / 1000));
}

}  // namespace

HttpError::HttpError(int curlCode, bool cancelled, const std::string& description, int systemError)
    : std::runtime_error(description),
      curlCode_(curlCode),
      code_(cancelled     ? UrlErrorCode::cancelled
            : systemError ? UrlErrorCode::unknown
                          : urlErrorCode(curlCode)),
      systemError_(cancelled ? 0 : systemError) {}

HttpError::HttpError(UrlErrorCode code, const std::string& description)
    : std::runtime_error(description), curlCode_(CURLE_OK), code_(code) {}

void HttpHeaders::set(std::string name, std::string value) {
    for (auto& [n, v] : fields_) {
        if (sameLetters(n, name)) {
            v = std::move(value);
            return;
        }
    }
    fields_.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
    for (const auto& [n, v] : fields_) {
        if (sameLetters(n, name)) return v;
    }
    return std::nullopt;
}

void HttpRequest::setHeader(const std::string& name, const std::string& value) {
    for (auto& [n, v] : headers) {
        if (sameLetters(n, name)) {
            v = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (sameLetters(n, name)) return v;
    }
    return std::nullopt;
}

namespace {

// Digits only, no sign or spaces, and no overflow.
std::optional<int64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

std::optional<int64_t> contentLength(const HttpHeaders& headers) {
    const auto length = headers.value("Content-Length");
    return length ? decimal(*length) : std::nullopt;
}

std::string rangeFrom(int64_t offset) { return "bytes=" + std::to_string(offset) + "-"; }

std::optional<ContentRange> parseContentRange(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (value.size() < unit.size() || !sameLetters(value.substr(0, unit.size()), unit))
        return std::nullopt;
    value.remove_prefix(unit.size());
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
        return std::nullopt;
    const auto first = decimal(value.substr(0, dash));
    const auto last = decimal(value.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *first > *last) return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    const std::string_view total = value.substr(slash + 1);
    if (total != "*") {
        range.total = decimal(total);
        if (!range.total || *last >= *range.total) return std::nullopt;
    }
    return range;
}

std::optional<int64_t> parseUnsatisfiedRange(std::string_view value) {
    constexpr std::string_view unit = "bytes */";
    if (value.size() < unit.size() || !sameLetters(value.substr(0, unit.size()), unit))
        return std::nullopt;
    return decimal(value.substr(unit.size()));
}

std::optional<std::chrono::sys_seconds> parseHttpDate(std::string_view value) {
    // libcurl's reader takes all three forms whatever the process's locale,
    // where strptime would want the month names of the user's language.
    const std::string text(value);
    if (text.empty()) return std::nullopt;
    const time_t seconds = curl_getdate(text.c_str(), nullptr);
    if (seconds == static_cast<time_t>(-1)) return std::nullopt;
    return std::chrono::sys_seconds(std::chrono::seconds(seconds));
}

HttpClient::HttpClient() : HttpClient(Options{}) {}

HttpClient::HttpClient(Options options) : options_(options) { globalInit(); }

HttpResponse HttpClient::send(const HttpRequest& request, const BodyFn& onBody,
                              const ResponseFn& onResponse) {
    if (cancelled_.load())
        throw HttpError(CURLE_ABORTED_BY_CALLBACK, true, "The transfer was cancelled.");
    if (request.method != "GET" && request.method != "HEAD") {
        throw std::invalid_argument("unsupported HTTP method: " + request.method);
    }

    std::unique_ptr<curl_slist, ListDeleter> headerList;
    for (const auto& [name, value] : request.headers) {
        if (name.empty() || !safeHeaderText(name) || !safeHeaderText(value) ||
            name.find(':') != std::string::npos) {
            throw std::invalid_argument("refusing to send a malformed header field: " + name);
        }
        // "Name;" is libcurl's way to send a header with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* extended = curl_slist_append(headerList.get(), line.c_str());
        if (!extended) throw std::bad_alloc();
        headerList.release();
        headerList.reset(extended);
    }

    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) throw HttpError(CURLE_FAILED_INIT, false, curl_easy_strerror(CURLE_FAILED_INIT));

    Transfer t;
    t.curl = curl.get();
    t.onBody = &onBody;
    t.onResponse = &onResponse;
    t.cancelled = &cancelled_;

    const long connectMs = request.timeout
                               ? static_cast<long>(request.timeout->count())
                               : static_cast<long>(options_.connectTimeout.count() * 1000);
    const long idleSeconds = request.timeout ? wholeSeconds(*request.timeout)
                                             : static_cast<long>(options_.idleTimeout.count());

    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, options_.maxRedirects);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, connectMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(options_.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    if (request.method == "HEAD") curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    if (headerList) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, options_.receiveBufferBytes);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, openSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &t);

    const CURLcode rc = curl_easy_perform(c);

    if (t.callbackError) std::rethrow_exception(t.callbackError);
    if (rc != CURLE_OK) {
        if (cancelled_.load()) throw HttpError(rc, true, "The transfer was cancelled.");
        if (t.socketError && rc == CURLE_COULDNT_CONNECT)
            throw HttpError(rc, false,
                            "Cannot open a network connection: " +
                                std::generic_category().message(t.socketError),
                            t.socketError);
        std::string description = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
        throw HttpError(rc, false, description);
    }
    t.deliverHead();
    return t.head;
}

HttpClient::BufferedResponse HttpClient::fetch(const HttpRequest& request) {
    BufferedResponse result;
    result.response = send(request, [&](std::string_view chunk) { result.body.append(chunk); });
    return result;
}

HttpResponse HttpClient::getToFile(const std::string& url, const std::filesystem::path& destination,
                                   const ProgressFn& progress) {
    if (cancelled_.load())
        throw HttpError(CURLE_ABORTED_BY_CALLBACK, true, "The transfer was cancelled.");

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(destination.c_str(), "wb"));
    if (!file) {
        throw std::filesystem::filesystem_error("cannot create download file", destination,
                                                std::error_code(errno, std::generic_category()));
    }

    int64_t expected = -1;
    int64_t written = 0;
    HttpRequest request;
    request.url = url;
    const ResponseFn onResponse = [&](const HttpResponse& head) {
        if (auto length = contentLength(head.headers)) expected = *length;
    };
    const BodyFn onBody = [&](std::string_view chunk) {
        if (std::fwrite(chunk.data(), 1, chunk.size(), file.get()) != chunk.size()) {
            throw std::filesystem::filesystem_error(
                "cannot write download file", destination,
                std::error_code(errno, std::generic_category()));
        }
        written += static_cast<int64_t>(chunk.size());
        if (progress) progress(written, expected);
    };
    HttpResponse response = send(request, onBody, onResponse);
    // A full disk often shows only when the buffered tail is flushed.
    if (std::fflush(file.get()) != 0) {
        throw std::filesystem::filesystem_error("cannot write download file", destination,
                                                std::error_code(errno, std::generic_category()));
    }
    return response;
}

}  // namespace platform
