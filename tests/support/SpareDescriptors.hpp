#pragma once
// A process left with only a few descriptors above the lowest one free now,
// for a child test that checks what each road says when none is left; the
// usual limit comes back with restore() or at the end of the scope.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace testsupport {

class SpareDescriptors {
  public:
    explicit SpareDescriptors(int spare) {
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (lowestFree < 0 || ::getrlimit(RLIMIT_NOFILE, &usual_) != 0) return;
        ::close(lowestFree);
        rlimit starved = usual_;
        starved.rlim_cur = rlim_t(lowestFree + spare);
        set_ = ::setrlimit(RLIMIT_NOFILE, &starved) == 0;
    }
    SpareDescriptors(const SpareDescriptors&) = delete;
    SpareDescriptors& operator=(const SpareDescriptors&) = delete;
    ~SpareDescriptors() { restore(); }

    bool set() const { return set_; }
    void restore() {
        if (set_) ::setrlimit(RLIMIT_NOFILE, &usual_);
        set_ = false;
    }

  private:
    rlimit usual_{};
    bool set_ = false;
};

}  // namespace testsupport
