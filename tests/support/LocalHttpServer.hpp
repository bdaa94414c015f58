#pragma once
// A small HTTP server on 127.0.0.1 for tests: fixed replies per path, with
// optional redirects, extra header fields, chunked bodies (no Content-Length),
// stalls, connections dropped part-way and ranges ignored. Unknown paths
// answer 404. GET and HEAD are served (HEAD gets the GET reply's header
// fields without its body; httplib answers a "Range" itself with 206 unless
// the reply ignores ranges). Every request is recorded with its method, raw
// path (percent-encoding kept), query and header fields.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

class LocalHttpServer {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        bool chunked = false;    // no Content-Length, body sent in pieces
        std::string redirectTo;  // a path on this server, or an absolute URL; status should be 3xx
        size_t stallAfter =
            std::string::npos;  // stop sending after this many bytes until release()
        std::vector<std::pair<std::string, std::string>> headers;  // extra fields, sent as given
        // Drop the connection after this many body bytes, for the first
        // `dropTimes` requests of the path; later ones get the whole reply.
        size_t dropAfter = std::string::npos;
        int dropTimes = 0;
        bool ignoreRange = false;  // answer a ranged request with the whole body and 200
        // A slow link: the body goes in pieces of 32 KiB, each after a pause this long.
        std::chrono::milliseconds pause{0};
        // Once `nextAfterGets` GET requests of the path have been answered,
        // the path answers with this reply instead: a file that changes on
        // the server (with 0, from the first GET on, HEADs before it getting
        // this one). This server never honours If-Range, so a ranged request
        // then gets a 206 cut from the new body.
        std::shared_ptr<const Reply> next;
        int nextAfterGets = 0;

        static Reply ok(std::string body) { return withBody(200, std::move(body)); }
        static Reply answer(int code, std::string body = {}) {
            return withBody(code, std::move(body));
        }
        static Reply chunkedBody(std::string body) {
            Reply r = ok(std::move(body));
            r.chunked = true;
            return r;
        }
        static Reply redirect(int code, std::string path) {
            Reply r = answer(code);
            r.redirectTo = std::move(path);
            return r;
        }
        static Reply stalling(std::string body, size_t after) {
            Reply r = ok(std::move(body));
            r.stallAfter = after;
            return r;
        }
        static Reply throttled(std::string body, std::chrono::milliseconds pause) {
            Reply r = ok(std::move(body));
            r.pause = pause;
            return r;
        }
        Reply& header(std::string name, std::string value) {
            headers.emplace_back(std::move(name), std::move(value));
            return *this;
        }
        Reply& thenServe(Reply after, int afterGets = 1) {
            next = std::make_shared<const Reply>(std::move(after));
            nextAfterGets = afterGets;
            return *this;
        }

