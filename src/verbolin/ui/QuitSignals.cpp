#include "verbolin/ui/QuitSignals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/system/PendingSignals.hpp"

namespace verbolin {
namespace {

int pipeFds[2] = {-1, -1};
struct sigaction previousTerm {
}, previousInt{}, previousHup{};
bool hupHandled = false;
// Bytes the main thread has read from the pipe: the watcher's sign of life.
std::atomic<unsigned long> bytesRead{0};
// Whether the main thread is inside the event loop, or showing the window
// just before it: the watcher acts only then.
std::atomic<bool> loopRunning{false};

// Lock-free, so it may be set inside the handler.
std::atomic<bool> signalArrived{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int signal) {
    signalArrived.store(true);
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const auto n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal, std::chrono::milliseconds unanswered)
    : onSignal_(std::move(onSignal)) {
    if (pipeFds[0] >= 0) return;  // another one is installed
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = verbolin::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previousTerm);
    ::sigaction(SIGINT, &action, &previousInt);
    // A terminal that closes, or a logout, sends SIGHUP; one ignored from
    // the start (nohup) is left so.
    ::sigaction(SIGHUP, nullptr, &previousHup);
    hupHandled = previousHup.sa_handler != SIG_IGN;
    if (hupHandled) ::sigaction(SIGHUP, &action, nullptr);
    // Those that came while the application was starting count as having
    // come now; the notifier reads them on the loop's first turn.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        for (int n = platform::PendingSignals::take(signal); n > 0; --n) verbolin::onSignal(signal);
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &QuitSignals::readSignals);
    watcher_ = std::jthread([unanswered](const std::stop_token& stop) { watch(stop, unanswered); });
}

QuitSignals::~QuitSignals() {
    if (!notifier_) return;
    // Before the pipe closes: the watcher reads it.
    watcher_.request_stop();
    watcher_.join();
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
    if (hupHandled) ::sigaction(SIGHUP, &previousHup, nullptr);
    notifier_.reset();
    for (int& fd : pipeFds) {
        ::close(fd);
        fd = -1;
    }
}

void QuitSignals::readSignals() {
    char bytes[16];
    ssize_t n;
    while ((n = ::read(pipeFds[0], bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i) {
            bytesRead.fetch_add(1);
            if (onSignal_) onSignal_(int(bytes[i]));
        }
}

void QuitSignals::watchFromHere() { loopRunning.store(true); }

int QuitSignals::runLoop(const std::function<int()>& exec) {
    struct Running {
        Running() { loopRunning.store(true); }
        ~Running() { loopRunning.store(false); }
    } running;
    return exec();
}

const std::atomic<bool>& QuitSignals::arrived() { return signalArrived; }

std::optional<int> QuitSignals::takeWaiting(int fd) {
    char byte = 0;
    if (::read(fd, &byte, 1) != 1) return std::nullopt;
    return int(byte);
}

void QuitSignals::watch(const std::stop_token& stop, std::chrono::milliseconds unanswered) {
    using Clock = std::chrono::steady_clock;
    std::mutex m;
    std::condition_variable_any wake;
    std::unique_lock lock(m);
    // Since when a byte has waited with none read: a loop that keeps
    // reading is alive however many signals come.
    std::optional<std::pair<Clock::time_point, unsigned long>> waiting;
    for (;;) {
        wake.wait_for(lock, stop, std::chrono::milliseconds(100), [] { return false; });
        if (stop.stop_requested()) return;
        int unread = 0;
        if (!loopRunning.load() || ::ioctl(pipeFds[0], FIONREAD, &unread) != 0 || unread == 0) {
            waiting.reset();
            continue;
        }
        const unsigned long read = bytesRead.load();
        if (!waiting || waiting->second != read) waiting.emplace(Clock::now(), read);
        if (Clock::now() - waiting->first < unanswered) continue;
        const std::optional<int> taken = takeWaiting(pipeFds[0]);
        // Taken by the loop since the look above: it answers.
        if (!taken) {
            waiting.reset();
            continue;
        }
        const int signal = *taken;
        std::fprintf(stderr,
                     "Verbolin: the window has not answered %s for %lld seconds; ending without "
                     "it (what is stored is kept)\n",
                     signal == SIGINT   ? "SIGINT"
                     : signal == SIGHUP ? "SIGHUP"
                                        : "SIGTERM",
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(unanswered).count()));
        std::fflush(stderr);
        // As the signal would have ended it without a handler.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        std::_Exit(128 + signal);
    }
}

}  // namespace verbolin
