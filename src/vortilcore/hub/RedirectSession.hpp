#pragma once
// The session through which the hub client sends its metadata HEAD requests.
// It never follows a redirect by itself: RedirectDelegate decides, and only
// a relative redirect is followed, so a redirect to another host (a file
// store) comes back to the requester with its own header fields.
//
// RedirectSessionActor hands out the one session of the process, made on
// first use under its lock and kept for the rest of the process.

#include <memory>
#include <mutex>
#include <optional>

#include "platform/system/HttpClient.hpp"

namespace vortil {

struct RedirectDelegate {
    // The follow-up of a redirect, or nothing to refuse it. Followed only
    // for a 3xx response whose "Location" parses as a URL without a host:
    // the first request's URL with its path and query replaced by the
    // Location's, the first request's method and header fields, plus
    // "Location" set to the resolved URL, and a 60-second timeout.
    static std::optional<platform::HttpRequest> followUp(
        const platform::HttpRequest& originalRequest, const platform::HttpResponse& response);
};

class RedirectSession {
  public:
    static constexpr int maxRedirects = 10;

    // Blocking. Sends the request and each follow-up the delegate asks for
    // (at most maxRedirects; then an httpTooManyRedirects HttpError); the
    // response the delegate declines to follow is the result. Transport
    // errors are HttpError.
    platform::HttpResponse send(const platform::HttpRequest& request);

  private:
    platform::HttpClient client_;
};

class RedirectSessionActor {
  public:
    // The process's session, created on the first call.
    std::shared_ptr<RedirectSession> get();

  private:
    std::mutex mutex_;
    std::shared_ptr<RedirectSession> urlSession_;
};

}  // namespace vortil
