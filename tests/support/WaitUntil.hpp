#pragma once
// Polls a condition that another thread or process makes true, for tests that
// have nothing to wait on; false when it is still false after `timeout`. It
// returns as soon as the condition holds, so the default is long: on a machine
// whose every core is busy, what takes milliseconds alone can take seconds.

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto limit = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
