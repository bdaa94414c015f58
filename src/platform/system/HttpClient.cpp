#include "platform/system/HttpClient.hpp"

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
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

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct Transfer {
    CURL* curl = nullptr;
    std::FILE* file = nullptr;
    const HttpClient::ProgressFn* progress = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    int64_t written = 0;
    bool writeFailed = false;
    int writeErrno = 0;
    std::exception_ptr callbackError;
};

size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (t->cancelled->load()) return 0;
    if (bytes > 0 && std::fwrite(data, 1, bytes, t->file) != bytes) {
        t->writeFailed = true;
        t->writeErrno = errno;
        return 0;
    }
    t->written += static_cast<int64_t>(bytes);
    if (*t->progress) {
        curl_off_t total = -1;
        if (curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total) != CURLE_OK) total = -1;
        try {
            (*t->progress)(t->written, total < 0 ? -1 : static_cast<int64_t>(total));
        } catch (...) {
            // Never let an exception unwind through libcurl; stop and rethrow later.
            t->callbackError = std::current_exception();
            return 0;
        }
    }
    return bytes;
}

int onTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Polled even while no data flows, so a cancel during a stalled
    // connection still takes effect promptly.
    return static_cast<Transfer*>(user)->cancelled->load() ? 1 : 0;
}

}  // namespace

HttpClient::HttpClient() : HttpClient(Options{}) {}

HttpClient::HttpClient(Options options) : options_(options) { globalInit(); }

HttpResponse HttpClient::getToFile(const std::string& url, const std::filesystem::path& destination,
                                   const ProgressFn& progress) {
    if (cancelled_.load()) throw HttpError(CURLE_ABORTED_BY_CALLBACK, true, "The transfer was cancelled.");

    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) throw HttpError(CURLE_FAILED_INIT, false, curl_easy_strerror(CURLE_FAILED_INIT));

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(destination.c_str(), "wb"));
    if (!file) {
        throw std::filesystem::filesystem_error("cannot create download file", destination,
                                                std::error_code(errno, std::generic_category()));
    }

    Transfer t;
    t.curl = curl.get();
    t.file = file.get();
    t.progress = &progress;
    t.cancelled = &cancelled_;

    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, options_.maxRedirects);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(options_.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.idleTimeout.count()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    const CURLcode rc = curl_easy_perform(c);

    if (t.callbackError) std::rethrow_exception(t.callbackError);
    if (t.writeFailed) {
        throw std::filesystem::filesystem_error("cannot write download file", destination,
                                                std::error_code(t.writeErrno, std::generic_category()));
    }
    if (rc != CURLE_OK) {
        if (cancelled_.load()) throw HttpError(rc, true, "The transfer was cancelled.");
        std::string description = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
        throw HttpError(rc, false, description);
    }
    // A full disk often shows only when the buffered tail is flushed.
    if (std::fflush(file.get()) != 0) {
        throw std::filesystem::filesystem_error("cannot write download file", destination,
                                                std::error_code(errno, std::generic_category()));
    }

    HttpResponse response;
    response.bytesWritten = t.written;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    const char* effective = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
        response.effectiveURL = effective;
    }
    return response;
}

}  // namespace platform
