#include "verbolin/headless/SignalWatcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system/PendingSignals.hpp"

namespace verbolin {
namespace {

int signalPipe[2] = {-1, -1};
constexpr char kSignalled = 1;
constexpr char kStopWatching = 2;

void onSignal(int) {
    const int saved = errno;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &kSignalled, 1);
    errno = saved;
}

}  // namespace

SignalWatcher::SignalWatcher(platform::RunLoop& loop) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
    ::sigaction(SIGHUP, nullptr, &previousHup_);
    hupHandled_ = previousHup_.sa_handler != SIG_IGN;
    if (hupHandled_) ::sigaction(SIGHUP, &action, nullptr);
    // Those that came while main was still starting count as having come now.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        for (int n = platform::PendingSignals::take(signal); n > 0; --n) onSignal(signal);
    thread_ = std::thread([this, &loop] {
        for (;;) {
            char byte = 0;
            const auto n = ::read(signalPipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n != 1 || byte != kSignalled) return;
            ++count_;
            // Posted rather than quit() directly: a loop that has not started
            // yet would forget a quit, but runs every task posted before it
            // starts.
            loop.post([&loop] { loop.quit(); });
        }
    });
}

SignalWatcher::~SignalWatcher() {
    if (!thread_.joinable()) return;
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    if (hupHandled_) ::sigaction(SIGHUP, &previousHup_, nullptr);
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &kStopWatching, 1);
    thread_.join();
    // Bytes the watcher did not read must not end the next watcher at once.
    const int flags = ::fcntl(signalPipe[0], F_GETFL);
    ::fcntl(signalPipe[0], F_SETFL, flags | O_NONBLOCK);
    char byte;
    while (::read(signalPipe[0], &byte, 1) > 0) {
    }
    ::fcntl(signalPipe[0], F_SETFL, flags);
}

}  // namespace verbolin
