#pragma once
// A small HTTP server on 127.0.0.1 for tests: fixed replies per path, with
// optional redirects, chunked bodies (no Content-Length) and stalls. Unknown
// paths answer 404. It counts every request it sees.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class LocalHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool chunked = false;      // no Content-Length, body sent in pieces
        std::string redirectTo;    // a path on this server; status should be 3xx
        size_t stallAfter = std::string::npos;  // stop sending after this many bytes until release()

        static Reply ok(std::string body) { return withBody(200, std::move(body)); }
        static Reply answer(int code, std::string body = {}) { return withBody(code, std::move(body)); }
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

    private:
        static Reply withBody(int code, std::string body) {
            Reply r;
            r.status = code;
            r.body = std::move(body);
            return r;
        }
    };

    LocalHttpServer() {
        server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
        port_ = server_.bind_to_any_port("127.0.0.1");
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

    void set(const std::string& path, Reply reply) {
        std::lock_guard lock(mutex_);
        replies_[path] = std::move(reply);
    }

    int port() const { return port_; }
    std::string root() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    std::string url(const std::string& path) const { return root() + (path.front() == '/' ? path.substr(1) : path); }

    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        Reply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(req.path);
            auto it = replies_.find(req.path);
            if (it == replies_.end()) {
                res.status = 404;
                res.set_content("not found", "text/plain");
                return;
            }
            reply = it->second;
        }
        res.status = reply.status;
        if (!reply.redirectTo.empty()) res.set_header("Location", url(reply.redirectTo));
        if (!reply.chunked && reply.stallAfter == std::string::npos) {
            res.set_content(reply.body, "application/octet-stream");
            return;
        }
        auto body = std::make_shared<std::string>(std::move(reply.body));
        const size_t stallAfter = reply.stallAfter;
        const bool chunked = reply.chunked;
        auto provide = [this, body, stallAfter, chunked](size_t offset, httplib::DataSink& sink) {
            if (offset >= stallAfter) {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return released_; });
            }
            const size_t end = std::min({body->size(), offset + 65536, offset < stallAfter ? stallAfter : body->size()});
            if (offset < end) sink.write(body->data() + offset, end - offset);
            if (chunked && end >= body->size()) sink.done();
            return true;
        };
        if (reply.chunked) {
            res.set_chunked_content_provider("application/octet-stream", provide);
        } else {
            res.set_content_provider(body->size(), "application/octet-stream",
                                     [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                         return provide(offset, sink);
                                     });
        }
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> requests_;
};

}  // namespace testsupport
