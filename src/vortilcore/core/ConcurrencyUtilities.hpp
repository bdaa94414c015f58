#pragma once
// Process-wide facts that the pipeline uses to size its concurrent work.

namespace vortil {

struct ConcurrencyUtilities {
    // The processors the kernel reports online at the time of the call (at least 1).
    static int activeProcessorCount();
};

}  // namespace vortil