      private:
        static Reply withBody(int code, std::string body) {
            Reply r;
            r.status = code;
            r.body = std::move(body);
            return r;
        }
    };

    struct Recorded {
        std::string method;
        std::string rawPath;  // as sent, before percent-decoding
        std::string query;    // after "?", raw; empty when none
        std::vector<std::pair<std::string, std::string>> headers;

        std::optional<std::string> header(const std::string& name) const {
            for (const auto& [n, v] : headers) {
                if (std::equal(n.begin(), n.end(), name.begin(), name.end(),
                               [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                    return v;
                }
            }
            return std::nullopt;
        }
    };

    // A reply computed per request, for answers a fixed Reply cannot give.
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // host: the loopback address to listen on; url() names it as `hostName`
    // (a second server named "localhost" acts as another host).
    explicit LocalHttpServer(std::string host = "127.0.0.1", std::string hostName = "")
        : host_(std::move(host)) {
        hostName_ = hostName.empty() ? host_ : std::move(hostName);
        server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            handle(req, res);
        });
        port_ = server_.bind_to_any_port(host_.c_str());
        if (port_ <= 0) throw std::runtime_error("cannot bind test server");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::yield();
    }

    ~LocalHttpServer() { stop(); }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    void stop() {
        release();
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

    // Lets stalled replies finish.
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

    // `path` is matched against the raw path first, then the decoded one.
    void set(const std::string& path, Reply reply) {
        std::lock_guard lock(mutex_);
        replies_[path] = std::make_shared<const Reply>(std::move(reply));
        handlers_.erase(path);
        // A new reply counts its drops and GETs from its own first request.
        served_.erase(path);
        getsServed_.erase(path);
    }
    void setHandler(const std::string& path, Handler handler) {
        std::lock_guard lock(mutex_);
        handlers_[path] = std::move(handler);
        replies_.erase(path);
    }

    int port() const { return port_; }
    std::string root() const { return "http://" + hostName_ + ":" + std::to_string(port_) + "/"; }
    std::string url(const std::string& path) const {
        return root() + (path.front() == '/' ? path.substr(1) : path);
    }

    // Decoded paths of every request, in arrival order.
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    std::vector<Recorded> recorded() const {
        std::lock_guard lock(mutex_);
        return recorded_;
    }

  private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        // The reply is shared, not copied: a body of tens of megabytes
        // copied under the lock (twice more for a range) kept every other
        // request waiting for seconds on a loaded machine, past the client's
        // own timeout.
        std::shared_ptr<const Reply> reply;
        Handler handler;
        int dropCount = 0;
        {
            std::lock_guard lock(mutex_);
            Recorded r;
            r.method = req.method;
            const size_t q = req.target.find('?');
            r.rawPath = req.target.substr(0, q);
            if (q != std::string::npos) r.query = req.target.substr(q + 1);
            for (const auto& [n, v] : req.headers) {
                // httplib adds these itself; they were not sent.
                if (n == "REMOTE_ADDR" || n == "REMOTE_PORT" || n == "LOCAL_ADDR" ||
                    n == "LOCAL_PORT")
                    continue;
                r.headers.emplace_back(n, v);
            }
            recorded_.push_back(r);
            paths_.push_back(req.path);
            const std::string key =
                handlers_.count(r.rawPath) || replies_.count(r.rawPath) ? r.rawPath : req.path;
            if (auto h = handlers_.find(key); h != handlers_.end()) {
                handler = h->second;
            } else if (auto it = replies_.find(key); it != replies_.end()) {
                if (it->second->next && it->second->nextAfterGets == 0 && req.method == "GET")
                    it->second = it->second->next;
                reply = it->second;
                dropCount = ++served_[key];
                if (reply->next && req.method == "GET" &&
                    ++getsServed_[key] >= reply->nextAfterGets) {
                    it->second = reply->next;
                    served_[key] = 0;
                    getsServed_[key] = 0;
                }
            } else {
                res.status = 404;
                res.set_content("not found", "text/plain");
                return;
            }
        }
        if (handler) {
            handler(req, res);
            return;
        }
        answer(req, res, std::move(reply), dropCount);
    }

    void answer(const httplib::Request& req, httplib::Response& res,
                std::shared_ptr<const Reply> reply, int dropCount) {
        res.status = reply->status;
        if (!reply->redirectTo.empty()) {
            res.set_header("Location", reply->redirectTo.starts_with("http")
                                           ? reply->redirectTo
                                           : url(reply->redirectTo));
        }
        for (const auto& [n, v] : reply->headers) res.set_header(n.c_str(), v);
        // Ranges are answered here ("bytes=N-" and "bytes=N-M"); httplib must
        // not cut the body a second time.
        const_cast<httplib::Request&>(req).ranges.clear();
        size_t first = 0, length = reply->body.size();
        if (!reply->ignoreRange && reply->status == 200 && req.has_header("Range")) {
            if (!applyRange(req.get_header_value("Range"), length, first, res)) return;
        }
        const bool dropping =
            reply->dropAfter != std::string::npos && dropCount <= reply->dropTimes;
        if (!reply->chunked && reply->stallAfter == std::string::npos && !dropping &&
            reply->pause.count() == 0 && length < kCopiedBelow) {
            res.set_content(reply->body.data() + first, length, "application/octet-stream");
            return;
        }
        const size_t stallAfter = reply->stallAfter;
        const size_t dropAfter = dropping ? reply->dropAfter : std::string::npos;
        const bool chunked = reply->chunked;
        const auto pause = reply->pause;
        const size_t piece = pause.count() > 0 ? 32768 : 65536;
        const char* const body = reply->body.data() + first;
        auto provide = [this, reply, body, length, stallAfter, dropAfter, chunked, pause, piece](
                           size_t offset, httplib::DataSink& sink) {
            if (offset >= dropAfter) return false;  // httplib closes the connection
            if (offset >= stallAfter) {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return released_; });
            }
            if (pause.count() > 0) std::this_thread::sleep_for(pause);
            const size_t end =
                std::min({length, offset + piece, offset < stallAfter ? stallAfter : length,
                          offset < dropAfter ? dropAfter : length});
            if (offset < end) sink.write(body + offset, end - offset);
            if (chunked && end >= length) sink.done();
            return true;
        };
        if (chunked) {
            res.set_chunked_content_provider("application/octet-stream", provide);
        } else {
            res.set_content_provider(length, "application/octet-stream",
                                     [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                         return provide(offset, sink);
                                     });
        }
    }

    // Bodies at least this long go out from the shared reply in pieces
    // rather than as a copy.
    static constexpr size_t kCopiedBelow = 1 << 20;

    // Narrows [first, first + length) to the requested range and sets 206;
    // answers 416 and returns false for a range that starts past the end.
    static bool applyRange(const std::string& range, size_t& length, size_t& first,
                           httplib::Response& res) {
        const std::string prefix = "bytes=";
        if (range.rfind(prefix, 0) != 0) return true;
        const size_t dash = range.find('-', prefix.size());
        if (dash == std::string::npos || dash == prefix.size()) return true;
        const size_t size = length;
        const size_t from = std::stoull(range.substr(prefix.size(), dash - prefix.size()));
        size_t last = size == 0 ? 0 : size - 1;
        if (dash + 1 < range.size())
            last = std::min(last, size_t(std::stoull(range.substr(dash + 1))));
        if (from >= size || from > last) {
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            res.set_content("", "text/plain");
            return false;
        }
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                            std::to_string(last) + "/" + std::to_string(size));
        first = from;
        length = last - from + 1;
        return true;
    }

    std::string host_;
    std::string hostName_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::map<std::string, std::shared_ptr<const Reply>> replies_;
    std::map<std::string, Handler> handlers_;
    std::map<std::string, int> served_;
    std::map<std::string, int> getsServed_;
    std::vector<std::string> paths_;
    std::vector<Recorded> recorded_;
};

}  // namespace testsupport
