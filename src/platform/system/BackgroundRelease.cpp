#include "platform/system/BackgroundRelease.hpp"

#include <malloc.h>

#include "platform/system/SerialExecutor.hpp"

namespace platform {

namespace {
SerialExecutor& releaser() {
    static SerialExecutor worker("release");
    return worker;
}
}  // namespace

void releaseInBackground(std::shared_ptr<const void> value) {
    // Nobody else holds the value, so no other thread can be copying it.
    if (!value || value.use_count() > 1) return;
    // Dropped at once (and freed here) when the worker has already stopped,
    // as at the end of the process.
    releaser().post([value = std::move(value)]() mutable { value.reset(); });
}

void returnFreeMemory() {
    releaser().post([] { ::malloc_trim(0); });
}

void waitForBackgroundReleases() {
    try {
        releaser().call([] {});
    } catch (const std::logic_error&) {
        // The worker has stopped, after running everything queued.
    }
}

}  // namespace platform
