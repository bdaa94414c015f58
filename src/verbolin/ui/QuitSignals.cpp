#include "verbolin/ui/QuitSignals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "platform/system/PendingSignals.hpp"

namespace verbolin {
namespace {

int pipeFds[2] = {-1, -1};
struct sigaction previousTerm {
}, previousInt{}, previousHup{};
bool hupHandled = false;

void onSignal(int signal) {
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const auto n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
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
}

QuitSignals::~QuitSignals() {
    if (!notifier_) return;
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
        for (ssize_t i = 0; i < n; ++i)
            if (onSignal_) onSignal_(int(bytes[i]));
}

}  // namespace verbolin
