#include "platform/system/OpenFileLimit.hpp"

#include <sys/resource.h>

namespace platform::OpenFileLimit {

std::uint64_t raiseToHard() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return RLIM_INFINITY;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // A hard limit the kernel itself would not grant (above
        // fs.nr_open) leaves the soft one as it was.
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return limit.rlim_cur;
        return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

}  // namespace platform::OpenFileLimit
