#include "platform/system/PendingSignals.hpp"

#include <signal.h>

#include <atomic>

namespace platform::PendingSignals {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> counts[3];

int indexOf(int signal) {
    for (int i = 0; i < 3; ++i)
        if (kSignals[i] == signal) return i;
    return -1;
}

void count(int signal) {
    if (const int i = indexOf(signal); i >= 0) counts[i].fetch_add(1);
}

}  // namespace

void catchFromNow() {
    struct sigaction action {};
    action.sa_handler = count;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t unblock;
    sigemptyset(&unblock);
    for (const int signal : kSignals) {
        struct sigaction previous {};
        ::sigaction(signal, nullptr, &previous);
        if (signal == SIGHUP && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
        sigaddset(&unblock, signal);
    }
    // Only now: one that waited blocked is counted as soon as it is let through.
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

int take(int signal) {
    const int i = indexOf(signal);
    return i < 0 ? 0 : counts[i].exchange(0);
}

}  // namespace platform::PendingSignals
