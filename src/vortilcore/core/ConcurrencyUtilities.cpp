#include "vortilcore/core/ConcurrencyUtilities.hpp"

#include <unistd.h>

namespace vortil {

int ConcurrencyUtilities::activeProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace vortil
