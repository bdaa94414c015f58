#pragma once
// Environment variables set for the duration of a test.

#include <stdlib.h>

#include <optional>
#include <string>

namespace testsupport {

// Sets an environment variable (or, given nullopt, removes it) for the
// lifetime of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = ::getenv(name_.c_str())) old_ = old, hadOld_ = true;
        if (value)
            ::setenv(name_.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(std::string name, const char* value)
        : ScopedEnv(std::move(name), value ? std::optional<std::string>(value) : std::nullopt) {}
    ~ScopedEnv() {
        if (hadOld_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace testsupport
