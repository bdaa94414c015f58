#pragma once
// Thrown by work that stops because its task was cancelled (its stop token
// was stopped), as opposed to work that failed.

#include <stdexcept>

namespace platform {

class CancellationError : public std::runtime_error {
  public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

}  // namespace platform
