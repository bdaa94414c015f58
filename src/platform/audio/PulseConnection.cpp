#include "platform/audio/PulseConnection.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/system/AppError.hpp"

namespace platform {
namespace {

void onContextState(pa_context*, void* self) { static_cast<PulseConnection*>(self)->signal(); }

void onOperationState(pa_operation*, void* self) { static_cast<PulseConnection*>(self)->signal(); }

void onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    static_cast<PulseConnection*>(self)->signal();
}

// The descriptors a connection holds besides its loop's: the socket, and the
// two event descriptors of the ring buffer it shares with the server, which
// the server hands over together in one message.
constexpr int kConnectionDescriptors = 3;

// libpulse reports a process out of descriptors as a refused connection (its
// socket() failed) or as a protocol error (the kernel dropped descriptors the
// server sent, which sets no errno at all). Opening as many as a connection
// holds, with the loop's still open, tells which: the errno of the first that
// cannot be opened, or 0 when there is room.
int descriptorShortage() {
    int opened[kConnectionDescriptors];
    int count = 0, err = 0;
    for (; count < kConnectionDescriptors; ++count) {
        opened[count] = eventfd(0, EFD_CLOEXEC);
        if (opened[count] < 0) {
            err = errno;
            break;
        }
    }
    while (count > 0) ::close(opened[--count]);
    return err;
}

// What stopped the connection: the system's reason when the process had no
// descriptors left, otherwise libpulse's. The first is worded apart: "Cannot
// connect to the audio server" is taken for a server that is not running,
// and starting one would not help here.
std::string connectFailure(std::string libpulseText) {
    if (const int shortage = descriptorShortage())
        return "Cannot open a connection to the audio server: " +
               std::generic_category().message(shortage);
    return libpulseText;
}

struct SourceQuery {
    PulseConnection* connection;
    std::vector<PulseSource> found;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* q = static_cast<SourceQuery*>(userdata);
    if (eol != 0 || !info) {
        q->connection->signal();
        return;
    }
    PulseSource s;
    s.index = info->index;
    s.name = info->name ? info->name : "";
    s.description = info->description ? info->description : "";
    s.rate = info->sample_spec.rate;
    s.channels = info->sample_spec.channels;
    s.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    q->found.push_back(std::move(s));
}

struct ServerQuery {
    PulseConnection* connection;
    std::optional<std::string> defaultSource;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* q = static_cast<ServerQuery*>(userdata);
    if (info && info->default_source_name && *info->default_source_name)
        q->defaultSource = info->default_source_name;
    q->connection->signal();
}

}  // namespace

PulseConnection::PulseConnection(const std::optional<std::string>& server) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        throw AppError("PulseAudio", PA_ERR_INTERNAL,
                       connectFailure("Cannot create the audio main loop"));
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Verbolin");
    if (!context_) {
        std::string text = connectFailure("Cannot create the audio context");
        pa_threaded_mainloop_free(loop_);
        throw AppError("PulseAudio", PA_ERR_INTERNAL, text);
    }
    pa_context_set_state_callback(context_, onContextState, this);
    int err = 0;
    if (pa_context_connect(context_, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        err = pa_context_errno(context_);
    } else if (pa_threaded_mainloop_start(loop_) < 0) {
        err = PA_ERR_INTERNAL;
    } else {
        Lock lock(*this);
        const auto deadline = answerDeadline();
        for (bool late = false;; late = !waitUntil(deadline)) {
            pa_context_state_t s = pa_context_get_state(context_);
            if (s == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(s)) {
                err = pa_context_errno(context_);
                if (err == 0) err = PA_ERR_CONNECTIONREFUSED;
                break;
            }
            if (late) {
                err = PA_ERR_TIMEOUT;
                break;
            }
        }
    }
    if (err != 0) {
        std::string text = std::string("Cannot connect to the audio server: ") + pa_strerror(err);
        // Asked before close(), while the loop's descriptors are still held
        // as they were when the connection failed. A server that did not
        // answer in time is said as such.
        if (err != PA_ERR_TIMEOUT) text = connectFailure(std::move(text));
        close();
        throw AppError("PulseAudio", err, text);
    }
}

PulseConnection::~PulseConnection() { close(); }

void PulseConnection::close() {
    if (!loop_) return;
    if (context_) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        context_ = nullptr;
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

bool PulseConnection::waitUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    // A timer on the loop (on the monotonic clock, so a change of the time
    // of day does not move it) wakes the wait at the deadline if nothing
    // else does.
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    pa_time_event* timer =
        pa_context_rttime_new(context_, pa_rtclock_now() + pa_usec_t(micros) + 1, onDeadline, this);
    pa_threaded_mainloop_wait(loop_);
    if (timer) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        api->time_free(timer);
    }
    return std::chrono::steady_clock::now() < deadline;
}

bool PulseConnection::await(pa_operation* op) {
    if (!op) return false;
    pa_operation_set_state_callback(op, onOperationState, this);
    const auto deadline = answerDeadline();
    for (bool late = false; pa_operation_get_state(op) == PA_OPERATION_RUNNING;
         late = !waitUntil(deadline)) {
        if (late) {
            // Its answer, should it still come, is not waited for.
            pa_operation_cancel(op);
            break;
        }
    }
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_set_state_callback(op, nullptr, nullptr);
    pa_operation_unref(op);
    return done;
}

std::vector<PulseSource> PulseConnection::sources() {
    SourceQuery q{this, {}};
    if (!await(pa_context_get_source_info_list(context_, onSourceInfo, &q))) return {};
    return std::move(q.found);
}

std::optional<PulseSource> PulseConnection::source(uint32_t index) {
    SourceQuery q{this, {}};
    if (!await(pa_context_get_source_info_by_index(context_, index, onSourceInfo, &q)) ||
        q.found.empty())
        return std::nullopt;
    return q.found.front();
}

std::optional<PulseSource> PulseConnection::source(const std::string& name) {
    SourceQuery q{this, {}};
    if (!await(pa_context_get_source_info_by_name(context_, name.c_str(), onSourceInfo, &q)) ||
        q.found.empty())
        return std::nullopt;
    return q.found.front();
}

std::optional<std::string> PulseConnection::defaultSourceName() {
    ServerQuery q{this, std::nullopt};
    if (!await(pa_context_get_server_info(context_, onServerInfo, &q))) return std::nullopt;
    return q.defaultSource;
}

int PulseConnection::lastError() const { return pa_context_errno(context_); }

}  // namespace platform
