#pragma once
// The process's umask, set for the lifetime of the object; programs the test
// starts meanwhile inherit it.

#include <sys/stat.h>

namespace testsupport {

class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

  private:
    mode_t old_;
};

// Group's and others' permission bits of what `path` names (not following
// a link); all bits when it cannot be read.
inline mode_t groupAndOthersAccess(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0 ? st.st_mode & 077 : 077;
}

}  // namespace testsupport
