#include "platform/system/Clock.hpp"

namespace platform {

const Clock& Clock::system() {
    static const SystemClock clock;
    return clock;
}

}  // namespace platform
