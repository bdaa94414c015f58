#pragma once
// Freeing a large value that nobody changes any more (a year of transcript
// paragraphs is tens of thousands of allocations) can hold up the user
// interface thread for a millisecond or more. That thread hands its last
// reference here instead, and the value is destroyed on a worker thread.

#include <memory>

namespace platform {

// Drops `value`. When this was its last reference, the value is destroyed on
// a background thread; otherwise the remaining holders keep it, and the last
// of them frees it where it lets go. Only for values that no thread changes
// any more and whose destructor may run on any thread.
void releaseInBackground(std::shared_ptr<const void> value);

// Hands the memory the allocator holds free back to the system, on the same
// background thread, after the values handed over before. For after a burst
// of passing allocations (reading a whole transcript at a start) that would
// otherwise stay in the process's resident size for as long as it runs.
void returnFreeMemory();

// Returns once every value handed over before the call has been destroyed.
void waitForBackgroundReleases();

}  // namespace platform
