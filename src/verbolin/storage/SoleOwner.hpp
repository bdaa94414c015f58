#pragma once
// Copy on write for values shared between copies that may be read, and
// destroyed, on other threads.

#include <atomic>
#include <memory>

namespace verbolin {

// ThreadSanitizer does not model fences, and would take a change in place
// after the test below for a race with another copy's last reads; there the
// answer is always no, so every change copies, which is as correct, only
// slower.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizingThreads = true;
#else
inline constexpr bool kSanitizingThreads = false;
#endif

// Whether `p` alone holds what it points to, so that a change in place
// shows through no other copy.
template <class T>
bool soleOwner(const std::shared_ptr<T>& p) {
    if (kSanitizingThreads || p.use_count() != 1) return false;
    // The last other copy may have let go on another thread just now: its
    // release of the count is acquired here before anything changes.
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}

}  // namespace verbolin
