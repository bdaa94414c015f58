#pragma once
// A connection to the PulseAudio server on its own threaded main loop. All
// libpulse calls on the context happen with the loop locked (Lock below);
// callbacks run on the loop's thread with the lock already held.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What the server says about one source (an input device, a monitor of an
// output, or a virtual source).
struct PulseSource {
    uint32_t index = PA_INVALID_INDEX;
    std::string name;         // the server's identifier
    std::string description;  // the human-readable name
    uint32_t rate = 0;
    uint32_t channels = 0;
    bool isMonitor = false;
};

class PulseConnection {
  public:
    // How long the server may take to accept a connection or to answer a
    // request. A server that is up answers in milliseconds; one that hangs
    // (stopped, deadlocked) would otherwise hold the caller for libpulse's
    // own 30 s, and the caller may be the thread that runs the window.
    static constexpr std::chrono::milliseconds kAnswerTimeout{3000};

    // Connects to `server` (libpulse's server string, e.g. "unix:/run/x/native"),
    // or to the user's default server. Never starts a server. Throws
    // AppError("PulseAudio", libpulse error code, text) when it cannot connect,
    // PA_ERR_TIMEOUT when the server does not answer within kAnswerTimeout.
    explicit PulseConnection(const std::optional<std::string>& server);
    ~PulseConnection();

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    class Lock {
      public:
        explicit Lock(PulseConnection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

    pa_context* context() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }

    // With the lock held: waits until the operation is done or cancelled, then
    // releases it. Returns false for a null operation (the request failed),
    // and cancels it and returns false when no answer came within
    // kAnswerTimeout.
    bool await(pa_operation* op);

    // Wakes a thread blocked in await() or waitUntil(); for callbacks.
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    // With the lock held: sleeps until signal() or `deadline`, whichever
    // comes first. Returns false once the deadline has passed.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);
    static std::chrono::steady_clock::time_point answerDeadline() {
        return std::chrono::steady_clock::now() + kAnswerTimeout;
    }

    // Queries, each with the lock held. A failed query gives nothing.
    std::vector<PulseSource> sources();
    std::optional<PulseSource> source(uint32_t index);
    std::optional<PulseSource> source(const std::string& name);
    std::optional<std::string> defaultSourceName();

    // The context's last error.
    int lastError() const;

  private:
    void close();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

}  // namespace platform
